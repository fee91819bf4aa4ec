#!/usr/bin/env bash
# Idle cost of the running program: starts the built Quillpost under its own
# Xvfb from a throwaway program folder with automatic checking on (interval
# 10 minutes, so no check falls in the window) and no server to talk to,
# lets it settle, then measures CPU time and resident memory over SECONDS
# (default 60). A second run does the same with an alert sounding (the
# "確認♪" button pressed with xdotool).
#
#   bench/idle/idle-cost.sh [build-dir] [seconds]
#
# Targets: under 0.5 % of one core and under 50 MB resident while idle.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
seconds=${2:-60}
exe="$build/quillpost/quillpost"
[ -x "$exe" ] || { echo "no $exe; build first" >&2; exit 1; }

work=$(mktemp -d)
display=:$((70 + RANDOM % 20))
cleanup() {
  [ -n "${app:-}" ] && kill "$app" 2>/dev/null || true
  [ -n "${xvfb:-}" ] && kill "$xvfb" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
sleep 1
export DISPLAY=$display

prepare() {
  rm -rf "$work/prog" && mkdir -p "$work/prog/★MailData"
  cp "$exe" "$work/prog/"
  ln -s "$build/quillpost/Sound" "$work/prog/Sound"
  ln -s "$build/quillpost/画像データ" "$work/prog/画像データ"
  printf '[EXEINI]\r\nNUMBER2=10\r\nNAME=/usr/bin/true\r\n' > "$work/prog/★MailData/ini.ini"
  printf '[EXEINI]\r\nNAME=user\r\nNAME2=pw\r\n' > "$work/prog/★MailData/iniIdPass.ini"
  printf 'SMTP=\r\nPOP3=127.0.0.1:9\r\nMAIL=\r\nAPOP=0\r\n' > "$work/prog/ferrule.ini"
}

ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
rss_kb() { awk '/^VmRSS/ {print $2}' "/proc/$1/status"; }

measure() {
  local label=$1 alert=$2
  prepare
  (cd "$work/prog" && exec ./quillpost >/dev/null 2>&1) &
  app=$!
  sleep 3
  if [ "$alert" = yes ]; then
    wid=$(xdotool search --name "ハルカゼ" | head -1)
    eval "$(xdotool getwindowgeometry --shell "$wid")"
    # "確認♪" sits at 104,80 (65 x 20) in the client area, below the menu bar.
    menu=$(( HEIGHT - 117 ))
    xdotool mousemove $((X + 130)) $((Y + menu + 90)) click 1
    sleep 2
  fi
  local hz t0 t1 peak=0 r
  hz=$(getconf CLK_TCK)
  t0=$(ticks "$app")
  for ((i = 0; i < seconds; i++)); do
    sleep 1
    r=$(rss_kb "$app")
    (( r > peak )) && peak=$r
  done
  t1=$(ticks "$app")
  awk -v l="$label" -v d=$((t1 - t0)) -v hz="$hz" -v s="$seconds" -v r="$(rss_kb "$app")" -v p="$peak" \
    'BEGIN { printf "%-16s cpu %.2f %% of one core over %d s, rss %.1f MB (peak %.1f MB)\n", l, 100 * d / hz / s, s, r / 1024, p / 1024 }'
  kill "$app"; wait "$app" 2>/dev/null || true
  app=
}

measure "idle" no
measure "alert sounding" yes
