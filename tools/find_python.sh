#!/usr/bin/env bash
# Prints the path of a Python 3.13 interpreter, trying in order: $PYTHON, python3.13 on PATH,
# pyenv's installed versions, /usr/bin/python3.13 and /usr/local/bin/python3.13.
# A candidate counts only if it runs and reports version 3.13 (a pyenv shim may exist on PATH
# without a 3.13 behind it).
set -u
candidates=()
[ -n "${PYTHON:-}" ] && candidates+=("$PYTHON")
command -v python3.13 >/dev/null 2>&1 && candidates+=("$(command -v python3.13)")
pyenv_root="${PYENV_ROOT:-$HOME/.pyenv}"
for p in "$pyenv_root"/versions/3.13*/bin/python3.13; do
    [ -x "$p" ] && candidates+=("$p")
done
candidates+=(/usr/bin/python3.13 /usr/local/bin/python3.13)

for py in "${candidates[@]}"; do
    if [ -x "$py" ] || command -v "$py" >/dev/null 2>&1; then
        if "$py" -c 'import sys, venv; sys.exit(sys.version_info[:2] != (3, 13))' >/dev/null 2>&1; then
            echo "$py"
            exit 0
        fi
    fi
done
echo "error: no Python 3.13 found (tried: ${candidates[*]})." >&2
echo "Install Python 3.13 (for example 'pyenv install 3.13' or your distribution's python3.13" >&2
echo "with its venv module), or point PYTHON at it: make test PYTHON=/path/to/python3.13" >&2
exit 1
