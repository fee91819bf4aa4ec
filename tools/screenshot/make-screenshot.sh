#!/usr/bin/env bash
# Makes the README's screenshot from the real program: Quillpost under a
# private Xvfb, checking the demo's throwaway POP3 server (tools/demo/try-it.sh),
# with the notice board up and the alert's shaped window on the desktop.
#
# Usage: tools/screenshot/make-screenshot.sh [--no-build] [--program-dir DIR] [--out FILE]
#   --no-build         use build/quillpost as it is (default: build it first)
#   --program-dir DIR  take the program from DIR (implies --no-build)
#   --out FILE         where the PNG goes (default: docs/screenshot.png)
set -euo pipefail

repo=$(cd "$(dirname "$(readlink -f "$0")")/../.." && pwd)
out="$repo/docs/screenshot.png"
build=1
demo_args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --no-build) build=0 ;;
    --program-dir) demo_args+=(--program-dir "${2:?--program-dir needs a folder}"); build=0; shift ;;
    --out) out=$(realpath -m "${2:?--out needs a file}"); shift ;;
    -h|--help) awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "$0"; exit 0 ;;
    *) echo "make-screenshot: unknown option $1 (see --help)" >&2; exit 2 ;;
  esac
  shift
done

say() { printf 'make-screenshot: %s\n' "$*"; }
die() { printf 'make-screenshot: %s\n' "$*" >&2; exit 1; }
for tool in Xvfb xdotool import convert display; do
  command -v "$tool" >/dev/null || die "$tool is missing: run tools/install-deps.sh"
done

# Built before anything is timed, so every wait below is short.
if [ "$build" = 1 ]; then
  "$repo/tools/install-deps.sh" build run demo
  cmake -S "$repo" -B "$repo/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$repo/build" --target quillpost -j"$(nproc)"
fi

work=$(mktemp -d /tmp/quillpost-shot.XXXXXX)
xvfb_pid=""
demo_pid=""
cleanup() {
  if [ -n "$demo_pid" ]; then
    kill -TERM "$demo_pid" 2>/dev/null || true
    wait "$demo_pid" 2>/dev/null || true
  fi
  if [ -n "$xvfb_pid" ]; then
    kill -TERM "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP

# Every wait is bounded well inside the two minutes the test allows, and
# says what it waited for when it gives up.
wait_for() { # seconds, what, then a command that must succeed
  local deadline=$((SECONDS + $1)) what=$2; shift 2
  until "$@" >/dev/null 2>&1; do
    if [ "$SECONDS" -ge "$deadline" ] || { [ -n "$demo_pid" ] && ! kill -0 "$demo_pid" 2>/dev/null; }; then
      say "gave up waiting for $what"
      return 1
    fi
    sleep 0.1
  done
}

# -displayfd: the server picks a free display and writes its number.
Xvfb -displayfd 3 -screen 0 640x400x24 -nolisten tcp -noreset 3>"$work/display" >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
wait_for 10 "Xvfb to name its display" test -s "$work/display" || die "Xvfb did not start: $(cat "$work/xvfb.log")"
display=":$(head -n 1 "$work/display")"
export DISPLAY=$display
unset WAYLAND_DISPLAY
# What the demo starts draws on this Xvfb, whatever platform the caller's
# environment names (widget tests often export offscreen).
export QT_QPA_PLATFORM=xcb
wait_for 5 "Xvfb to answer" xdotool getdisplaygeometry || die "Xvfb did not start: $(cat "$work/xvfb.log")"

# A calm desktop behind the windows instead of Xvfb's black.
convert -size 640x400 gradient:'#dfe9f3'-'#7f9cbf' "$work/desktop.png"
# (display sets the root window and then reports a failure to keep it open;
# -noreset above keeps what it set when it leaves.)
display -window root "$work/desktop.png" || true

# The demo: its own server, program folder and settings; checks by hand.
"$repo/tools/demo/try-it.sh" --no-build "${demo_args[@]}" --interval 0 >"$work/demo.log" 2>&1 &
demo_pid=$!

window_named() { xdotool search --onlyvisible --name "^$1\$" | head -n 1; }
has_window() { [ -n "$(window_named "$1")" ]; }

main_title='ハルカゼ、お待ちしています　Ver 1.0'
wait_for 30 "the main window" has_window "$main_title" || die "Quillpost did not come up; the demo said:
$(tail -n 20 "$work/demo.log")"
main=$(window_named "$main_title")

# No window manager: move the main window out of the board's way (both are
# centred), give it the focus and choose ファイル(F) > メールチェック（手動）.
xdotool windowmove "$main" 40 40
sleep 0.5
xdotool windowfocus "$main"
sleep 0.3
xdotool key alt+f
sleep 0.5
xdotool key Return
wait_for 20 "the notice board" has_window '新着お知らせボード' || die "no notice board after the check; the demo said:
$(tail -n 20 "$work/demo.log")"
# Let the alert's pictures start moving and the shaped window settle.
sleep 3

mkdir -p "$(dirname "$out")"
# The banner at the foot of the main window scrolls the mail program's name
# (here "未設定") and is empty between rounds: take the screen when some of
# its yellow text is in view.
eval "$(xdotool getwindowgeometry --shell "$main")"
banner="233x20+$X+$((Y + HEIGHT - 20))"
banner_in_view() {
  import -window root "$work/root.png"
  yellow=$(convert "$work/root.png" -crop "$banner" +repage \
             -fx '(r > 0.7 && g > 0.7 && b < 0.4) ? 1 : 0' -format '%[fx:mean]' info:)
  awk -v y="$yellow" 'BEGIN { exit !(y > 0.02) }'
}
wait_for 10 "the banner's text to come into view (taking the screen as it is)" banner_in_view || true
# The part of the screen that holds the windows.
convert "$work/root.png" -crop 480x300+0+0 +repage "$work/shot.png"
mv -f "$work/shot.png" "$out"
say "wrote $out"
