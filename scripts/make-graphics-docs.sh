#!/usr/bin/env bash
# Runs every Scheme example of docs/graphics.md in the real program, headless, and writes the pictures the page shows
# into docs/images/. The page's code is the only source: an example that fails (an error in the log, a non-zero exit
# or a missing picture) fails the script, so the page cannot drift from what the program does.
#
#   scripts/make-graphics-docs.sh [--bin build-rel/bin] [--page docs/graphics.md] [--images DIR] [--keep DIR]
#
# --images writes the pictures elsewhere than docs/images/ (the tests check the page this way).
#
# In the page, a line before a ```scheme block starts a new piece:
#   <!-- piece: NAME SECONDS -->   the piece's canvas, bound to `canvas`, is saved as docs/images/NAME.png once
#                                  SECONDS of sample time have passed
#   <!-- piece -->                 the piece only has to run without error
#   <!-- example -->               the block is not run (it names the reader's own files, say)
# A ```scheme block with no such line continues the piece before it. Pieces run in page order, each in a fresh
# program (ombrel --render), all in one fresh scratch folder, so a piece may read a file an earlier piece wrote.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
bin=$root/build-rel/bin
page=$root/docs/graphics.md
keep=
images=$root/docs/images
while [ $# -gt 0 ]; do
  case $1 in
    --bin) bin=$2; shift 2 ;;
    --page) page=$2; shift 2 ;;
    --keep) keep=$2; shift 2 ;;
    --images) images=$2; shift 2 ;;
    -h|--help) sed -n '2,16p' "$0"; exit 0 ;;
    *) echo "make-graphics-docs: unknown argument $1" >&2; exit 2 ;;
  esac
done
ombrel=$bin/ombrel
[ -x "$ombrel" ] || { echo "make-graphics-docs: no program at $ombrel (build the ombrel target)" >&2; exit 2; }
[ -f "$page" ] || { echo "make-graphics-docs: no page $page" >&2; exit 2; }
mkdir -p "$images"

work=${keep:-$(mktemp -d)}
mkdir -p "$work"
rm -f "$work"/piece-* "$work/count"
[ -n "$keep" ] || trap 'rm -rf "$work"' EXIT
# Empty preferences, library and log: only what Ombrel itself defines, and nothing of the user's touched.
export XDG_CONFIG_HOME=$work/config XDG_DATA_HOME=$work/data XDG_STATE_HOME=$work/state
unset DISPLAY WAYLAND_DISPLAY
# OSC on a port nobody else holds, so an Ombrel already running does not put an error in the log here.
osc_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
mkdir -p "$XDG_CONFIG_HOME/ombrel"
cat > "$XDG_CONFIG_HOME/ombrel/ombrel.plist" <<PLIST
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>preferences_key</key>
	<dict>
		<key>osc_port</key>
		<integer>$osc_port</integer>
	</dict>
</dict>
</plist>
PLIST

# Split the page into pieces: piece-N.scm, with piece-N.name and piece-N.seconds for those that make a picture.
awk -v dir="$work" '
  /^<!-- piece(: *[A-Za-z0-9_-]+ +[0-9.]+)? *-->$/ {
    n++; pending = 1
    if (match($0, /: *[A-Za-z0-9_-]+ +[0-9.]+/)) {
      split(substr($0, RSTART + 1, RLENGTH - 1), f, " ")
      print f[1] > (dir "/piece-" n ".name"); print f[2] > (dir "/piece-" n ".seconds")
    }
    next
  }
  /^<!-- example -->$/ { example = 1; next }
  /^```scheme$/ && example { skipping = 1; example = 0; next }
  /^```$/ && skipping { skipping = 0; next }
  skipping { next }
  /^```scheme$/ {
    if (n == 0) { print "make-graphics-docs: a scheme block before any piece marker, line " NR > "/dev/stderr"; exit 3 }
    inside = 1; pending = 0; next
  }
  /^```$/ && inside { inside = 0; print "" >> (dir "/piece-" n ".scm"); next }
  inside { print >> (dir "/piece-" n ".scm") }
  END { print n + 0 > (dir "/count") }
' "$page"

count=$(cat "$work/count")
[ "$count" -gt 0 ] || { echo "make-graphics-docs: no pieces in $page" >&2; exit 3; }
failed=0
# A fresh folder for what the pieces write, so a second run meets no file of the first.
rm -rf "$work/run"
mkdir "$work/run"
cd "$work/run"
for i in $(seq 1 "$count"); do
  piece=$work/piece-$i.scm
  [ -f "$piece" ] || { echo "piece $i: marker without a scheme block" >&2; failed=1; continue; }
  seconds=0.2
  name=
  if [ -f "$work/piece-$i.name" ]; then
    name=$(cat "$work/piece-$i.name")
    seconds=$(cat "$work/piece-$i.seconds")
    # Saved from a callback at that sample time, after every drawing due before it has run.
    printf '\n(callback (+ (now) (round->integer (* %s *second*))) (lambda () (gfx:capture-canvas canvas "%s")))\n' \
      "$seconds" "$work/run/$name.png" >> "$piece"
  fi
  render_seconds=$(awk -v s="$seconds" 'BEGIN { print s + 0.25 }')
  if ! "$ombrel" --render "$piece" --seconds "$render_seconds" --out "$work/piece-$i.wav" > "$work/piece-$i.log" 2>&1; then
    echo "piece $i${name:+ ($name)}: the program failed:" >&2
    grep -E '^:ERROR:|^ombrel:' "$work/piece-$i.log" >&2 || tail -5 "$work/piece-$i.log" >&2
    failed=1
    continue
  fi
  if grep -q '^:ERROR:' "$work/piece-$i.log"; then
    echo "piece $i${name:+ ($name)}: errors in the log:" >&2
    grep '^:ERROR:' "$work/piece-$i.log" >&2
    failed=1
    continue
  fi
  if [ -n "$name" ]; then
    if [ ! -s "$work/run/$name.png" ]; then
      echo "piece $i ($name): no picture was saved" >&2
      failed=1
      continue
    fi
    cp "$work/run/$name.png" "$images/$name.png"
    echo "$images/$name.png ($(stat -c %s "$images/$name.png") bytes)"
  else
    echo "piece $i ran"
  fi
done
exit $failed
