#!/usr/bin/env bash
# Try Quillpost against a throwaway POP3 (or IMAPS) server on this machine.
#
# Starts a private Dovecot on 127.0.0.1 (its own config, a free high port)
# holding the sample messages in tools/demo/mail/, prepares a separate
# folder of settings that point at it (check every minute, a watch list
# with one of the senders on it) and starts Quillpost there. Ctrl-C, or
# closing Quillpost, stops the server and removes everything the demo made.
# The settings of your own program folder (build/quillpost) are not touched.
#
# Building first installs what the demo needs and nothing more (compiler,
# CMake, Qt and FluidSynth headers, a SoundFont, a Japanese font, Dovecot and
# openssl: tools/install-deps.sh build run demo), with sudo when you are not
# root; it says so before it asks for your password.
#
# Usage: tools/demo/try-it.sh [--no-build] [--program-dir DIR] [--installed] [--interval MIN] [--imap]
#   --no-build         use the program folder as it is (default: build it first)
#   --program-dir DIR  take the program from DIR instead of build/quillpost
#   --installed        start the installed program through its launcher
#                      (quillpost on the PATH), with a throwaway XDG_DATA_HOME
#                      so your own ~/.local/share/quillpost is not touched
#   --interval MIN     minutes between automatic checks (default 1; 0 = by hand only)
#   --imap             the same mailbox over IMAPS (TLS from a demo CA that only
#                      the demo's settings trust) instead of POP3
set -euo pipefail

repo=$(cd "$(dirname "$(readlink -f "$0")")/../.." && pwd)
program_dir="$repo/build/quillpost"
build=1
interval=1
launcher=""
imap=0

while [ $# -gt 0 ]; do
  case "$1" in
    --no-build) build=0 ;;
    --program-dir) program_dir=$(readlink -f "${2:?--program-dir needs a folder}"); build=0; shift ;;
    --interval) interval=${2:?--interval needs a number}; shift ;;
    --imap) imap=1 ;;
    --installed) launcher=$(command -v quillpost || true); build=0
                 [ -n "$launcher" ] || { echo "try-it: no quillpost on the PATH; install it first" >&2; exit 1; } ;;
    -h|--help) awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "$0"; exit 0 ;;
    *) echo "try-it: unknown option $1 (see --help)" >&2; exit 2 ;;
  esac
  shift
done
case "$interval" in ''|*[!0-9]*) echo "try-it: --interval takes whole minutes" >&2; exit 2 ;; esac

say() { printf 'try-it: %s\n' "$*"; }
die() { printf 'try-it: %s\n' "$*" >&2; exit 1; }

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  die "no desktop session here (DISPLAY is not set); run it from a terminal on your desktop"
fi

if [ "$build" = 1 ]; then
  "$repo/tools/install-deps.sh" build run demo
  cmake -S "$repo" -B "$repo/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$repo/build" --target quillpost -j"$(nproc)"
fi
if [ -z "$launcher" ]; then
  [ -x "$program_dir/quillpost" ] || die "no program at $program_dir/quillpost (build it first, or pass --program-dir)"
fi

dovecot_bin=$(PATH="$PATH:/usr/sbin:/usr/local/sbin" command -v dovecot || true)
[ -n "$dovecot_bin" ] || die "Dovecot is missing: run tools/install-deps.sh (package dovecot-pop3d)"
if [ "$imap" = 1 ]; then
  [ -e /usr/lib/dovecot/imap ] || die "Dovecot's IMAP server is missing: run tools/install-deps.sh (package dovecot-imapd)"
  command -v openssl >/dev/null || die "openssl is missing (package openssl)"
fi
command -v iconv >/dev/null || die "iconv is missing (package libc-bin)"

# --- Everything the demo makes lives here and goes away at the end. --------
# Dovecot's settings take these paths bare: its driver arguments are split at
# blanks, '%' starts a variable, '#' a comment. A TMPDIR with such characters
# would leave a server that cannot start, so the demo's folder goes to /tmp.
tmp_base=${TMPDIR:-/tmp}
if [[ "$tmp_base" =~ [^A-Za-z0-9/._+-] ]]; then
  say "TMPDIR ($tmp_base) holds characters Dovecot's settings cannot carry (a space, for example); the demo's folder goes to /tmp instead"
  tmp_base=/tmp
fi
work=$(mktemp -d "$tmp_base/quillpost-demo.XXXXXX")
# Dovecot's auth process (user dovecot when started as root) must read the
# passwd file: mktemp's 0700 would make every login fail.
chmod 755 "$work"
server="$work/server"
if [ -n "$launcher" ]; then
  # The launcher makes its per-user folder here.
  prog="$work/data/quillpost"
else
  prog="$work/program"
fi
program_pid=""
cleaned=0

stop_pid() { # pid [grace seconds]
  local pid=$1 tries=$(( ${2:-5} * 10 ))
  kill -TERM "$pid" 2>/dev/null || return 0
  while kill -0 "$pid" 2>/dev/null && [ "$tries" -gt 0 ]; do
    # A reaped or zombie process counts as gone.
    grep -q '^State:[[:space:]]*Z' "/proc/$pid/status" 2>/dev/null && return 0
    sleep 0.1; tries=$((tries - 1))
  done
  kill -KILL "$pid" 2>/dev/null || true
}

cleanup() {
  [ "$cleaned" = 1 ] && return
  cleaned=1
  if [ -n "$program_pid" ] && kill -0 "$program_pid" 2>/dev/null; then
    stop_pid "$program_pid" 3
  fi
  if [ -f "$server/run/master.pid" ]; then
    stop_pid "$(cat "$server/run/master.pid")" 5
  fi
  if [ -f "$server/dovecot.log" ]; then
    local sessions
    sessions=$(grep -o 'top=[0-9]*/[0-9]*, retr=[0-9]*/[0-9]*, del=[0-9]*/[0-9]*' "$server/dovecot.log" || true)
    if [ "$imap" = 1 ]; then
      sessions=$(grep -o 'Logged out in=[0-9]* out=[0-9]*' "$server/dovecot.log" || true)
    fi
    if [ -n "$sessions" ]; then
      say "what the server saw, one line per check (bytes in and out over IMAP; over POP3 top = headers read, retr = messages downloaded, del = deleted):"
      printf '%s\n' "$sessions" | sed 's/^/    /'
    fi
  fi
  rm -rf "$work"
  say "stopped the server and removed $work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP

# --- A private Dovecot ------------------------------------------------------
port_free() { ! (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
pick_port() {
  local p
  for _ in $(seq 50); do
    p=$(( 20000 + RANDOM % 40000 ))
    if port_free "$p"; then echo "$p"; return 0; fi
  done
  return 1
}
greeting_ok() { # port
  local line
  if [ "$imap" = 1 ]; then
    line=$(timeout 3 openssl s_client -connect "127.0.0.1:$1" -quiet </dev/null 2>/dev/null | head -c 4 || true)
    [ "$line" = "* OK" ]
    return
  fi
  line=$(timeout 2 bash -c "exec 3<>/dev/tcp/127.0.0.1/$1 && head -c 3 <&3 && printf 'QUIT\r\n' >&3" 2>/dev/null || true)
  [ "$line" = "+OK" ]
}

user=demo
password="demo-$RANDOM$RANDOM"
mkdir -p "$server/run" "$server/state" "$server/home/$user/Maildir/"{new,cur,tmp}
chmod 755 "$server" "$server/home"
printf '%s:{PLAIN}%s\n' "$user" "$password" > "$server/passwd"
chmod 644 "$server/passwd"

n=0
for message in "$repo"/tools/demo/mail/*.eml; do
  n=$((n + 1))
  # Dovecot numbers new mail by the time stamp at the front of the name.
  cp "$message" "$server/home/$user/Maildir/new/$((1700000000 + n)).M${n}P$$.quillpost-demo"
done
[ "$n" -gt 0 ] || die "no sample messages in tools/demo/mail"

if [ "$(id -u)" = 0 ]; then
  mail_uid=nobody; mail_gid=nogroup
  chown -R nobody:nogroup "$server/home/$user"
  run_as=""
else
  # Without root, Dovecot runs every one of its processes as you.
  mail_uid=$(id -u); mail_gid=$(id -g)
  me=$(id -un); my_group=$(id -gn)
  run_as="default_internal_user = $me
default_internal_group = $my_group
default_login_user = $me
service anvil {
  chroot =
}"
fi

# IMAPS: a CA of the demo's own and a certificate for localhost signed by
# it. Only the demo's settings trust that CA (see below).
if [ "$imap" = 1 ]; then
  mkdir -p "$server/tls"
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj "/CN=Quillpost demo CA" \
    -keyout "$server/tls/ca.key" -out "$server/tls/ca.pem" 2>/dev/null
  openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj "/CN=localhost" \
    -keyout "$server/tls/server.key" -out "$server/tls/server.csr" 2>/dev/null
  printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\n' > "$server/tls/ext"
  openssl x509 -req -days 2 -in "$server/tls/server.csr" -CA "$server/tls/ca.pem" -CAkey "$server/tls/ca.key" \
    -CAcreateserial -extfile "$server/tls/ext" -out "$server/tls/server.pem" 2>/dev/null
  [ -s "$server/tls/server.pem" ] || die "openssl could not make the demo's certificate"
  chmod 755 "$server/tls"; chmod 644 "$server/tls/"*
fi

write_config() { # port
  # One config for both protocols; only the protocol, TLS and listeners differ.
  local proto=pop3 tls="ssl = no" mechs="plain apop" plain="disable_plaintext_auth = no"
  local listeners="  inet_listener pop3 {
    address = 127.0.0.1
    port = $1
  }
  inet_listener pop3s {
    port = 0
  }"
  if [ "$imap" = 1 ]; then
    proto=imap mechs=plain plain=""
    tls="ssl = required
ssl_cert = <$server/tls/server.pem
ssl_key = <$server/tls/server.key"
    listeners="  inet_listener imap {
    port = 0
  }
  inet_listener imaps {
    address = 127.0.0.1
    port = $1
    ssl = yes
  }"
  fi
  cat > "$server/dovecot.conf" <<EOF
base_dir = $server/run
state_dir = $server/state
log_path = $server/dovecot.log
protocols = $proto
listen = 127.0.0.1
$tls
auth_mechanisms = $mechs
$plain
mail_location = maildir:~/Maildir
passdb {
  driver = passwd-file
  args = $server/passwd
}
userdb {
  driver = static
  args = uid=$mail_uid gid=$mail_gid home=$server/home/%u
}
service $proto-login {
  $( [ -n "$run_as" ] && echo "chroot =" )
$listeners
}
$run_as
EOF
}

port=""
for _ in 1 2 3; do
  candidate=$(pick_port) || die "found no free port on 127.0.0.1"
  write_config "$candidate"
  rm -f "$server/run/master.pid"
  if "$dovecot_bin" -c "$server/dovecot.conf" </dev/null >/dev/null 2>>"$server/dovecot.log"; then
    for _ in $(seq 100); do
      if greeting_ok "$candidate"; then port=$candidate; break; fi
      sleep 0.1
    done
    if [ -n "$port" ]; then break; fi
    if [ -f "$server/run/master.pid" ]; then stop_pid "$(cat "$server/run/master.pid")" 5; fi
  fi
done
[ -n "$port" ] || die "Dovecot did not start; its log says:
$(tail -n 20 "$server/dovecot.log" 2>/dev/null)"

# --- Settings of the demo's own --------------------------------------------
# The program runs where it was built, with its sounds and pictures; only
# its "★MailData" and "ferrule.ini" are the demo's (QUILLPOST_USER_FOLDER).
mkdir -p "$prog/★MailData"

cp932() { iconv -f UTF-8 -t CP932; }
crlf() { sed 's/$/\r/'; }

# Check options: interval, the board stays open, no mail program.
printf '[EXEINI]\nNUMBER=0\nNUMBER2=%s\nNUMBER3=0\nNUMBER4=0\nNUMBER5=0\nNAME=未設定\n' "$interval" \
  | cp932 | crlf > "$prog/★MailData/ini.ini"
# The account, readable by its owner only, as the program itself keeps it.
( umask 077; printf '[EXEINI]\nNAME=%s\nNAME2=%s\nNAME3=1\n' "$user" "$password" | crlf > "$prog/★MailData/iniIdPass.ini" )
# The server file sits in the folder the program starts in.
if [ "$imap" = 1 ]; then
  server_name="imaps://localhost:$port"
  # The program trusts the certificates in this file besides the system's.
  cp "$server/tls/ca.pem" "$prog/★MailData/cacerts.pem"
else
  server_name="127.0.0.1:$port"
fi
printf 'SMTP=127.0.0.1\nPOP3=%s\nMAIL=%s@example.jp\nAPOP=0\n' "$server_name" "$user" | crlf > "$prog/ferrule.ini"

# The watch list: 204-byte records of CR LF, InUse = 1 (16-bit little
# endian) and the keyword in CP932, padded with spaces to 200 bytes.
watch_list=(hanako@example.jp boss@example.co.jp)
store="$prog/★MailData/ferruledata50.data"
: > "$store"
for keyword in "${watch_list[@]}"; do
  bytes=$(printf '%s' "$keyword" | cp932 | wc -c)
  [ "$bytes" -le 200 ] || die "watch-list entry longer than 200 bytes: $keyword"
  { printf '\r\n\001\000'; printf '%s' "$keyword" | cp932; printf '%*s' $((200 - bytes)) ''; } >> "$store"
done

# --- Start Quillpost there -------------------------------------------------
if [ -n "$launcher" ]; then
  XDG_DATA_HOME="$work/data" "$launcher" &
else
  # Under Wayland the windows need X11 (centring, the shaped window's place,
  # staying on top): XWayland when the session has it, as the launcher does.
  (
    if [ -n "${WAYLAND_DISPLAY:-}" ] && [ -n "${DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
      export QT_QPA_PLATFORM=xcb
    fi
    cd "$prog" && QUILLPOST_USER_FOLDER=$prog exec "$program_dir/quillpost"
  ) &
fi
program_pid=$!

cat <<EOF

  Quillpost is running with the demo's settings in $prog
  Its server is a private Dovecot at $server_name holding $n messages
  (senders in ISO-2022-JP, Shift_JIS, UTF-8 and plain ASCII).
  Watch list ("特定者"): ${watch_list[*]}

  $( [ "$interval" -gt 0 ] && echo "The first automatic check comes in $interval minute(s)." || echo "Automatic checks are off." )
  To check now, choose ファイル(F) > メールチェック（手動） in the Quillpost window.
  You will see the board "新着お知らせボード" with the count $n, and, because
  hanako@example.jp is on the watch list, the alert: the tune, the moving
  picture in the main window and the swaying bamboo branch. "戻す" ends the alert.
  The server keeps every message: the next check counts them again.
  $( [ "$imap" = 1 ] && echo "Over IMAP the check opens the mailbox read-only: the messages stay unread." )

  Close Quillpost or press Ctrl-C here to end the demo.

EOF

set +e
wait "$program_pid"
status=$?
set -e
program_pid=""
say "Quillpost ended (exit status $status)"
