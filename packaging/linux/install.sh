#!/bin/sh
# Registers the Orvendel native messaging host with Chrome, Chromium and Edge
# by writing com.orvendel.native_host.json where each browser looks for it.
#
#   install.sh [--user|--system] [--browser chrome|chromium|edge|all]
#              [--id ID[,ID...]] [--host PATH]
#
# --user (default) writes under ${XDG_CONFIG_HOME:-$HOME/.config}; --system
# under /etc, prefixed by $ORVENDEL_ROOT when set (a staging root, as DESTDIR:
# the host is then looked for under it, and the manifest names it as seen
# from the target system). --browser may repeat or take a comma list.
set -eu
umask 022

HOST_NAME=com.orvendel.native_host
REFERENCE_ID=hmkgojdnhdinedldemacipdhgnbpllgk
ME=install.sh

usage() {
  cat <<EOF
Usage: $ME [--user|--system] [--browser chrome|chromium|edge|all]... [--id ID[,ID...]] [--host PATH]
  --user      for the current user (default)
  --system    for every user of the machine (needs root)
  --browser   which browsers (default: all)
  --id        the extension ids allowed to start the host (default: $REFERENCE_ID)
  --host      the host program (default: the one installed beside this script)
EOF
}

die() {
  printf '%s: %s\n' "$ME" "$*" >&2
  exit 1
}

usage_error() {
  printf '%s: %s\n' "$ME" "$*" >&2
  usage >&2
  exit 2
}

here=$(CDPATH='' cd -- "$(dirname -- "$0")" && pwd)
scope=user
browsers=
ids=
ids_given=
host=

add_browsers() {
  # Word splitting on the commas is the point here.
  old_ifs=$IFS
  IFS=,
  # shellcheck disable=SC2086
  set -- $1
  IFS=$old_ifs
  [ $# -gt 0 ] || usage_error "--browser needs a name"
  for b in "$@"; do
    case $b in
      chrome | chromium | edge) browsers="$browsers $b" ;;
      all) browsers="$browsers chrome chromium edge" ;;
      *) usage_error "unknown browser: '$b' (chrome, chromium, edge or all)" ;;
    esac
  done
}

while [ $# -gt 0 ]; do
  case $1 in
    --user) scope=user ;;
    --system) scope=system ;;
    --browser | --id | --host)
      [ $# -ge 2 ] || usage_error "$1 needs a value"
      case $1 in
        --browser) add_browsers "$2" ;;
        --id) ids="$ids,$2" ids_given=1 ;;
        --host) host=$2 ;;
      esac
      shift
      ;;
    --browser=*) add_browsers "${1#*=}" ;;
    --id=*) ids="$ids,${1#*=}" ids_given=1 ;;
    --host=*) host=${1#*=} ;;
    -h | --help)
      usage
      exit 0
      ;;
    *) usage_error "unknown argument: '$1'" ;;
  esac
  shift
done

[ -n "$browsers" ] || browsers="chrome chromium edge"
if [ -n "$ids_given" ]; then
  ids=${ids#,}
else
  ids=$REFERENCE_ID
fi

# Every id is checked before anything is written: a bad list leaves the
# browsers' folders as they were.
id_list=
rest=$ids,
while [ -n "$rest" ]; do
  id=${rest%%,*}
  rest=${rest#*,}
  case $id in
    *[!abcdefghijklmnop]* | '') die "invalid extension id '$id': 32 letters a to p expected" ;;
  esac
  [ ${#id} -eq 32 ] || die "invalid extension id '$id': 32 letters a to p expected"
  case " $id_list " in
    *" $id "*) ;;
    *) id_list="${id_list:+$id_list }$id" ;;
  esac
done

root=
if [ "$scope" = system ]; then
  root=${ORVENDEL_ROOT:-}
fi

if [ -z "$host" ]; then
  [ -z "$root" ] || die "--host is needed with ORVENDEL_ROOT"
  for candidate in "$here/../../lib/orvendel/orvendel_host" "$here/orvendel_host"; do
    if [ -f "$candidate" ]; then
      host=$candidate
      break
    fi
  done
  [ -n "$host" ] || die "no orvendel_host beside this script: name it with --host"
fi

case $host in
  *[[:cntrl:]]*) die "the host path holds a control character" ;;
esac
if [ -n "$root" ]; then
  case $host in
    /*) ;;
    *) die "--host must be absolute with ORVENDEL_ROOT: $host" ;;
  esac
  host_abs=$host
else
  host_dir=$(dirname -- "$host")
  host_dir=$(CDPATH='' cd -- "$host_dir" 2>/dev/null && pwd) || die "no such folder: $(dirname -- "$host")"
  host_abs=${host_dir%/}/$(basename -- "$host")
fi
[ -f "$root$host_abs" ] || die "no host program at $root$host_abs"
[ -x "$root$host_abs" ] || die "the host program is not executable: $root$host_abs"

template=
for candidate in "$here/$HOST_NAME.template.json" "$here/../manifest/$HOST_NAME.template.json"; do
  if [ -f "$candidate" ]; then
    template=$candidate
    break
  fi
done
[ -n "$template" ] || die "no $HOST_NAME.template.json beside this script"

# JSON string escapes: a Linux path may hold backslashes and quotes.
host_json=$(printf '%s\n' "$host_abs" | sed -e 's/\\/\\\\/g' -e 's/"/\\"/g')

manifest_folder() {
  if [ "$scope" = user ]; then
    config=${XDG_CONFIG_HOME:-}
    # Chrome ignores a relative XDG_CONFIG_HOME, as the XDG rules say.
    case $config in
      /*) ;;
      *)
        [ -n "${HOME:-}" ] || die "HOME is not set"
        config=$HOME/.config
        ;;
    esac
    case $1 in
      chrome) echo "$config/google-chrome/NativeMessagingHosts" ;;
      chromium) echo "$config/chromium/NativeMessagingHosts" ;;
      edge) echo "$config/microsoft-edge/NativeMessagingHosts" ;;
    esac
  else
    case $1 in
      chrome) echo "$root/etc/opt/chrome/native-messaging-hosts" ;;
      chromium) echo "$root/etc/chromium/native-messaging-hosts" ;;
      edge) echo "$root/etc/opt/edge/native-messaging-hosts" ;;
    esac
  fi
}

# One line of the template per origin, commas between them.
fill_template() {
  ORV_HOST_JSON=$host_json ORV_IDS=$id_list awk '
    index($0, "@EXTENSION_ID@") {
      n = split(ENVIRON["ORV_IDS"], ids, " ")
      for (i = 1; i <= n; i++) {
        line = $0
        gsub(/@EXTENSION_ID@/, ids[i], line)
        print line (i < n ? "," : "")
      }
      next
    }
    (at = index($0, "@HOST_PATH@")) {
      print substr($0, 1, at - 1) ENVIRON["ORV_HOST_JSON"] substr($0, at + length("@HOST_PATH@"))
      next
    }
    { print }
  ' "$template"
}

# Each browser once, in a fixed order.
targets=
for browser in chrome chromium edge; do
  case " $browsers " in
    *" $browser "*) targets="$targets $browser" ;;
  esac
done

# mv would put a manifest inside a folder of that name and succeed; found
# before anything is written.
for browser in $targets; do
  manifest=$(manifest_folder "$browser")/$HOST_NAME.json
  [ ! -d "$manifest" ] || die "cannot write $manifest: it is a folder"
done

for browser in $targets; do
  folder=$(manifest_folder "$browser")
  manifest=$folder/$HOST_NAME.json
  mkdir -p -- "$folder" || die "cannot create $folder"
  # Written aside and renamed, so a browser never reads half a manifest.
  part=$folder/.$HOST_NAME.json.$$
  if ! fill_template >"$part"; then
    rm -f -- "$part"
    die "cannot write $part"
  fi
  if ! mv -f -- "$part" "$manifest"; then
    rm -f -- "$part"
    die "cannot write $manifest"
  fi
  printf 'installed %s\n' "$manifest"
done
