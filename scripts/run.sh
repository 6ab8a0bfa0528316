#!/usr/bin/env bash
# Installs dependencies, builds, and starts Ombrel. Until the program proper exists this is the console
# interpreter: arguments are Scheme files to load; with none it is a REPL on the terminal.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"

bash scripts/install-deps.sh >&2
bash scripts/build.sh build >&2

exec build/bin/ombrel-scheme "$@"
