#!/usr/bin/env bash
# Installs what is missing, builds the player alone (not the tests), makes the
# demo export folder when it does not exist yet and starts the player on it.
# Without a display the player runs under Xvfb, a screenshot of its window is
# saved, and the PNG's path is the last line printed.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/deps.sh"
"$root/scripts/build.sh" zuplayer

build="$root/build"
if ! ls -d "$build"/talvor_* >/dev/null 2>&1; then
  python3 "$root/tools/make_export_folder" --out "$build" --days 2 --cameras 2 \
    --minutes 2 --segment-minutes 1 --size 640x480 >/dev/null
fi

if [ -n "${DISPLAY:-}" ]; then
  exec "$build/zuplayer"
fi

command -v Xvfb >/dev/null || { echo "Xvfb is missing" >&2; exit 1; }
# Xvfb picks a free display itself and writes its number once it is ready.
fdfile="$(mktemp)"
Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp 3>"$fdfile" >/dev/null 2>&1 &
xvfb_pid=$!
app_pid=""
trap 'kill $app_pid $xvfb_pid 2>/dev/null || true; rm -f "$fdfile"' EXIT
for _ in $(seq 100); do
  [ -s "$fdfile" ] && break
  sleep 0.1
done
[ -s "$fdfile" ] || { echo "Xvfb did not start" >&2; exit 1; }
display=":$(head -n1 "$fdfile")"
DISPLAY="$display" "$build/zuplayer" >/dev/null 2>&1 &
app_pid=$!
# Let the window open, load the folder and play a little.
sleep "${ZU_SCREENSHOT_DELAY:-8}"
if ! kill -0 "$app_pid" 2>/dev/null; then
  echo "the player exited early" >&2
  exit 1
fi
shot="$build/screenshot.png"
ffmpeg -loglevel error -y -f x11grab -video_size 1920x1080 -i "$display" -frames:v 1 "$shot"
echo "$shot"
