# Sourced by install.sh and uninstall.sh, which take the same switches: their
# parsing, and the folder where each browser looks for host manifests. The
# script that sources this sets ME, its name, and OWN_OPTIONS, the lines of
# its usage for the options only it acts on.
# shellcheck shell=sh disable=SC2034 # the variables are that script's

HOST_NAME=com.orvendel.native_host
ALL_BROWSERS="chrome chromium edge"
# BROWSER=FOLDER under the user's config folder, one per channel: every
# channel has a user data folder of its own, and all of a browser's share
# its system folder. The same channels as orvendel-doctor's table
# (tools/doctor/lookup_posix.cpp, kBrowsers).
USER_FOLDERS="chrome=google-chrome chrome=google-chrome-beta chrome=google-chrome-unstable chromium=chromium
edge=microsoft-edge edge=microsoft-edge-beta edge=microsoft-edge-dev"

usage() {
  cat <<EOF
Usage: $ME [--user|--system] [--browser chrome|chromium|edge|all]... [--id ID[,ID...]] [--host PATH]
  --user      for the current user (default)
  --system    for every user of the machine (needs root)
  --browser   which browsers (default: all)
EOF
  [ -z "$OWN_OPTIONS" ] || printf '%s\n' "$OWN_OPTIONS"
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
      all) browsers="$browsers $ALL_BROWSERS" ;;
      *) usage_error "unknown browser: '$b' (chrome, chromium, edge or all)" ;;
    esac
  done
}

# Sets scope (user or system), browsers (all when none is named; as given,
# repeats included), ids (",ID..." as given, when ids_given is set), host,
# and root: $ORVENDEL_ROOT for --system, else empty.
parse_arguments() {
  scope=user
  browsers=
  ids=
  ids_given=
  host=
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
  [ -n "$browsers" ] || browsers=$ALL_BROWSERS
  root=
  if [ "$scope" = system ]; then
    root=${ORVENDEL_ROOT:-}
  fi
}

# The keys manifest_folder takes for BROWSER: its channels' folder names
# for --user, the browser itself for --system.
folder_keys() { # BROWSER
  if [ "$scope" = user ]; then
    for pair in $USER_FOLDERS; do
      [ "${pair%%=*}" != "$1" ] || printf '%s\n' "${pair#*=}"
    done
  else
    printf '%s\n' "$1"
  fi
}

manifest_folder() { # KEY (from folder_keys)
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
    echo "$config/$1/NativeMessagingHosts"
  else
    case $1 in
      chrome) echo "$root/etc/opt/chrome/native-messaging-hosts" ;;
      chromium) echo "$root/etc/chromium/native-messaging-hosts" ;;
      edge) echo "$root/etc/opt/edge/native-messaging-hosts" ;;
    esac
  fi
}
