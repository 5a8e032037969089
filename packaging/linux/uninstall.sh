#!/bin/sh
# Removes the manifests that install.sh writes, with the same switches:
#
#   uninstall.sh [--user|--system] [--browser chrome|chromium|edge|all]
#                [--id ID[,ID...]] [--host PATH]
#
# --id and --host are accepted so that one command line serves both scripts;
# they change nothing here. The folders stay: a browser or another host may
# own them. Nothing installed is not an error.
set -eu

ME=uninstall.sh
OWN_OPTIONS=

here=$(CDPATH='' cd -- "$(dirname -- "$0")" && pwd)
[ -f "$here/common.sh" ] || { printf '%s: no common.sh beside this script\n' "$ME" >&2; exit 1; }
# shellcheck source=common.sh
. "$here/common.sh"
parse_arguments "$@"

for browser in $browsers; do
  for key in $(folder_keys "$browser"); do
    manifest=$(manifest_folder "$key")/$HOST_NAME.json
    if [ -e "$manifest" ] || [ -L "$manifest" ]; then
      rm -f -- "$manifest" || die "cannot remove $manifest"
      printf 'removed %s\n' "$manifest"
    fi
  done
done
