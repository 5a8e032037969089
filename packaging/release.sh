# shellcheck shell=bash
# ./run release: everything that ships, built from this commit, signed and
# checked, in build/mingw/release/:
#
#   orvendel-host-VERSION-x86.msi           per machine
#   orvendel-host-VERSION-x86-user.msi      per user
#   orvendel-host-VERSION-x86.zip           the programs and scripts, for integrators
#   orvendel-host-VERSION-x86-symbols.zip   the programs' debug files
#   orvendel-host-VERSION-x86.cdx.json      bill of materials (CycloneDX 1.5)
#   SHA256SUMS                              of all of the above
#
# Sourced by run, whose functions it calls (build, package_msi, sign, ...).
# The key is the one ./run sign takes (a PKCS#12 file or a PKCS#11 token);
# signatures are verified against ORV_SIGN_CAFILE, else the system's CAs.
# Any failed step fails the release.

release_dir() { echo "$ROOT/build/mingw/release"; }

release() {
  local dir version base
  if ! signing_configured; then
    log "a release is signed: set ORV_SIGN_PKCS12, or ORV_SIGN_PKCS11_KEY, ORV_SIGN_PKCS11_MODULE and ORV_SIGN_CERT (./run help)"
    return 2
  fi
  if [ "${ORV_SIGN_NO_TIMESTAMP:-0}" != 1 ] && [ -z "${ORV_SIGN_TIMESTAMP:-}" ]; then
    log "set ORV_SIGN_TIMESTAMP to a timestamp server's URL (ORV_SIGN_NO_TIMESTAMP=1 only for a test)"
    return 2
  fi
  # Dates in the archives, and the programs' link time stamp: the commit's.
  SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$ROOT" log -1 --format=%ct)}
  export SOURCE_DATE_EPOCH
  [ -z "$(git -C "$ROOT" status --porcelain --untracked-files=no)" ] ||
    log "warning: the tree has uncommitted changes; this release is not the commit's"
  package_msi || return 1
  version=$(project_version mingw)
  base=orvendel-host-$version-x86
  dir=$(release_dir)
  rm -rf "$dir"
  mkdir -p "$dir"
  cp "$(msi_path)" "$(user_msi_path)" "$(symbols_path)" "$dir/" || return 1
  bash "$ROOT/packaging/windows/pack-zip.sh" "$ROOT/build/mingw" "$dir/$base.zip" || return 1
  log "verifying every signature"
  release_verify "$dir" || return 1
  log "writing the bill of materials"
  release_sbom "$ROOT/build/mingw" "$version" >"$dir/$base.cdx.json" || return 1
  (cd "$dir" && sha256sum -- *.msi *.zip *.cdx.json >SHA256SUMS) || return 1
  log "release $version in $dir:"
  (cd "$dir" && cat SHA256SUMS) >&2
}

# release_verify DIR: each MSI, and each program inside the MSIs and the ZIP,
# carries a valid signature by the signing certificate (by its serial), with
# a timestamp unless signed without one.
release_verify() {
  local dir=$1 serial f work rc=0 files=()
  serial=$(openssl x509 -in "$(signing_certificate)" -noout -serial | sed 's/^serial=//') || return 1
  work=$(mktemp -d)
  for f in "$dir"/*.msi; do
    files+=("$f")
    mkdir -p "$work/${f##*/}"
    (cd "$work/${f##*/}" && msiextract "$f" >/dev/null) || { log "cannot extract $f"; rc=1; }
  done
  mkdir -p "$work/zip"
  python3 -m zipfile -e "$dir"/*-x86.zip "$work/zip" || rc=1
  while IFS= read -r -d '' f; do files+=("$f"); done < <(find "$work" -iname '*.exe' -print0 | sort -z)
  for f in "${files[@]}"; do
    if ! osslsigncode verify ${ORV_SIGN_CAFILE:+-CAfile "$ORV_SIGN_CAFILE"} -in "$f" >"$work/verify.log" 2>&1; then
      log "${f#"$work"/}: the signature does not verify"; tail -n 20 "$work/verify.log" >&2; rc=1
    elif ! grep -qi "Serial : $serial\$" "$work/verify.log"; then
      log "${f#"$work"/}: not signed by the signing certificate (serial $serial)"; rc=1
    elif [ "${ORV_SIGN_NO_TIMESTAMP:-0}" != 1 ] && grep -q "Timestamp is not available" "$work/verify.log"; then
      log "${f#"$work"/}: the signature has no timestamp"; rc=1
    fi
  done
  [ "${#files[@]}" -gt 2 ] || { log "no program found in the packages"; rc=1; }
  [ "$rc" -ne 0 ] || log "${#files[@]} signatures verify"
  rm -rf "$work"
  return "$rc"
}

# release_sbom BUILD_DIR VERSION: CycloneDX 1.5 JSON naming what the shipped
# programs link in statically, found where this build's compiler takes it
# from: the Debian package that holds the file, its version and the licences
# its copyright file names.
release_sbom() {
  local build=$1 version=$2 cxx rapidjson entry file path pkg lines=()
  cxx=$(sed -n 's/^set(CMAKE_CXX_COMPILER "\(.*\)")$/\1/p' "$build"/CMakeFiles/*/CMakeCXXCompiler.cmake | head -n 1)
  [ -x "$cxx" ] || { log "no C++ compiler recorded in $build/CMakeFiles"; return 1; }
  # RapidJSON is headers only: the build's own record of what it read.
  rapidjson=$(ninja -C "$build" -t deps | awk '/\/rapidjson\/rapidjson\.h$/ && !found { print $1; found = 1 }')
  [ -n "$rapidjson" ] || { log "the build read no RapidJSON header"; return 1; }
  for entry in "mingw-w64 runtime:crt2.o" "mingw-w64 runtime:libmingwex.a" "winpthreads:libwinpthread.a" \
    "libstdc++:libstdc++.a" "libgcc:libgcc.a" "RapidJSON:$rapidjson"; do
    file=${entry#*:}
    if [[ "$file" = /* ]]; then path=$file; else path=$("$cxx" -print-file-name="$file"); fi
    path=$(readlink -f "$build/$path" 2>/dev/null || readlink -f "$path")
    pkg=$(dpkg -S "$path" 2>/dev/null | awk -F: 'NR == 1 { print $1 }')
    [ -n "$pkg" ] || { log "no Debian package holds $path (${entry%%:*})"; return 1; }
    lines+=("${entry%%:*}	$pkg	$(dpkg-query -W -f='${Version}	${Architecture}' "$pkg")	$path")
  done
  printf '%s\n' "${lines[@]}" | python3 -c '
import datetime, json, re, sys, urllib.parse, uuid
version, epoch = sys.argv[1], int(sys.argv[2])
components, seen = [], set()
for line in sys.stdin:
    name, pkg, pkgversion, arch, path = line.rstrip("\n").split("\t")
    if name in seen:
        continue
    seen.add(name)
    with open("/usr/share/doc/%s/copyright" % pkg, encoding="utf-8", errors="replace") as f:
        licences = sorted({m.strip() for m in re.findall(r"^License:[ \t]*(\S[^\n]*)", f.read(), re.M)})
    if not licences:
        sys.exit("no License: field in /usr/share/doc/%s/copyright" % pkg)
    components.append({
        "type": "library", "bom-ref": "deb:" + pkg + ":" + name, "name": name, "version": pkgversion,
        "purl": "pkg:deb/debian/%s@%s?arch=%s" % tuple(urllib.parse.quote(v, safe="") for v in (pkg, pkgversion, arch)),
        "licenses": [{"license": {"name": l}} for l in licences],
        "properties": [{"name": "debian:package", "value": pkg}, {"name": "build:file", "value": path}],
    })
when = datetime.datetime.fromtimestamp(epoch, datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
bom = {
    "bomFormat": "CycloneDX", "specVersion": "1.5",
    "serialNumber": "urn:uuid:%s" % uuid.uuid5(uuid.NAMESPACE_URL, "orvendel-host/%s/%d" % (version, epoch)),
    "version": 1,
    "metadata": {"timestamp": when, "component": {
        "type": "application", "bom-ref": "orvendel-host", "name": "orvendel-host", "version": version,
        "supplier": {"name": "Orvendel"}}},
    "components": components,
    "dependencies": [{"ref": "orvendel-host", "dependsOn": [c["bom-ref"] for c in components]}],
}
json.dump(bom, sys.stdout, indent=2)
print()
' "$version" "$SOURCE_DATE_EPOCH"
}
