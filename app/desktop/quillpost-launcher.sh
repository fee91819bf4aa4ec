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
#   Sound, 画像データ  links to the shared, read-only sounds and pictures
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

# A fresh copy when the installed executable changed (an upgrade). Copied
# beside and renamed over, so a running instance keeps its own file and a
# failed copy never leaves a half-written executable.
if ! cmp -s "$shared/quillpost" "$user_dir/quillpost"; then
  cp "$shared/quillpost" "$user_dir/quillpost.new" || { rm -f "$user_dir/quillpost.new"; fail "cannot copy the program into $user_dir"; }
  chmod 755 "$user_dir/quillpost.new"
  mv -f "$user_dir/quillpost.new" "$user_dir/quillpost"
fi

# Links to the shared data. A link that points elsewhere (the program was
# installed under another prefix before) is renewed; a real folder the user
# put there on purpose is left alone.
for item in Sound 画像データ; do
  if [ -L "$user_dir/$item" ] || [ ! -e "$user_dir/$item" ]; then
    if [ "$(readlink "$user_dir/$item" 2>/dev/null || true)" != "$shared/$item" ]; then
      ln -sfn "$shared/$item" "$user_dir/$item"
    fi
  fi
done

cd "$user_dir"
exec ./quillpost "$@"
