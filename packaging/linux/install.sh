#!/bin/sh
# Registers the Orvendel native messaging host with Chrome, Chromium and Edge
# by writing com.orvendel.native_host.json where each browser looks for it.
#
#   install.sh [--user|--system] [--browser chrome|chromium|edge|all]
#              [--id ID[,ID...]] [--host PATH]
#
# --user (default) writes under ${XDG_CONFIG_HOME:-$HOME/.config}, in the
# folder of each channel (Beta, Dev) too; --system
# under /etc, prefixed by $ORVENDEL_ROOT when set (a staging root, as DESTDIR:
# the host is then looked for under it, and the manifest names it as seen
# from the target system). --browser may repeat or take a comma list.
set -eu
umask 022

REFERENCE_ID=hmkgojdnhdinedldemacipdhgnbpllgk
ME=install.sh
OWN_OPTIONS="  --id        the extension ids allowed to start the host (default: $REFERENCE_ID)
  --host      the host program (default: the one installed beside this script)"

here=$(CDPATH='' cd -- "$(dirname -- "$0")" && pwd)
[ -f "$here/common.sh" ] || { printf '%s: no common.sh beside this script\n' "$ME" >&2; exit 1; }
# shellcheck source=common.sh
. "$here/common.sh"
parse_arguments "$@"

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

# The first of the files named that exists; nothing when none does.
first_file() {
  for candidate in "$@"; do
    if [ -f "$candidate" ]; then
      printf '%s\n' "$candidate"
      return
    fi
  done
}

if [ -z "$host" ]; then
  [ -z "$root" ] || die "--host is needed with ORVENDEL_ROOT"
  host=$(first_file "$here/../../lib/orvendel/orvendel_host" "$here/orvendel_host")
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

template=$(first_file "$here/$HOST_NAME.template.json" "$here/../manifest/$HOST_NAME.template.json")
[ -n "$template" ] || die "no $HOST_NAME.template.json beside this script"

# JSON string escapes: a Linux path may hold backslashes and quotes.
host_json=$(printf '%s\n' "$host_abs" | sed -e 's/\\/\\\\/g' -e 's/"/\\"/g')

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

# Each browser once, in a fixed order, then its folders.
targets=
for browser in $ALL_BROWSERS; do
  case " $browsers " in
    *" $browser "*) targets="$targets $(folder_keys "$browser")" ;;
  esac
done

# mv would put a manifest inside a folder of that name and succeed; found
# before anything is written.
for key in $targets; do
  manifest=$(manifest_folder "$key")/$HOST_NAME.json
  [ ! -d "$manifest" ] || die "cannot write $manifest: it is a folder"
done

for key in $targets; do
  folder=$(manifest_folder "$key")
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
