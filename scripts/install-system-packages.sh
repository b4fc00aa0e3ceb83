#!/usr/bin/env bash
# Installs the Debian packages named as arguments, skipping those already present. An argument
# COMMAND=PACKAGE counts as present when COMMAND is on PATH, whoever installed it; a plain PACKAGE
# when dpkg has it installed. Runs without a terminal; `apt-get update` happens at most once per call.
set -eu
missing=()
for wanted in "$@"; do
  case "$wanted" in
    *=*) command -v "${wanted%%=*}" >/dev/null || missing+=("${wanted#*=}") ;;
    *) dpkg-query -W -f='${Status}' "$wanted" 2>/dev/null | grep -q 'install ok installed' || missing+=("$wanted") ;;
  esac
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "installing Debian packages: ${missing[*]}" >&2
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${missing[@]}"
