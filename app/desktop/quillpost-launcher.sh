#!/bin/sh
# Starts Quillpost from a program folder of the user's own.
#
# Quillpost keeps its settings in "★MailData" beside its executable and its
# server file "ferrule.ini" in the folder it starts in. The installed copy
# (../lib/quillpost from here) is shared and read-only, so each user gets a
# program folder under ${XDG_DATA_HOME:-~/.local/share}/quillpost:
#   quillpost      a copy of the installed executable (the program finds its
#                  folder from its own path, so a link would lead it back to
#                  the shared folder); refreshed when the installed one changes
#   Sound, 画像データ, help
#                  links to the shared, read-only sounds, pictures and the
#                  user's page
#   ★MailData      the user's settings and watch list, private (mode 700)
#   ferrule.ini    the server settings, written by the program itself
# The program is started there. Nothing in the shared folder is written.
set -eu

here=$(dirname "$(readlink -f "$0")")
shared=$(readlink -f "$here/../lib/quillpost")
user_dir="${XDG_DATA_HOME:-$HOME/.local/share}/quillpost"

fail() {
  echo "quillpost: $*" >&2
  exit 1
}

[ -x "$shared/quillpost" ] || fail "the installed program is missing: $shared/quillpost"

# The program takes no arguments for its work: any argument (--help,
# --version, or a wrong one) is answered by the installed program, which
# prints and exits. Nothing is made or copied for that.
if [ "$#" -gt 0 ]; then
  exec "$shared/quillpost" "$@"
fi

# The settings hold the POP3 password: private from the start.
(umask 077 && mkdir -p "$user_dir/★MailData") || fail "cannot make $user_dir/★MailData"
chmod 700 "$user_dir/★MailData"

# Two starts at once (autostart and a menu click, after an install or an
# upgrade) must both start and never leave a half-written executable. The
# refresh and the links are made under a lock; the copy goes to a temporary
# file of this start's own and is renamed over the old one, so a running
# instance keeps its own file, and a start that finds the copy already
# refreshed by another leaves it alone. Without flock(1) the unique name and
# the rename alone still keep every copy whole.
lock_fd_open=0
if command -v flock >/dev/null 2>&1 && exec 9>>"$user_dir/.launcher.lock"; then
  lock_fd_open=1
  if flock -w 60 9; then
    # Nobody else is copying now: what a killed start left can go.
    rm -f "$user_dir"/.quillpost.??????
  else
    echo "quillpost: another start holds $user_dir/.launcher.lock; going on without it" >&2
  fi
fi

if ! cmp -s "$shared/quillpost" "$user_dir/quillpost"; then
  fresh=$(mktemp "$user_dir/.quillpost.XXXXXX") || fail "cannot write into $user_dir"
  if cp "$shared/quillpost" "$fresh" && chmod 755 "$fresh" && mv -f "$fresh" "$user_dir/quillpost"; then
    :
  else
    rm -f "$fresh"
    # Another start may have put the same program there meanwhile.
    cmp -s "$shared/quillpost" "$user_dir/quillpost" || fail "cannot copy the program into $user_dir"
  fi
fi
# Left behind by an older launcher that copied to a fixed name.
rm -f "$user_dir/quillpost.new"

# Links to the shared data. A link that points elsewhere (the program was
# installed under another prefix before) is renewed; a real folder the user
# put there on purpose is left alone.
for item in Sound 画像データ help; do
  if [ -L "$user_dir/$item" ] || [ ! -e "$user_dir/$item" ]; then
    if [ "$(readlink "$user_dir/$item" 2>/dev/null || true)" != "$shared/$item" ]; then
      ln -sfn "$shared/$item" "$user_dir/$item"
    fi
  fi
done

# The program does not keep the lock.
if [ "$lock_fd_open" = 1 ]; then exec 9>&-; fi

# Under a Wayland session the windows need X11 for what they do (centring,
# the shaped window's place, staying on top): use XWayland when the session
# has it, unless the user chose a platform. Without XWayland Qt's own choice
# stands.
if [ -n "${WAYLAND_DISPLAY:-}" ] && [ -n "${DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  export QT_QPA_PLATFORM=xcb
fi

cd "$user_dir"
exec ./quillpost "$@"
