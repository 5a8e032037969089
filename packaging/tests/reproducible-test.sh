#!/usr/bin/env bash
# Two clean clones of one commit, in folders of other names and depths,
# build the same bytes: the shipped Windows programs (unsigned) and their
# debug files, the symbols archive and the ZIP; and MSIs whose files and
# tables are the same but for the fields each MSI build makes anew: the
# ProductCode property, and in the summary information the PackageCode (9)
# and the times it was created and saved (12, 13).
#
#   reproducible-test.sh [COMMIT]      (this tree's HEAD by default)
#
# Both build as ./run does: through ccache where it sets that up, whose
# base_dir makes the paths it hands the compiler relative (debug information
# then names ../../tools/..., not ./tools/...: a build without ccache gives
# other debug files). The second clone compiles anew (CCACHE_RECACHE), so that
# an object cached by the first cannot hide a difference.
set -u
# shellcheck source=test-lib.sh
. "$(dirname "$0")/test-lib.sh"
COMMIT=$(git -C "$SOURCE" rev-parse "${1:-HEAD}") || exit 2
scratch repro
A=$T/a/orvendel
B=$T/elsewhere/deeper/orv-second

# clone_and_build DIR [ENV...]: the commit checked out in DIR, its product
# built and packed into DIR/out; ends the test when that fails.
clone_and_build() {
  local dir=$1 v
  shift
  git clone -q --no-checkout "$SOURCE" "$dir" && git -C "$dir" checkout -q "$COMMIT" ||
    exit 1
  if ! (cd "$dir" && export CCACHE_BASEDIR="$dir" && for v in "$@"; do export "${v?}"; done &&
    cmake --preset mingw && cmake --build --preset mingw -j "${JOBS:-2}" --target product &&
    v=$(cat build/mingw/version.txt) && mapfile -t programs < <(sed 's|^|build/mingw/bin/|' build/mingw/bin/product-programs.txt) &&
    SOURCE_DATE_EPOCH=$(git log -1 --format=%ct) && export SOURCE_DATE_EPOCH &&
    bash packaging/windows/pack-symbols.sh out/symbols.zip "${programs[@]}" &&
    bash packaging/windows/pack-zip.sh build/mingw out/orvendel-host-"$v"-x86.zip &&
    bash packaging/windows/build-msi.sh build/mingw/bin "$v" out/machine.msi &&
    bash packaging/windows/build-msi.sh --per-user build/mingw/bin "$v" out/user.msi) >"$dir.log" 2>&1; then
    tail -n 40 "$dir.log" >&2
    exit 1
  fi
}
clone_and_build "$A"
clone_and_build "$B" CCACHE_RECACHE=1

begin "the programs, their debug files, the symbols archive and the ZIP are the same bytes"
mapfile -t PRODUCT < "$A/build/mingw/bin/product-programs.txt"
[ "${#PRODUCT[@]}" -gt 0 ] || fail "no list of the product's programs"
for f in "${PRODUCT[@]}"; do
  cmp -s "$A/build/mingw/bin/$f" "$B/build/mingw/bin/$f" || fail "$f differs"
  cmp -s "$A/build/mingw/bin/$f.debug" "$B/build/mingw/bin/$f.debug" || fail "$f.debug differs"
done
for f in "$A"/out/*.zip; do
  cmp -s "$f" "$B/out/${f##*/}" || fail "${f##*/} differs"
done
stamp=$(python3 -c 'import struct, sys
d = open(sys.argv[1], "rb").read()
print(struct.unpack_from("<I", d, struct.unpack_from("<I", d, 0x3C)[0] + 8)[0])' "$A/build/mingw/bin/orvendel_host.exe")
[ "$stamp" = "$(git -C "$A" log -1 --format=%ct)" ] || fail "the host's PE time stamp $stamp is not the commit's time"
end

# msi_tables MSI DIR: its tables as text, less the fields made anew.
msi_tables() {
  mkdir -p "$2"
  msidump -t -d "$2" "$1" >/dev/null || fail "msidump $1"
  sed -i '/^ProductCode\t/d' "$2/Property.idt"
  sed -i -E '/^(9|12|13)\t/d' "$2/_SummaryInformation.idt"
}

begin "the MSIs hold the same files and tables, but for the ProductCode, PackageCode and dates"
for m in machine user; do
  for side in A B; do
    dir=${!side}
    mkdir -p "$T/$m/$side/files"
    msiextract -C "$T/$m/$side/files" "$dir/out/$m.msi" >/dev/null || fail "msiextract $m.msi"
    msi_tables "$dir/out/$m.msi" "$T/$m/$side/tables"
  done
  diff -r "$T/$m/A" "$T/$m/B" >"$T/diff" || { fail "$m.msi differs"; show "$T/diff"; }
  for side in A B; do
    dir=${!side}
    cmp -s "$dir/build/mingw/bin/orvendel_host.exe" "$(find "$T/$m/$side/files" -name orvendel_host.exe)" ||
      fail "$m.msi ($side) does not hold the built host"
  done
done
end

summary
