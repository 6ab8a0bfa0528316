#!/usr/bin/env bash
# Builds the core with ASan + UBSan into build-asan/ and runs the core tests; then builds with ThreadSanitizer
# into build-tsan/ and runs the tests of the threaded layers (platform, scheduler, audio, runtime, graphics).
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"

bash scripts/install-deps.sh
werror=(${OMBREL_WERROR:+-DOMBREL_WERROR=$OMBREL_WERROR})

bash scripts/build.sh build-asan -DOMBREL_SANITIZE=ON -DOMBREL_BENCH=OFF "${werror[@]}"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$ROOT/tests/lsan.supp}
ctest --test-dir build-asan -L core --output-on-failure --no-tests=error -j2

bash scripts/build.sh build-tsan -DOMBREL_TSAN=ON -DOMBREL_BENCH=OFF "${werror[@]}"
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:suppressions=$ROOT/tests/tsan.supp}
ctest --test-dir build-tsan -L 'platform|scheduler|audio|runtime|graphics' --output-on-failure --no-tests=error -j2
