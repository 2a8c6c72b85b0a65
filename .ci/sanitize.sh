#!/usr/bin/env bash
# Builds the module with sanitizers and runs tests against those builds:
#   address+undefined: the whole suite (leak detection off: the interpreter itself
#   keeps memory until exit);
#   thread: the threaded batch tests.
# Each build goes through pip exactly as `pip install .` does (isolated build environment
# with the build requirements, Boost included), only with extra CMake settings; the wheel
# is unpacked into build/<name>/site, which the tests then import from.
# Any sanitizer report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
trap 'echo "sanitize.sh: failed (exit $?) at line $LINENO: $BASH_COMMAND" >&2' ERR

# The interpreter binary itself (not a wrapper script), so the preloaded runtime loads into it.
py=$(python3 -c "import sys; print(sys.executable)")
build() {  # build <name> <sanitizer flags>
    local dir="build/$1"
    rm -rf "$dir/wheel" "$dir/site"
    echo "== building the module with $2 into $dir"
    "$py" -m pip wheel . --no-deps --quiet --wheel-dir "$dir/wheel" \
        --config-settings=cmake.build-type=RelWithDebInfo \
        --config-settings="cmake.define.TOVRANA_SANITIZE=$2" \
        --config-settings="build-dir=$dir/cmake"
    "$py" -m zipfile -e "$dir"/wheel/*.whl "$dir/site"
}

# Fails unless the instrumented build is the module the tests import.
check_import() {  # check_import <site dir>
    PYTHONPATH="$1" "$py" -c "import sys, tovrana; sys.exit(0 if '$1/' in tovrana.__file__ else 1)" || {
        echo "sanitize.sh: the tests would not import the instrumented module from $1" >&2
        return 1
    }
}

build asan "-fsanitize=address,undefined -fno-sanitize-recover=undefined"
echo "== tests under AddressSanitizer + UndefinedBehaviorSanitizer"
LD_PRELOAD="$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libubsan.so)" ASAN_OPTIONS=detect_leaks=0 \
    check_import build/asan/site
LD_PRELOAD="$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libubsan.so)" \
PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:allocator_may_return_null=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 TOVRANA_SANITIZED=1 \
PYTHONPATH="build/asan/site" "$py" -m pytest -q -p no:cacheprovider ${ASAN_TESTS:-tests}

build tsan "-fsanitize=thread"
echo "== threaded tests under ThreadSanitizer"
LD_PRELOAD="$(gcc -print-file-name=libtsan.so)" check_import build/tsan/site
TSAN_OPTIONS="halt_on_error=1:report_signal_unsafe=0:suppressions=$PWD/.ci/tsan.supp" TOVRANA_SANITIZED=1 \
LD_PRELOAD="$(gcc -print-file-name=libtsan.so)" PYTHONPATH="build/tsan/site" \
"$py" -m pytest -q -p no:cacheprovider ${TSAN_TESTS:-tests/test_route_boxes.py tests/test_work_merge.py tests/test_maze.py tests/test_spacing_model.py tests/test_kept_state.py tests/test_guides.py}
