#!/usr/bin/env bash
# cpack of the Linux build: what the .deb and the .tar.gz hold, and what the
# .deb's maintainer scripts do, run against the unpacked package (DPKG_ROOT,
# as dpkg sets it for an install under another root).
#
#   linux-packages-test.sh CPACK BUILD_DIR
set -u
CPACK=$1
BUILD=$2
# shellcheck source=test-lib.sh
. "$(dirname "$0")/test-lib.sh"

scratch deb
pack "$CPACK" "$BUILD" "DEB;TGZ"
DEB=$(only_package .deb) || exit 1
TGZ=$(only_package .tar.gz) || exit 1

# has LISTING MODE PATH: PATH is in the listing (dpkg-deb -c / tar tv form)
# with that mode string.
has() {
  grep -Eq "^$2 [^ ]+ +[0-9]+ [0-9-]+ [0-9:]+ \\.?/?$3\$" "$1" || fail "no $3 ($2) in the package"
}

lacks() { # LISTING PATTERN
  grep -Eq "$2" "$1" && fail "the package holds $(grep -E "$2" "$1" | head -n 3 | awk '{print $NF}')"
}

TEST_PROGRAMS='(unit_tests|process_tests|orv-launcher|orvendel-demo|_fuzz|micro_bench|orvendel-bench)$'

begin "the .deb holds the host, the tools, the doctor, the scripts and the template, and no test program"
dpkg-deb -c "$DEB" >"$T/deb.list"
has "$T/deb.list" -rwxr-xr-x usr/lib/orvendel/orvendel_host
has "$T/deb.list" -rwxr-xr-x usr/bin/orvendel-agent
has "$T/deb.list" -rwxr-xr-x usr/bin/orvendel-log
has "$T/deb.list" -rwxr-xr-x usr/bin/orvendel-doctor
[ -e "$BUILD/bin/orvendel-tap" ] && has "$T/deb.list" -rwxr-xr-x usr/bin/orvendel-tap
has "$T/deb.list" -rwxr-xr-x usr/share/orvendel/install.sh
has "$T/deb.list" -rwxr-xr-x usr/share/orvendel/uninstall.sh
has "$T/deb.list" -rw-r--r-- usr/share/orvendel/common.sh
has "$T/deb.list" -rw-r--r-- "usr/share/orvendel/$HOST_NAME.template.json"
has "$T/deb.list" -rw-r--r-- usr/share/doc/orvendel/README.md
if [ -f "$SOURCE/extension/manifest.json" ]; then
  has "$T/deb.list" -rw-r--r-- usr/share/orvendel/extension/manifest.json
  lacks "$T/deb.list" '/extension/(.*/)?((test|test-support|node_modules)/|[^/]*\.test\.m?js$)'
fi
lacks "$T/deb.list" "$TEST_PROGRAMS"
lacks "$T/deb.list" ' \./(etc|opt|usr/local)/'
dpkg-deb -f "$DEB" Package Depends >"$T/fields"
grep -q '^Package: orvendel$' "$T/fields" || fail "Package field: $(cat "$T/fields")"
grep -q '^Depends: .*libc6' "$T/fields" || fail "no libc6 in Depends: $(cat "$T/fields")"
end

begin "postinst writes the three system manifests; an upgrade keeps the ids; prerm remove takes them"
dpkg-deb -x "$DEB" "$T/root"
dpkg-deb -e "$DEB" "$T/control"
for script in postinst prerm; do
  [ -x "$T/control/$script" ] || fail "no executable $script in the control archive"
done
MANIFESTS=("$T/root/etc/opt/chrome/native-messaging-hosts/$HOST_NAME.json"
  "$T/root/etc/chromium/native-messaging-hosts/$HOST_NAME.json"
  "$T/root/etc/opt/edge/native-messaging-hosts/$HOST_NAME.json")
DPKG_ROOT="$T/root" "$T/control/postinst" configure "" >"$T/out.log" 2>&1 || { fail "postinst configure failed"; show "$T/out.log"; }
for m in "${MANIFESTS[@]}"; do check_manifest_json "$m" /usr/lib/orvendel/orvendel_host "$REF"; done
ORVENDEL_ROOT="$T/root" "$T/root/usr/share/orvendel/install.sh" --system --id "$ID_A" \
  --host /usr/lib/orvendel/orvendel_host >"$T/out.log" 2>&1 || { fail "install.sh --system --id"; show "$T/out.log"; }
DPKG_ROOT="$T/root" "$T/control/prerm" upgrade 0.1.1 >"$T/out.log" 2>&1 || fail "prerm upgrade failed"
DPKG_ROOT="$T/root" "$T/control/postinst" configure 0.0.9 >"$T/out.log" 2>&1 || fail "postinst upgrade failed"
for m in "${MANIFESTS[@]}"; do check_manifest_json "$m" /usr/lib/orvendel/orvendel_host "$ID_A"; done
DPKG_ROOT="$T/root" "$T/control/prerm" remove >"$T/out.log" 2>&1 || { fail "prerm remove failed"; show "$T/out.log"; }
for m in "${MANIFESTS[@]}"; do [ -e "$m" ] && fail "$m is still there after prerm remove"; done
DPKG_ROOT="$T/root" "$T/control/prerm" remove >"$T/out.log" 2>&1 || fail "prerm remove with nothing installed failed"
end

# The real dpkg, in a private mount namespace whose /usr, /etc, /opt and /var
# are overlays onto scratch folders: the install is whole and the machine's
# own folders never change.
begin "dpkg -i: the doctor finds nothing to warn of in Chromium, Chrome or Edge; dpkg -r leaves no registration"
if [ "$(id -u)" -ne 0 ] || ! command -v unshare >/dev/null || ! grep -qw overlay /proc/filesystems; then
  echo "    skipped: needs root, unshare and overlayfs for a private dpkg -i (uid $(id -u))"
else
  mkdir -p "$T/dpkg-home"
  # shellcheck disable=SC2016 # expanded by the inner shell
  unshare --mount --propagation private bash -c '
    set -u
    T=$1 DEB=$2 HOST_NAME=$3
    for d in usr etc opt var; do
      [ -d "/$d" ] || continue
      mkdir -p "$T/overlay/$d/upper" "$T/overlay/$d/work"
      mount -t overlay overlay -o "lowerdir=/$d,upperdir=$T/overlay/$d/upper,workdir=$T/overlay/$d/work" "/$d" || exit 3
    done
    dpkg --purge orvendel >/dev/null 2>&1
    dpkg -i "$DEB" >"$T/dpkg-i.log" 2>&1 || exit 4
    for b in chromium chrome edge; do
      env -u XDG_CONFIG_HOME -u CHROME_CONFIG_HOME HOME="$T/dpkg-home" \
        /usr/bin/orvendel-doctor --browser "$b" --json >"$T/doctor-$b.json" 2>"$T/doctor-$b.err"
      echo "$?" >"$T/doctor-$b.rc"
    done
    dpkg -r orvendel >"$T/dpkg-r.log" 2>&1 || exit 5
    ls /etc/opt/chrome/native-messaging-hosts/"$HOST_NAME".json /etc/chromium/native-messaging-hosts/"$HOST_NAME".json \
      /etc/opt/edge/native-messaging-hosts/"$HOST_NAME".json /usr/lib/orvendel/orvendel_host >"$T/left.txt" 2>/dev/null
    exit 0
  ' dpkg-in-namespace "$T" "$DEB" "$HOST_NAME"
  RC=$?
  case $RC in
    0)
      for b in chromium chrome edge; do
        [ "$(cat "$T/doctor-$b.rc")" = 0 ] || fail "the doctor for $b: exit status $(cat "$T/doctor-$b.rc")"
        nothing_to_warn_of "$T/doctor-$b.json" "$b" >"$T/warned.txt" ||
          { fail "the doctor for $b, after dpkg -i:"; cat "$T/warned.txt"; show "$T/doctor-$b.err"; }
      done
      [ -s "$T/left.txt" ] && { fail "left after dpkg -r:"; show "$T/left.txt"; }
      ;;
    3) fail "could not mount an overlay" ;;
    4) fail "dpkg -i failed"; show "$T/dpkg-i.log" ;;
    5) fail "dpkg -r failed"; show "$T/dpkg-r.log" ;;
    *) fail "the namespace ended with status $RC" ;;
  esac
fi
end

begin "the .tar.gz holds the same tree; its install.sh finds its own host, its uninstall.sh runs from it too"
tar tvzf "$TGZ" | awk '{ $2 = "x"; print }' >"$T/tgz.list"
TOP=$(tar tzf "$TGZ" | sed -n '1s|/.*||p')
[ "$(tar tzf "$TGZ" | grep -cv "^$TOP/")" -eq 0 ] || fail "entries outside the top folder $TOP"
has "$T/tgz.list" -rwxr-xr-x "$TOP/lib/orvendel/orvendel_host"
has "$T/tgz.list" -rwxr-xr-x "$TOP/share/orvendel/install.sh"
has "$T/tgz.list" -rwxr-xr-x "$TOP/share/orvendel/uninstall.sh"
has "$T/tgz.list" -rw-r--r-- "$TOP/share/orvendel/common.sh"
has "$T/tgz.list" -rw-r--r-- "$TOP/share/orvendel/$HOST_NAME.template.json"
has "$T/tgz.list" -rwxr-xr-x "$TOP/bin/orvendel-agent"
has "$T/tgz.list" -rwxr-xr-x "$TOP/bin/orvendel-doctor"
lacks "$T/tgz.list" "$TEST_PROGRAMS"
mkdir -p "$T/unpacked" "$T/home"
tar xzf "$TGZ" -C "$T/unpacked"
env -u XDG_CONFIG_HOME HOME="$T/home" "$T/unpacked/$TOP/share/orvendel/install.sh" --browser chromium >"$T/out.log" 2>&1 ||
  { fail "the archive's install.sh failed"; show "$T/out.log"; }
check_manifest_json "$T/home/.config/chromium/NativeMessagingHosts/$HOST_NAME.json" \
  "$T/unpacked/$TOP/lib/orvendel/orvendel_host" "$REF"
env -u XDG_CONFIG_HOME HOME="$T/home" "$T/unpacked/$TOP/share/orvendel/uninstall.sh" --browser chromium >"$T/out.log" 2>&1 ||
  { fail "the archive's uninstall.sh failed"; show "$T/out.log"; }
[ -e "$T/home/.config/chromium/NativeMessagingHosts/$HOST_NAME.json" ] && fail "the archive's uninstall.sh left the manifest"
end

summary
