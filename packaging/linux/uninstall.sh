#!/bin/sh
# Removes the manifests that install.sh writes, with the same switches:
#
#   uninstall.sh [--user|--system] [--browser chrome|chromium|edge|all]
#                [--id ID[,ID...]] [--host PATH]
#
# --id and --host are accepted so that one command line serves both scripts;
# they change nothing here. The folders stay: a browser or another host may
# own them. Nothing installed is not an error.
set -eu

HOST_NAME=com.orvendel.native_host
ME=uninstall.sh

usage() {
  cat <<EOF
Usage: $ME [--user|--system] [--browser chrome|chromium|edge|all]... [--id ID[,ID...]] [--host PATH]
  --user      for the current user (default)
  --system    for every user of the machine (needs root)
  --browser   which browsers (default: all)
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

scope=user
browsers=

add_browsers() {
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
      [ "$1" != --browser ] || add_browsers "$2"
      shift
      ;;
    --browser=*) add_browsers "${1#*=}" ;;
    --id=* | --host=*) ;;
    -h | --help)
      usage
      exit 0
      ;;
    *) usage_error "unknown argument: '$1'" ;;
  esac
  shift
done

[ -n "$browsers" ] || browsers="chrome chromium edge"

if [ "$scope" = user ]; then
  config=${XDG_CONFIG_HOME:-}
  case $config in
    /*) ;;
    *)
      [ -n "${HOME:-}" ] || die "HOME is not set"
      config=$HOME/.config
      ;;
  esac
else
  root=${ORVENDEL_ROOT:-}
fi

for browser in $browsers; do
  if [ "$scope" = user ]; then
    case $browser in
      chrome) folder=$config/google-chrome/NativeMessagingHosts ;;
      chromium) folder=$config/chromium/NativeMessagingHosts ;;
      edge) folder=$config/microsoft-edge/NativeMessagingHosts ;;
    esac
  else
    case $browser in
      chrome) folder=$root/etc/opt/chrome/native-messaging-hosts ;;
      chromium) folder=$root/etc/chromium/native-messaging-hosts ;;
      edge) folder=$root/etc/opt/edge/native-messaging-hosts ;;
    esac
  fi
  manifest=$folder/$HOST_NAME.json
  if [ -e "$manifest" ] || [ -L "$manifest" ]; then
    rm -f -- "$manifest" || die "cannot remove $manifest"
    printf 'removed %s\n' "$manifest"
  fi
done
