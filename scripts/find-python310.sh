#!/usr/bin/env bash
# Prints the path of a CPython 3.10 interpreter: pyenv's versions first, then PATH.
set -u
root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
for candidate in "$root"/versions/3.10.*/bin/python3.10 "$(command -v python3.10 2>/dev/null)"; do
  if [ -n "$candidate" ] && [ -x "$candidate" ]; then
    echo "$candidate"
    exit 0
  fi
done
cat >&2 <<'MSG'
error: no CPython 3.10 interpreter found.
  Looked for $(pyenv root)/versions/3.10.*/bin/python3.10 and for python3.10 on PATH.
  Install one, for example with `pyenv install 3.10` or your distribution's python3.10
  package (with its venv module), then run make again.
MSG
exit 1
