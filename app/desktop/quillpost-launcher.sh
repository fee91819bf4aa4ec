#!/bin/sh
# Starts the installed Quillpost with a folder of the user's own.
#
# Quillpost keeps its settings in "★MailData" and its server file
# "ferrule.ini" in the folder it starts in. The installed program
# (../lib/quillpost from here) is shared and read-only, so each user's files
# live under ${XDG_DATA_HOME:-~/.local/share}/quillpost:
#   ★MailData      the user's settings and watch list, private (mode 700)
#   ferrule.ini    the server settings, written by the program itself
# The installed executable runs in place (a home mounted noexec cannot stop
# it), started in that folder and told it through QUILLPOST_USER_FOLDER. Its
# tune, pictures and help page stay in the installed folder.
set -eu

here=$(dirname "$(readlink -f "$0")")
program=$(readlink -f "$here/../lib/quillpost")/quillpost
# A relative XDG_DATA_HOME is ignored, as the XDG rules say: it would
# name a different folder from every place the program is started.
case "${XDG_DATA_HOME:-}" in
  /*) user_dir="$XDG_DATA_HOME/quillpost" ;;
  *) user_dir="$HOME/.local/share/quillpost" ;;
esac

# Started from a menu, stderr is seen by no one: under a desktop the
# installed program shows the reason in a box.
fail() {
  echo "quillpost: $*" >&2
  if [ -x "$program" ] && { [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; }; then
    QUILLPOST_LAUNCH_PROBLEM="$*"
    export QUILLPOST_LAUNCH_PROBLEM
    exec "$program"
  fi
  exit 1
}

[ -x "$program" ] || fail "the installed program is missing: $program"

# The program takes no arguments for its work: any argument (--help,
# --version, or a wrong one) is answered by the installed program, which
# prints and exits. Nothing is made for that.
if [ "$#" -gt 0 ]; then
  exec "$program" "$@"
fi

# The settings hold the password: private from the start.
(umask 077 && mkdir -p "$user_dir/★MailData") || fail "cannot make $user_dir/★MailData"
# Another user's folder would let that user read the password and change
# the settings.
for folder in "$user_dir" "$user_dir/★MailData"; do
  [ -O "$folder" ] || fail "$folder belongs to another user"
done
chmod 700 "$user_dir/★MailData" || fail "cannot make $user_dir/★MailData private"

# Left behind by older launchers, which ran a copy of the executable from
# here beside links to the shared data: the copy (and a half-made one) and
# those links go; a real folder the user put there is left alone.
rm -f "$user_dir/quillpost" "$user_dir/quillpost.new" "$user_dir"/.quillpost.?????? \
  "$user_dir/.launcher.lock" 2>/dev/null || true
for item in Sound 画像データ help; do
  if [ -L "$user_dir/$item" ]; then rm -f "$user_dir/$item"; fi
done

# Under a Wayland session the windows need X11 for what they do (centring,
# the shaped window's place, staying on top): use XWayland when the session
# has it, unless the user chose a platform. Without XWayland Qt's own choice
# stands.
if [ -n "${WAYLAND_DISPLAY:-}" ] && [ -n "${DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  export QT_QPA_PLATFORM=xcb
fi

cd "$user_dir"
QUILLPOST_USER_FOLDER=$user_dir
export QUILLPOST_USER_FOLDER
exec "$program"
