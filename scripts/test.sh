#!/usr/bin/env bash
# Installs what is missing, checks the sources' format, builds, and runs every test through
# CTest: the full build, then the engine under ThreadSanitizer and under AddressSanitizer with
# UndefinedBehaviorSanitizer.
# Exits non-zero on any failure.
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh build test || exit 1

jobs=$(nproc)
export QT_QPA_PLATFORM=offscreen
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/tsan.supp"
export ASAN_OPTIONS="halt_on_error=1 detect_leaks=1"
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp"
export UBSAN_OPTIONS="halt_on_error=1 print_stacktrace=1"

failed=()
run_suite() {
    local dir=$1
    shift
    echo "=== $dir"
    if ! cmake -S . -B "$dir" -DHOSTMOOR_WERROR=ON "$@" >/dev/null ||
        ! cmake --build "$dir" -j "$jobs"; then
        failed+=("$dir (build)")
        return
    fi
    if ! ctest --test-dir "$dir" -j "$jobs" --output-on-failure; then
        failed+=("$dir")
    fi
}

echo "=== format"
sources=$(find engine window app cli tests bench -name '*.cpp' -o -name '*.h' | sort)
if ! clang-format --dry-run --Werror $sources; then
    failed+=("format (run: clang-format -i \$(find engine window app cli tests bench -name '*.cpp' -o -name '*.h'))")
fi

run_suite build
run_suite build-tsan -DHOSTMOOR_ENGINE_ONLY=ON -DHOSTMOOR_SANITIZE=thread
run_suite build-asan -DHOSTMOOR_ENGINE_ONLY=ON -DHOSTMOOR_SANITIZE=address

if [ ${#failed[@]} -ne 0 ]; then
    echo "FAILED: ${failed[*]}"
    exit 1
fi
echo "All test suites passed."
