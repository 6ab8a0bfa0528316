#!/usr/bin/env bash
# System calls made inside renders of a busy graph, counted by strace from outside (see render_thread_calls.cpp).
# Usage: bench/render_syscalls.sh [--bin DIR] [BUFFERS [without-gm]]
set -euo pipefail
BIN=build-rel/bin
if [ "${1:-}" = "--bin" ]; then BIN=$2; shift 2; fi
BUFFERS=${1:-2000}
VARIANT=${2:-}
TRACE=$(mktemp)
trap 'rm -f "$TRACE"' EXIT
strace -f -qq -o "$TRACE" "$BIN/bench_render_thread_calls" "$BUFFERS" $VARIANT
# Between a getppid and the next getuid of the same thread, every other call was made by a render.
awk '
  $2 == "<..." { next }  # the end of a call already counted at its start
  { tid = $1; call = $2; sub(/\(.*/, "", call) }
  call == "getppid" { inside[tid] = 1; renders++; next }
  call == "getuid"  { inside[tid] = 0; next }
  inside[tid] { count[call]++; total++ }
  END {
    printf "renders traced: %d, system calls inside them: %d\n", renders, total
    for (c in count) printf "  %s: %d\n", c, count[c]
  }' "$TRACE"
