#!/usr/bin/env bash
# Builds the extension modules with AddressSanitizer and UndefinedBehaviorSanitizer
# into build-sanitize/ (the normal build in build/ and .venv/ stay as they are)
# and runs a command under the sanitizers, by default the test suite.
#
#   bash scripts/sanitize.sh                 # build, then the whole test suite
#   bash scripts/sanitize.sh python fuzz/fuzz.py -n 2000
#
# The sanitized modules live in build-sanitize/site/quelmar/tools/, a package
# directory that comes first on PYTHONPATH; quelmar's package path then reaches
# the installed copy for everything else (host, pipeline, reference file).
# Every sanitizer report aborts the process that made it and is also written
# under build-sanitize/reports.*/; any report there fails the run, so an error in
# a child process that a test expected to fail is not missed either.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

py=.venv/bin/python
out=build-sanitize
site=$out/site
flags="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"

mkdir -p "$out"
"$py" -m cmake -S . -B "$out/cmake" -G Ninja -DCMAKE_MAKE_PROGRAM="$root/.venv/bin/ninja" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$root/$py" \
    -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_MODULE_LINKER_FLAGS="$flags" >"$out/configure.log" ||
    { cat "$out/configure.log" >&2; exit 1; }
"$py" -m cmake --build "$out/cmake"
"$py" -m cmake --install "$out/cmake" --prefix "$site" >/dev/null

# The package directories in front of the installed ones.
installed=$("$py" -P -c 'import pathlib, quelmar.tools as t; print(pathlib.Path(t.__file__).parent)')
cp quelmar/__init__.py "$site/quelmar/__init__.py"
cp quelmar/tools/__init__.py "$site/quelmar/tools/__init__.py"
ln -sfn "$installed/config" "$site/quelmar/tools/config"

reports=$(mktemp -d "$root/$out/reports.XXXXXX")  # one per run: runs may overlap
# The options are set before the runtimes are preloaded: the commands of this
# script run under them too (and the leak check would fail plain tools).
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:log_path=$reports/asan"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan"
export PYTHONMALLOC=malloc
export LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)"
export PYTHONPATH="$root/$site${PYTHONPATH:+:$PYTHONPATH}"

# The suite on TEST_JOBS pytest-xdist workers, as `make test` runs it (with two,
# the largest sanitized process holds about 1.6 GB, all of them together about
# 10 GB at the busiest moment).
if [ $# -eq 0 ]; then
    set -- "$py" -P -m pytest -q -p no:cacheprovider -n "${TEST_JOBS:-2}" --dist loadgroup
fi
status=0
"$@" || status=$?
if compgen -G "$reports/*" >/dev/null; then
    echo "sanitizer reports:" >&2
    for f in "$reports"/*; do echo "== $f" >&2; head -n 60 "$f" >&2; done
    exit 1
fi
rmdir "$reports"
exit $status
