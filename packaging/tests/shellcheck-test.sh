#!/usr/bin/env bash
# Runs shellcheck over the packaging scripts (the Linux ones as the build
# writes them into SCRIPTS), these tests, ./run and the Wine runners. Exit
# status 77 (skipped) on a machine without it.
#
#   bash shellcheck-test.sh SCRIPTS
set -u
SCRIPTS=$1
command -v shellcheck >/dev/null || { echo "shellcheck is not installed: skipped"; exit 77; }
cd "$(dirname "$0")/.." || exit 1
rc=0
shellcheck -s sh -x -P "$SCRIPTS" "$SCRIPTS/install.sh" "$SCRIPTS/uninstall.sh" "$SCRIPTS/common.sh" \
  linux/debian/postinst.in linux/debian/prerm.in || rc=1
shellcheck -s bash -x -P tests tests/*.sh || rc=1
shellcheck -x windows/build-msi.sh windows/sign.sh windows/pack-symbols.sh windows/pack-zip.sh release.sh || rc=1
# The run script and the Wine runners.
(cd .. && shellcheck -x run tests/wine/wine-env.sh tests/wine/wine-exec tests/wine/check-pe) || rc=1
[ "$rc" -eq 0 ] && echo "shellcheck: clean"
exit "$rc"
