#!/usr/bin/env bash
# Takes docs/images/editor-and-log.png: Ombrel's editor and log windows under an Xvfb display of its own, with
# docs/images/screenshot-piece.scm open and played with real keys (xdotool). Needs a build (scripts/build.sh build).
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BIN=${BIN:-$ROOT/build/bin}
OUT=${1:-$ROOT/docs/images/editor-and-log.png}
cmake --build "$ROOT/build" --target ombrel ombrel_grab_screen >/dev/null

display=""
for n in $(seq 120 199); do
  [ -e "/tmp/.X$n-lock" ] && continue
  display=":$n"; break
done
[ -n "$display" ] || { echo "no free display number" >&2; exit 1; }
home=$(mktemp -d)
Xvfb "$display" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'kill $ombrel $xvfb 2>/dev/null || true; rm -rf "$home"' EXIT
for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X${display#:}" ] && break; sleep 0.1; done
export DISPLAY=$display

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
XDG_CONFIG_HOME=$home/config XDG_DATA_HOME=$home/data XDG_STATE_HOME=$home/state \
  "$BIN/ombrel" --audio null --port "$port" "$ROOT/docs/images/screenshot-piece.scm" >/dev/null 2>&1 &
ombrel=$!
editor=$(xdotool search --sync --name '^Editor: screenshot' | head -1)
log=$(xdotool search --sync --name '^Log$' | head -1)
xdotool windowsize "$editor" 760 780 windowmove "$editor" 0 0
xdotool windowsize "$log" 510 780 windowmove "$log" 770 0
xdotool windowfocus --sync "$editor"
# Play the piece: each top-level expression with Ctrl+Return, the cursor inside it.
for line in 2 3 4 6 12; do
  xdotool key --clearmodifiers ctrl+Home
  for _ in $(seq 2 "$line"); do xdotool key --clearmodifiers Down; done
  xdotool key --clearmodifiers End Left ctrl+Return
  sleep 0.2
done
xdotool key --clearmodifiers ctrl+Home Down Down Down Down Down Down Down End Left Left Left
sleep 3
"$BIN/ombrel_grab_screen" "$OUT"
echo "saved $OUT"
