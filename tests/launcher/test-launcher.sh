#!/usr/bin/env bash
# The launcher as installed: each user's program folder, refreshed whole when
# starts overlap after an upgrade, and XWayland chosen under Wayland.
# Usage: test-launcher.sh LAUNCHER
set -euo pipefail
launcher=$(readlink -f "$1")
work=$(mktemp -d "${TMPDIR:-/tmp}/qp-launcher.XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"
shared="$prefix/lib/quillpost"
mkdir -p "$prefix/bin" "$shared/Sound" "$shared/画像データ" "$shared/help"
install -m 755 "$launcher" "$prefix/bin/quillpost"
export XDG_DATA_HOME="$work/data" RECORD="$work/record"
user_dir="$XDG_DATA_HOME/quillpost"
failures=0
check() { # description, then a command that must succeed
  local what=$1; shift
  if "$@"; then echo "ok: $what"; else echo "FAIL: $what"; failures=$((failures + 1)); fi
}

# A stand-in program that records its version, folder and Qt platform. The
# padding after its exit makes a copy take long enough for starts to overlap.
install_program() { # version
  {
    printf '#!/bin/sh\n'
    printf 'printf "%%s\\t%%s\\t%%s\\n" %s "$PWD" "${QT_QPA_PLATFORM:-}" >> "$RECORD"\nexit 0\n' "$1"
    head -c 8000000 /dev/zero | tr '\0' '#'
  } > "$shared/.next"
  chmod 755 "$shared/.next"
  mv -f "$shared/.next" "$shared/quillpost"
}

# Eight starts at once, after each of three upgrades: every one starts the
# new program, the user's copy ends whole, nothing is left behind.
starts=8
for version in v1 v2 v3; do
  install_program "$version"
  : > "$RECORD"
  pids=()
  for i in $(seq "$starts"); do
    (unset WAYLAND_DISPLAY QT_QPA_PLATFORM; "$prefix/bin/quillpost" 2>>"$work/stderr") &
    pids+=($!)
  done
  status=0
  for pid in "${pids[@]}"; do wait "$pid" || status=1; done
  check "$version: every start succeeded" [ "$status" = 0 ]
  check "$version: every start ran the new program in the user's folder" \
    [ "$(grep -c "^$version	$user_dir	\$" "$RECORD")" = "$starts" ]
  check "$version: the user's copy is whole" cmp -s "$shared/quillpost" "$user_dir/quillpost"
  check "$version: no temporary copies left" \
    [ -z "$(find "$user_dir" -maxdepth 1 -name '.quillpost.*' -o -maxdepth 1 -name 'quillpost.new')" ]
done
check "nothing said on stderr" [ ! -s "$work/stderr" ]
check "private data folder" [ "$(stat -c %a "$user_dir/★MailData")" = 700 ]
for item in Sound 画像データ help; do
  check "$item links to the shared folder" [ "$(readlink "$user_dir/$item")" = "$shared/$item" ]
done

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
check "an argument goes to the installed program" [ "$(cut -f1,2 "$RECORD")" = "v3	$work" ]
check "an argument makes no user folder" [ ! -e "$work/fresh" ]

[ "$failures" = 0 ] || { echo "$failures check(s) failed"; cat "$work/stderr" 2>/dev/null | head -20; exit 1; }
