#!/usr/bin/env bash
# Packs the debug files of stripped Windows programs into one ZIP, flat: the
# file each program's .gnu_debuglink names, checked against the CRC-32 the
# link holds, so that an archive never carries debug files of another build.
#
#   pack-symbols.sh OUT.zip PROGRAM.exe...
#
# The build leaves NAME.exe.debug beside each shipped program (cmake/
# debug-files.cmake). gdb and addr2line find the file beside the program, or
# in a .debug folder there. The members' dates are SOURCE_DATE_EPOCH's.
# Needs python3.
set -euo pipefail
if [ $# -lt 2 ] || [[ "$1" != *.zip ]]; then
  echo "usage: pack-symbols.sh OUT.zip PROGRAM.exe..." >&2
  exit 2
fi
OUT=$1
shift
mkdir -p "$(dirname "$OUT")"
python3 - "$OUT" "$@" <<'EOF'
import os, struct, sys, time, zipfile, zlib

def debuglink(path):
    """The .gnu_debuglink of a PE file: (file name, CRC-32), or None."""
    with open(path, "rb") as f:
        data = f.read()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[:2] != b"MZ" or data[pe:pe + 4] != b"PE\0\0":
        sys.exit("pack-symbols.sh: %s is not a PE file" % path)
    count, = struct.unpack_from("<H", data, pe + 6)
    symbols, nsymbols, optional = struct.unpack_from("<IIH", data, pe + 12)
    strings = symbols + 18 * nsymbols
    table = pe + 24 + optional
    for i in range(count):
        header = table + 40 * i
        name = data[header:header + 8].rstrip(b"\0")
        if name.startswith(b"/"):  # a long name, in the COFF string table
            start = strings + int(name[1:])
            name = data[start:data.index(b"\0", start)]
        if name == b".gnu_debuglink":
            size, offset = struct.unpack_from("<II", data, header + 16)
            body = data[offset:offset + size]
            end = body.index(b"\0")
            crc_at = (end + 4) & ~3
            return body[:end].decode(), struct.unpack_from("<I", body, crc_at)[0]
    return None

out, programs = sys.argv[1], sys.argv[2:]
members = []
for program in programs:
    link = debuglink(program)
    if link is None:
        sys.exit("pack-symbols.sh: %s has no .gnu_debuglink: not stripped by the build" % program)
    name, crc = link
    path = os.path.join(os.path.dirname(program), name)
    try:
        with open(path, "rb") as f:
            actual = zlib.crc32(f.read())
    except OSError as e:
        sys.exit("pack-symbols.sh: %s names %s: %s" % (program, name, e.strerror))
    if actual != crc:
        sys.exit("pack-symbols.sh: %s is not the debug file of %s (CRC %08x, the link says %08x)"
                 % (path, program, actual, crc))
    members.append((path, name))
tmp = out + ".part"
# Each member dated SOURCE_DATE_EPOCH (else 1980), not when it was built:
# two builds of one commit give the same archive.
stamp = time.gmtime(max(int(os.environ.get("SOURCE_DATE_EPOCH") or 0), 315532800))[:6]
with zipfile.ZipFile(tmp, "w", zipfile.ZIP_DEFLATED) as z:
    for path, name in members:
        info = zipfile.ZipInfo(name, stamp)
        info.compress_type = zipfile.ZIP_DEFLATED
        info.external_attr = 0o644 << 16
        with open(path, "rb") as f:
            z.writestr(info, f.read())
os.replace(tmp, out)
print("packed %s: %s" % (out, " ".join(name for _, name in members)))
EOF
