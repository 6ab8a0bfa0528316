#!/usr/bin/env bash
# Installs dependencies, builds, and starts Ombrel headless: the audio engine and the primary Scheme process,
# whose eval server listens on 127.0.0.1:7010. Arguments go to the program (see build/bin/ombrel --help).
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"

bash scripts/install-deps.sh >&2
bash scripts/build.sh build >&2

exec build/bin/ombrel "$@"
