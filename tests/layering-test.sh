#!/usr/bin/env bash
# The product's folders include only their own and those below them:
# host -> bridge -> support -> contract, and everything -> platform.
# Tools, tests, bench and fuzz targets may include any of them.
set -u
cd "$(dirname "$0")/.." || exit 1
below() {
  case "$1" in
    platform) echo "platform" ;;
    contract) echo "contract" ;;
    support) echo "support contract platform" ;;
    bridge) echo "bridge support contract platform" ;;
    host) echo "host bridge support contract platform" ;;
  esac
}
rc=0
for layer in platform contract support bridge host; do
  allowed=$(below "$layer")
  while IFS= read -r line; do
    file=${line%%:*}
    path=$(sed -n 's/.*#include "\([^"]*\)".*/\1/p' <<<"$line")
    [ -e "$(dirname "$file")/$path" ] && continue  # beside the file: its own folder
    target=${path%%/*}
    case " $allowed " in *" $target "*) ;; *) echo "$file includes $target/, above $layer/: $line"; rc=1 ;; esac
  done < <(grep -rn '^#include "[^"]*/' "$layer" --include='*.cpp' --include='*.h')
done
[ "$rc" -eq 0 ] && echo "layering: every include runs down"
exit "$rc"
