#!/usr/bin/env bash
# The real-time factor of an offline render: bench/dense_piece.scm (the GM synth, 16 voices, reverb) rendered for
# SECONDS with `ombrel --render`, RUNS times; prints each run and the median factor.
#   bash bench/render_speed.sh [-n RUNS] [-s SECONDS] [--bin build-rel/bin]
set -euo pipefail
cd "$(dirname "$0")/.."
runs=3 seconds=60 bin=build-rel/bin
while [ $# -gt 0 ]; do
  case $1 in
    -n) runs=$2; shift 2 ;;
    -s) seconds=$2; shift 2 ;;
    --bin) bin=$2; shift 2 ;;
    *) echo "usage: $0 [-n RUNS] [-s SECONDS] [--bin DIR]" >&2; exit 2 ;;
  esac
done
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
export XDG_DATA_HOME=$tmp XDG_CONFIG_HOME=$tmp/config
factors=()
for i in $(seq "$runs"); do
  line=$("$bin/ombrel" --render bench/dense_piece.scm --seconds "$seconds" --out "$tmp/run$i.wav" | grep '^Rendered')
  echo "run $i: $line"
  factors+=("$(echo "$line" | sed -E 's/.*: ([0-9.]+) times real time/\1/')")
done
printf '%s\n' "${factors[@]}" | sort -g | awk '{a[NR]=$1} END {print "median: " a[int((NR+1)/2)] " times real time"}'
cmp -s "$tmp/run1.wav" "$tmp/run$runs.wav" && echo "runs identical: yes" || echo "runs identical: NO"
