#!/usr/bin/env bash
# Runs COMMAND... where no installed simdjson can be seen: in a private mount namespace in which
# every file of the installed libsimdjson* Debian packages (library, headers, CMake package) and
# every libsimdjson the dynamic loader knows is covered by an empty file. Nothing changes outside
# that namespace (other builds and modules on the machine keep their simdjson), and it ends with
# COMMAND. Proves its point before running COMMAND: each hidden library must fail to load.
set -euo pipefail

installed_packages() {
  dpkg-query -W -f='${db:Status-Abbrev} ${Package}\n' 'libsimdjson*' 2>/dev/null | awk '$1 == "ii" { print $2 }'
}

loader_libraries() {
  /sbin/ldconfig -p | awk '/libsimdjson/ { print $NF }' | sort -u
}

# The regular files behind every package file and loader entry (links resolved), one per line.
hidden_files() {
  { for package in $(installed_packages); do dpkg-query -L "$package"; done; loader_libraries; } |
    xargs -r readlink -f | sort -u | while read -r path; do [ -f "$path" ] && echo "$path"; done
}

if [ "${1:-}" != "--inside" ]; then
  if [ -z "$(hidden_files)" ]; then
    echo "no installed simdjson on this machine" >&2
    exec "$@"
  fi
  # Root needs only a mount namespace; anyone else also maps themselves to root in a user namespace.
  [ "$(id -u)" -eq 0 ] && as_root=() || as_root=(--map-root-user)
  exec unshare "${as_root[@]}" --mount --propagation private -- "$BASH" "$0" --inside "$@"
fi
shift

files=$(hidden_files)
while read -r path; do mount --bind /dev/null "$path"; done <<<"$files"
for library in $(loader_libraries); do
  if python3 -c 'import ctypes, sys; ctypes.CDLL(sys.argv[1])' "$library" 2>/dev/null; then
    echo "error: $library still loads" >&2
    exit 1
  fi
  echo "hidden: $library (the loader still lists it; loading it fails)" >&2
done
echo "hidden: $(wc -l <<<"$files") files of $(installed_packages | paste -sd " ")" >&2
exec "$@"
