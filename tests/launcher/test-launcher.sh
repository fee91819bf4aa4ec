#!/usr/bin/env bash
# The launcher as installed: the installed program run in place with the
# user's folder, an older launcher's folder tidied and kept, XWayland chosen
# under Wayland.
# Usage: test-launcher.sh LAUNCHER
set -euo pipefail
launcher=$(readlink -f "$1")
work=$(mktemp -d "${TMPDIR:-/tmp}/qp-launcher.XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"
shared="$prefix/lib/quillpost"
mkdir -p "$prefix/bin" "$shared"
install -m 755 "$launcher" "$prefix/bin/quillpost"
export XDG_DATA_HOME="$work/data" RECORD="$work/record"
user_dir="$XDG_DATA_HOME/quillpost"
failures=0
check() { # description, then a command that must succeed
  local what=$1; shift
  if "$@"; then echo "ok: $what"; else echo "FAIL: $what"; failures=$((failures + 1)); fi
}

# A stand-in program that records its version, folder, Qt platform, the
# user folder it was told, its own path and the problem it was given to show.
printf '#!/bin/sh\nprintf "%%s\\t%%s\\t%%s\\t%%s\\t%%s\\t%%s\\n" v3 "$PWD" "${QT_QPA_PLATFORM:-}" "${QUILLPOST_USER_FOLDER:-}" "$0" "${QUILLPOST_LAUNCH_PROBLEM:-}" >> "$RECORD"\n' \
  > "$shared/quillpost"
chmod 755 "$shared/quillpost"

# A folder an older launcher made: a copy of the executable, links to the
# shared data, the user's files, and a folder the user put there.
mkdir -p "$user_dir/★MailData" "$user_dir/help"
cp "$shared/quillpost" "$user_dir/quillpost"
ln -s "$shared/Sound" "$user_dir/Sound"
ln -s "$shared/画像データ" "$user_dir/画像データ"
echo settings > "$user_dir/★MailData/ini.ini"
echo POP3=x > "$user_dir/ferrule.ini"
: > "$RECORD"
(unset WAYLAND_DISPLAY QT_QPA_PLATFORM; "$prefix/bin/quillpost" 2>"$work/stderr")
check "the installed program runs in the user's folder and is told it" \
  [ "$(cat "$RECORD")" = "v3	$user_dir		$user_dir	$shared/quillpost	" ]
check "nothing said on stderr" [ ! -s "$work/stderr" ]
check "the user's files are kept" grep -q settings "$user_dir/★MailData/ini.ini"
check "the server file is kept" [ -f "$user_dir/ferrule.ini" ]
check "the old copy and links are gone, the user's folder kept" \
  [ "$(cd "$user_dir" && ls -A | sort | tr '\n' ' ')" = "ferrule.ini help ★MailData " ]
check "private data folder" [ "$(stat -c %a "$user_dir/★MailData")" = 700 ]

# A relative XDG_DATA_HOME is ignored.
: > "$RECORD"
(unset WAYLAND_DISPLAY QT_QPA_PLATFORM; cd "$work"; HOME="$work/home" XDG_DATA_HOME=data "$prefix/bin/quillpost")
check "a relative XDG_DATA_HOME is ignored" [ "$(cut -f2 "$RECORD")" = "$work/home/.local/share/quillpost" ]

# A folder another user owns is refused, and said in a box under a desktop.
mkdir -p "$work/other/quillpost/★MailData"
if [ "$(id -u)" = 0 ] && chown -R nobody "$work/other/quillpost"; then
  : > "$RECORD"
  (unset WAYLAND_DISPLAY QT_QPA_PLATFORM; DISPLAY=:7 XDG_DATA_HOME="$work/other" "$prefix/bin/quillpost" 2>/dev/null)
  check "another user's folder is refused in a box" [ "$(cut -f6 "$RECORD")" = "$work/other/quillpost belongs to another user" ]
fi

# A home mounted noexec: nothing of the user's is executed, so it starts.
if unshare -rm true 2>/dev/null; then
  : > "$RECORD"
  (unset WAYLAND_DISPLAY QT_QPA_PLATFORM; XDG_DATA_HOME="$work/noexec" unshare -rm sh -c \
     'mkdir -p "$XDG_DATA_HOME" && mount -t tmpfs -o noexec tmpfs "$XDG_DATA_HOME" && exec "$0"' \
     "$prefix/bin/quillpost") || true
  check "a noexec home starts the program" [ "$(cut -f2 "$RECORD")" = "$work/noexec/quillpost" ]
else
  echo "skip: no user namespace here to mount a noexec home"
fi

# Wayland: XWayland when the session has it, the user's own choice kept.
platform_for() { # WAYLAND_DISPLAY DISPLAY QT_QPA_PLATFORM ('-' = unset)
  : > "$RECORD"
  (
    for pair in "WAYLAND_DISPLAY=$1" "DISPLAY=$2" "QT_QPA_PLATFORM=$3"; do
      if [ "${pair#*=}" = - ]; then unset "${pair%%=*}"; else export "$pair"; fi
    done
    "$prefix/bin/quillpost"
  )
  cut -f3 "$RECORD"
}
check "Wayland with XWayland: xcb" [ "$(platform_for wayland-0 :7 -)" = xcb ]
check "Wayland without XWayland: Qt chooses" [ "$(platform_for wayland-0 - -)" = "" ]
check "the user's platform is kept" [ "$(platform_for wayland-0 :7 wayland)" = wayland ]
check "X11 session: Qt chooses" [ "$(platform_for - :7 -)" = "" ]

# An argument is the installed program's to answer (--help, --version, a
# wrong one): the user's folder is neither made nor refreshed for it.
: > "$RECORD"
(unset WAYLAND_DISPLAY QT_QPA_PLATFORM; cd "$work"
 XDG_DATA_HOME="$work/fresh" "$prefix/bin/quillpost" --version)
check "an argument goes to the installed program" [ "$(cut -f1,2,4 "$RECORD")" = "v3	$work	" ]
check "an argument makes no user folder" [ ! -e "$work/fresh" ]

[ "$failures" = 0 ] || { echo "$failures check(s) failed"; cat "$work/stderr" 2>/dev/null | head -20; exit 1; }
