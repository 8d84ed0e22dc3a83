#!/usr/bin/env bash
# Creates (or reuses) .venv/ at the project root with Python 3.13, the package's
# dependencies and the package itself. Safe to run again: dependencies are only
# reinstalled when the dependency list changes, and the native build is incremental.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

# One set-up at a time (two shells or a helper may run it together).
mkdir -p build
exec 9>build/.setup.lock
flock 9

is_313() { "$1" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' >/dev/null 2>&1; }

find_python() {
    local c
    for c in "$(command -v python3.13 2>/dev/null || true)" \
             $(ls -d "$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")"/versions/3.13*/bin/python3.13 2>/dev/null | sort -rV) \
             /usr/bin/python3.13 /usr/local/bin/python3.13; do
        [ -n "$c" ] && [ -x "$c" ] && "$c" --version >/dev/null 2>&1 && is_313 "$c" && { echo "$c"; return 0; }
    done
    return 1
}

if [ ! -x .venv/bin/python ] || ! is_313 .venv/bin/python; then
    py=$(find_python) || {
        echo "error: Python 3.13 not found (looked for python3.13 on PATH, in pyenv's versions and /usr/bin/python3.13)." >&2
        echo "Install it, e.g. 'apt-get install python3.13 python3.13-venv python3.13-dev', then run this again." >&2
        exit 1
    }
    rm -rf .venv
    echo "creating .venv with $py"
    "$py" -m venv .venv
fi

stamp=.venv/.deps-stamp
want=$(cat requirements.txt | sha256sum | cut -d' ' -f1)
if [ "$(cat "$stamp" 2>/dev/null)" != "$want" ]; then
    .venv/bin/python -m pip install -q --upgrade pip
    .venv/bin/python -m pip install -q -r requirements.txt
    echo "$want" > "$stamp"
fi

# Build and install the package (incremental native build in build/; a plain
# `pip install .` builds in a temporary directory instead).
SKBUILD_BUILD_DIR="${SKBUILD_BUILD_DIR:-build/{wheel_tag}}" \
    .venv/bin/python -m pip install -q --no-build-isolation --no-deps .
