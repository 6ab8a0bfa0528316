#!/usr/bin/env bash
# Installs dependencies, builds, and starts Ombrel.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"

bash scripts/install-deps.sh
bash scripts/build.sh build

echo "Ombrel: the evaluator is not built yet."
echo "The reader and printer are exercised by the read-print tests in tests/interpreter/;"
echo "run them with: scripts/test.sh"
