#!/usr/bin/env bash
# Installs dependencies, builds into build/ and runs every test.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"

bash scripts/install-deps.sh
bash scripts/build.sh build ${OMBREL_WERROR:+-DOMBREL_WERROR=$OMBREL_WERROR}
ctest --test-dir build --output-on-failure --no-tests=error -j2
