#!/usr/bin/env bash
# Start-up: from launching `ombrel` to the first eval reply it sends.
#
#   bash bench/startup_to_first_reply.sh [-n RUNS] [--bin DIR]
#
# Each run starts `ombrel --headless --audio null` on a free port with empty preferences and user library (so only
# the standard files and startup.scm load), then sends (+ 1 2) with ombrel-repl every millisecond until "3" comes
# back. Prints each time and the median in milliseconds. The retries' own fork and exec are included.
set -euo pipefail

runs=10
bin=build-rel/bin
while [ $# -gt 0 ]; do
  case "$1" in
    -n) runs=$2; shift 2 ;;
    --bin) bin=$2; shift 2 ;;
    *) echo "usage: $0 [-n RUNS] [--bin DIR]" >&2; exit 2 ;;
  esac
done
[ -x "$bin/ombrel" ] && [ -x "$bin/ombrel-repl" ] || { echo "build $bin/ombrel and $bin/ombrel-repl first" >&2; exit 2; }

home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
export XDG_CONFIG_HOME=$home/config XDG_DATA_HOME=$home/data XDG_STATE_HOME=$home/state

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

now_ns() { date +%s%N; }

times=()
for ((i = 0; i < runs; i++)); do
  port=$(free_port)
  t0=$(now_ns)
  "$bin/ombrel" --headless --audio null --port "$port" > "$home/log" 2>&1 &
  pid=$!
  reply=""
  for ((try = 0; try < 5000; try++)); do
    reply=$("$bin/ombrel-repl" --port "$port" -e '(+ 1 2)' 2>/dev/null || true)
    [ "$reply" = "3" ] && break
    sleep 0.001
  done
  t1=$(now_ns)
  kill -TERM "$pid"
  wait "$pid" || true
  if [ "$reply" != "3" ]; then
    echo "run $i: no reply (log below)" >&2
    cat "$home/log" >&2
    exit 1
  fi
  ms=$(( (t1 - t0) / 1000000 ))
  times+=("$ms")
  echo "run $i: $ms ms"
done
sorted=($(printf '%s\n' "${times[@]}" | sort -n))
echo "median: ${sorted[$((runs / 2))]} ms (min ${sorted[0]}, max ${sorted[$((runs - 1))]}, $runs runs)"
