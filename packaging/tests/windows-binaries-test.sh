#!/usr/bin/env bash
# Every program in the MSI and in the ZIP (cpack of the build), as shipped:
# one application manifest, asInvoker with the supportedOS list and nothing
# else; a section table Windows loads; no debug sections and no symbols; a
# .gnu_debuglink naming a file of the symbols archive with its CRC-32, that
# file laid out as the program, and addr2line, with the archive unpacked
# beside the program, placing main in the program's own source.
#
#   windows-binaries-test.sh CPACK BUILD_DIR MSI SYMBOLS.zip
#
# Needs msiextract (msitools), python3 and the i686-w64-mingw32 binutils
# (BINUTILS=x86_64-w64-mingw32 for a 64-bit build).
set -u
CPACK=$1
BUILD=$2
MSI=$(realpath "$3")
SYMBOLS=$(realpath "$4")
BINUTILS=${BINUTILS:-i686-w64-mingw32}
# shellcheck source=test-lib.sh
. "$(dirname "$0")/test-lib.sh"

# program            the source of its main
PROGRAMS="
orvendel_host.exe    host/main.cpp
orvendel-agent.exe   tools/agent/agent.cpp
orvendel-log.exe     tools/log_reader/main.cpp
orvendel-tap.exe     tools/tap/tap.cpp
orvendel-doctor.exe  tools/doctor/doctor.cpp
"

scratch binaries
pack "$CPACK" "$BUILD" ZIP
ZIP=$(only_package .zip) || exit 1
mkdir -p "$T/msi" "$T/zip"
if ! msiextract -C "$T/msi" "$MSI" >"$T/msiextract.log" 2>&1; then
  show "$T/msiextract.log"
  exit 1
fi
(cd "$T/zip" && python3 -m zipfile -e "$ZIP" .) || exit 1

begin "the packages carry no debug file"
for pkg in msi zip; do
  debug=$(find "$T/$pkg" -name '*.debug' -printf '%P ')
  [ -z "$debug" ] || fail "the ${pkg^^} carries $debug"
done
end

# The symbols archive unpacked beside every program, as the guide says.
find "$T/msi" "$T/zip" -name '*.exe' -printf '%h\n' | sort -u | while read -r dir; do
  (cd "$dir" && python3 -m zipfile -e "$SYMBOLS" .)
done

# One line a program: what it is, from its bytes and the binutils.
mapfile -d '' programs < <(find "$T/msi" "$T/zip" -name '*.exe' -print0)
python3 - "$BINUTILS" "$SYMBOLS" "${programs[@]}" >"$T/results" 2>"$T/reader.log" <<'EOF' || { show "$T/reader.log"; exit 1; }
import os, re, struct, subprocess, sys, zipfile, zlib
import xml.etree.ElementTree as ET

binutils, symbols, programs = sys.argv[1], sys.argv[2], sys.argv[3:]
archive = zipfile.ZipFile(symbols)
# https://learn.microsoft.com/windows/win32/sysinfo/targeting-your-application-at-windows-8-1
OS = {"{e2011457-1546-43c5-a5fe-008deee3d3f0}": "vista", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}": "7",
      "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}": "8", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}": "8.1",
      "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}": "10"}
ELEMENTS = {"assembly", "trustInfo", "security", "requestedPrivileges", "requestedExecutionLevel",
            "compatibility", "application", "supportedOS"}

class PE:
    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = d = f.read()
        pe = struct.unpack_from("<I", d, 0x3C)[0]
        count, = struct.unpack_from("<H", d, pe + 6)
        self.symbols, self.nsymbols, optional = struct.unpack_from("<IIH", d, pe + 12)
        opt = pe + 24
        self.section_align, self.file_align = struct.unpack_from("<II", d, opt + 32)
        self.image_size, self.headers_size = struct.unpack_from("<II", d, opt + 56)
        dirs = opt + (96 if struct.unpack_from("<H", d, opt)[0] == 0x10B else 112)
        self.resources, = struct.unpack_from("<I", d, dirs + 8 * 2)
        self.sections = []
        for i in range(count):
            h = opt + optional + 40 * i
            name = d[h:h + 8].rstrip(b"\0")
            if name.startswith(b"/"):  # long names live in the COFF string table
                at = self.symbols + 18 * self.nsymbols + int(name[1:])
                name = d[at:d.index(b"\0", at)]
            vsize, va, rawsize, raw = struct.unpack_from("<IIII", d, h + 8)
            self.sections.append((name.decode(), va, vsize, rawsize, raw))

    def section(self, name):
        for n, va, vsize, rawsize, raw in self.sections:
            if n == name:
                return self.data[raw:raw + min(vsize, rawsize)]
        return None

    def at(self, rva):
        for n, va, vsize, rawsize, raw in self.sections:
            if va <= rva < va + max(vsize, rawsize):
                return raw + rva - va
        raise ValueError("RVA %x outside every section" % rva)

    def layout(self):
        # https://learn.microsoft.com/windows/win32/debug/pe-format#section-table-section-headers
        up = lambda n, a: (n + a - 1) // a * a
        va = up(self.headers_size, self.section_align)
        for n, sva, vsize, rawsize, raw in self.sections:
            if sva != va:
                return "%s at %x, expected %x" % (n, sva, va)
            if rawsize and (raw % self.file_align or raw + rawsize > len(self.data)):
                return "%s's data outside the file" % n
            va += up(vsize or rawsize, self.section_align)
        return "ok" if self.image_size == va else "SizeOfImage %x, expected %x" % (self.image_size, va)

    def manifests(self):
        """Every RT_MANIFEST leaf: (name, language, bytes)."""
        base = self.at(self.resources)
        def entries(offset):
            named, ids = struct.unpack_from("<HH", self.data, base + offset + 12)
            for i in range(named + ids):
                yield struct.unpack_from("<II", self.data, base + offset + 16 + 8 * i)
        found = []
        for kind, sub in entries(0):
            if kind != 24:
                continue
            for name, langs in entries(sub & 0x7FFFFFFF):
                for lang, leaf in entries(langs & 0x7FFFFFFF):
                    rva, size = struct.unpack_from("<II", self.data, base + leaf)
                    found.append((name, lang, self.data[self.at(rva):self.at(rva) + size]))
        return found

def manifest(pe):
    found = pe.manifests()
    if len(found) != 1:
        return ["%d manifests %s" % (len(found), [(n, "%04x" % l) for n, l, _ in found])]
    name, lang, text = found[0]
    try:
        root = ET.fromstring(text)
    except ET.ParseError as e:
        return ["manifest %d/%04x is not XML: %s" % (name, lang, e)]
    local = lambda e: e.tag.rsplit("}", 1)[-1]
    level = [e.attrib for e in root.iter() if local(e) == "requestedExecutionLevel"]
    ids = [e.get("Id", "").lower() for e in root.iter() if local(e) == "supportedOS"]
    extra = sorted({local(e) for e in root.iter()} - ELEMENTS)
    return ["manifest %d/%04x" % (name, lang),
            " ".join("%s uiAccess=%s" % (l.get("level"), l.get("uiAccess")) for l in level) or "no execution level",
            "os " + " ".join(OS.get(i, i) for i in ids),
            "also " + " ".join(extra) if extra else "nothing else"]

def debug_file(program, pe):
    link = pe.section(".gnu_debuglink")
    if link is None:
        return ["no debuglink"]
    name = link[:link.index(b"\0")].decode()
    crc, = struct.unpack_from("<I", link, (len(name) + 4) & ~3)
    if name not in archive.namelist():
        return ["debuglink %s, not in the symbols archive" % name]
    facts = ["debuglink %s crc %s" % (name, "ok" if zlib.crc32(archive.read(name)) == crc else "differs")]
    debug = PE(os.path.join(os.path.dirname(program), name))
    mine = [s[:3] for s in pe.sections if s[0] != ".gnu_debuglink"]
    theirs = [s[:3] for s in debug.sections if not s[0].startswith(".debug_")]
    facts.append(("same sections" if mine == theirs else "other sections") +
                 (", DWARF" if debug.section(".debug_info") else ", no DWARF"))
    # addr2line, given the stripped program, finds the debug file by its link
    # (and CRC) beside it.
    nm = subprocess.run([binutils + "-nm", os.path.join(os.path.dirname(program), name)],
                        capture_output=True, text=True).stdout
    main = re.search(r"^([0-9a-f]+) T _?main$", nm, re.M)
    if not main:
        return facts + ["no main in the debug file"]
    where = subprocess.run([binutils + "-addr2line", "-f", "-e", program, "0x" + main.group(1)],
                           capture_output=True, text=True).stdout.split("\n")
    source = os.path.normpath(where[1].rsplit(":", 1)[0]) if len(where) > 1 else "?"
    return facts + ["%s at %s" % (where[0], source)]

for program in sorted(programs):
    pe = PE(program)
    names = [s[0] for s in pe.sections]
    stripped = ("debug sections " + " ".join(n for n in names if n.startswith(".debug"))
                if any(n.startswith(".debug") for n in names) else "no debug sections")
    stripped += ", %s symbols" % (pe.nsymbols or "no")
    print("%s\t%s" % (program, "; ".join(manifest(pe) + ["layout " + pe.layout(), stripped]
                                         + debug_file(program, pe))))
EOF

while read -r program source; do
  [ -n "$program" ] || continue
  want="manifest 1/0409; asInvoker uiAccess=false; os vista 7 8 8.1 10; nothing else; layout ok"
  want+="; no debug sections, no symbols; debuglink $program.debug crc ok; same sections, DWARF; main at $source"
  for pkg in msi zip; do
    # The MSI ships what the build's list says (it leaves the agent simulator out).
    [ "$pkg" != msi ] || grep -qxF "$program" "$BUILD/bin/msi-programs.txt" || continue
    begin "${pkg^^} $program"
    got=$(awk -F'\t' -v dir="$T/$pkg/" -v p="/$program" \
      'index($1, dir) == 1 && substr($1, length($1) - length(p) + 1) == p { print $2 }' "$T/results")
    [ "$got" = "$want" ] || fail "$(printf 'got:      %s\n    expected: %s' "${got:-no such program}" "$want")"
    end
  done
done <<<"$PROGRAMS"

begin "no other program in the packages"
others=$(awk -F'\t' '{ n = split($1, part, "/"); print part[n] }' "$T/results" | sort -u |
  grep -vxF -f <(awk 'NF { print $1 }' <<<"$PROGRAMS"))
[ -z "$others" ] || fail "not in the table: $others"
end

summary
