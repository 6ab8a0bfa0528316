#!/usr/bin/env bash
# Builds the core with ASan + UBSan into build-asan/ and runs the core tests.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"

bash scripts/install-deps.sh
bash scripts/build.sh build-asan -DOMBREL_SANITIZE=ON -DOMBREL_BENCH=OFF \
  ${OMBREL_WERROR:+-DOMBREL_WERROR=$OMBREL_WERROR}

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
ctest --test-dir build-asan -L core --output-on-failure -j2
