#!/usr/bin/env bash
# Builds the module with sanitizers and runs tests against those builds:
#   address+undefined: the whole suite (leak detection off: the interpreter itself
#   keeps memory until exit);
#   thread: the threaded batch tests.
# Any sanitizer report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."

# The interpreter binary itself (not a wrapper script), so the preloaded runtime loads into it.
py=$(python3 -c "import sys; print(sys.executable)")
build() {  # build <dir> <flags>
    cmake -S . -B "$1" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$py" \
        -DTOVRANA_SANITIZE="$2" >/dev/null
    cmake --build "$1" >/dev/null
}

# Fails unless the instrumented build is the module the tests import.
check_import() {  # check_import <dir>
    PYTHONPATH="$1" "$py" -c "import sys, tovrana; sys.exit(0 if '$1/' in tovrana.__file__ else 1)"
}

build build/asan "-fsanitize=address,undefined -fno-sanitize-recover=undefined"
echo "== tests under AddressSanitizer + UndefinedBehaviorSanitizer"
LD_PRELOAD="$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libubsan.so)" ASAN_OPTIONS=detect_leaks=0 \
    check_import build/asan
LD_PRELOAD="$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libubsan.so)" \
PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:allocator_may_return_null=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 TOVRANA_SANITIZED=1 \
PYTHONPATH="build/asan" "$py" -m pytest -q -p no:cacheprovider ${ASAN_TESTS:-tests}

build build/tsan "-fsanitize=thread"
echo "== threaded tests under ThreadSanitizer"
LD_PRELOAD="$(gcc -print-file-name=libtsan.so)" check_import build/tsan
TSAN_OPTIONS=halt_on_error=1:report_signal_unsafe=0 TOVRANA_SANITIZED=1 \
LD_PRELOAD="$(gcc -print-file-name=libtsan.so)" PYTHONPATH="build/tsan" \
"$py" -m pytest -q -p no:cacheprovider ${TSAN_TESTS:-tests/test_route_boxes.py tests/test_maze.py}
