#!/usr/bin/env bash
# The ZIP of a Windows build for integrators: what the build installs (cmake
# --install: the programs as they are, signed or not, the registration
# scripts, the manifests, the reference extension), under one top folder
# named as the ZIP. The same tree as cpack's, but the same bytes from two
# builds of one commit: members sorted, dated SOURCE_DATE_EPOCH (else 1980),
# modes 644 or 755.
#
#   pack-zip.sh BUILD_DIR OUT.zip
set -euo pipefail
if [ $# -ne 2 ] || [[ "$2" != *.zip ]]; then
  echo "usage: pack-zip.sh BUILD_DIR OUT.zip" >&2
  exit 2
fi
BUILD=$1 OUT=$2
STAGE=$(mktemp -d "${TMPDIR:-/tmp}/orv-zip.XXXXXX")
trap 'rm -rf "$STAGE"' EXIT
TOP=$(basename "$OUT" .zip)
cmake --install "$BUILD" --prefix "$STAGE/$TOP" >"$STAGE/install.log" 2>&1 ||
  { cat "$STAGE/install.log" >&2; echo "pack-zip.sh: cannot install $BUILD" >&2; exit 1; }
mkdir -p "$(dirname "$OUT")"
python3 - "$STAGE" "$TOP" "$OUT" <<'PY'
import os, sys, time, zipfile
stage, top, out = sys.argv[1:]
stamp = time.gmtime(max(int(os.environ.get("SOURCE_DATE_EPOCH") or 0), 315532800))[:6]
files = []
for folder, dirs, names in os.walk(os.path.join(stage, top)):
    files += [os.path.join(folder, n) for n in names]
with zipfile.ZipFile(out + ".part", "w", zipfile.ZIP_DEFLATED) as z:
    for path in sorted(files, key=lambda p: os.path.relpath(p, stage)):
        info = zipfile.ZipInfo(os.path.relpath(path, stage).replace(os.sep, "/"), stamp)
        info.compress_type = zipfile.ZIP_DEFLATED
        info.external_attr = (0o755 if os.stat(path).st_mode & 0o111 else 0o644) << 16
        with open(path, "rb") as f:
            z.writestr(info, f.read())
os.replace(out + ".part", out)
print("packed %s: %d files" % (out, len(files)))
PY
