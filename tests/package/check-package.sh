#!/usr/bin/env bash
# check-package.sh BUILD_DIR VERSION
# Builds the .deb with CPack (as the package target does, so everything must
# be built already), then checks it as lintian and a user would, and installs
# it as root over the 1.0 package (apt-get; the machine must not have
# quillpost installed already, else that part is skipped).
set -uo pipefail
build=$1
version=$2

if ! command -v lintian >/dev/null; then
  echo "SKIP: lintian is not installed, so the package cannot be judged (tools/install-deps.sh installs it)"
  exit 77
fi
if ! command -v appstreamcli >/dev/null; then
  echo "SKIP: appstreamcli is not installed, so the metainfo cannot be validated (tools/install-deps.sh installs it)"
  exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

echo "== building the package"
if ! (cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1); then
  cat "$work/cpack.log"
  echo "FAIL: cpack could not build the package"
  exit 1
fi
deb=$(ls "$work"/out/quillpost_"$version"_*.deb 2>/dev/null | head -n 1)
if [ -z "$deb" ]; then
  echo "FAIL: no quillpost_${version}_*.deb in the CPack output"
  exit 1
fi

echo "== lintian $(basename "$deb")"
# Errors and warnings both count; of the information tags, those for the
# hardening flags and for data that belongs under /usr/share.
lintian --display-info --tag-display-limit 0 --fail-on error,warning "$deb" >"$work/lintian.log" 2>&1
status=$?
cat "$work/lintian.log"
if [ "$status" -ne 0 ] || grep -q '^[EW]: ' "$work/lintian.log"; then
  fail "lintian reports errors or warnings (exit status $status)"
fi
if grep -E '^I: [^ ]+ (hardening-|image-file-in-usr-lib|package-contains-documentation)' "$work/lintian.log"; then
  fail "lintian's information tags above: hardening flags or data placement"
fi

root=$work/root
dpkg-deb -x "$deb" "$root"

echo "== dependencies, AppStream metainfo, shared data"
depends=$(dpkg-deb -f "$deb" Depends)
grep -qw ca-certificates <<<"$depends" || fail "Depends lacks ca-certificates (TLS cannot verify servers): $depends"
metainfo=$(ls "$root"/usr/share/metainfo/*.metainfo.xml 2>/dev/null | head -n 1)
if [ -z "$metainfo" ]; then
  fail "no AppStream metainfo in /usr/share/metainfo"
else
  appstreamcli validate --no-net "$metainfo" || fail "appstreamcli rejects $(basename "$metainfo")"
  for want in '<p xml:lang="ja">' '<screenshot ' '<content_rating ' '>quillpost.desktop<'; do
    grep -qF "$want" "$metainfo" || fail "the metainfo lacks $want"
  done
fi
# The executable finds its tune, pictures and page beside it, stored once
# under /usr/share.
for item in Sound/Kouka.mid 画像データ/TanabataMove.gif help/index.html; do
  { [ -f "$root/usr/share/quillpost/$item" ] && [ "$(readlink -f "$root/usr/lib/quillpost/$item")" \
      = "$(readlink -f "$root/usr/share/quillpost/$item")" ]; } || fail "$item: not in /usr/share/quillpost, reached from /usr/lib/quillpost"
done

echo "== manual pages"
# lintian already reports groff's warnings; here the pages must also say
# what a reader looks them up for.
for page in usr/share/man/man1/quillpost.1.gz usr/share/man/ja/man1/quillpost.1.gz; do
  if [ ! -f "$root/$page" ]; then
    fail "$page is not in the package"
    continue
  fi
  text=$(LC_ALL=C.UTF-8 MANWIDTH=80 man -E UTF-8 -l "$root/$page" 2>/dev/null)
  for word in '★MailData' 'ferrule.ini' 'XDG_DATA_HOME' 'pop3s://' '--version'; do
    # A here-string, not a pipe: under pipefail, grep -q leaving early would
    # fail the writer with SIGPIPE now and then.
    grep -qF -- "$word" <<<"$text" || fail "$page does not render '$word'"
  done
done

echo "== command line through the installed launcher"
# No display and an empty home: an answer that opened a window or prepared
# the user's program folder would fail or leave files behind.
mkdir -p "$work/home" "$work/cwd"
run() { # run OUT ERR ARGS... -> exit status
  local out=$1 err=$2
  shift 2
  (cd "$work/cwd" && env -i PATH="$PATH" HOME="$work/home" XDG_DATA_HOME="$work/data" \
      LANG="${run_lang:-C.UTF-8}" "$root/usr/bin/quillpost" "$@" >"$out" 2>"$err")
}

run "$work/o" "$work/e" --help; status=$?
{ [ "$status" -eq 0 ] && grep -q -- '--version' "$work/o" && [ ! -s "$work/e" ]; } \
  || fail "--help: exit status $status, output: $(cat "$work/o" "$work/e")"
run "$work/o" "$work/e" -v; status=$?
{ [ "$status" -eq 0 ] && head -n 1 "$work/o" | grep -qx "quillpost $version"; } \
  || fail "-v: exit status $status, output: $(cat "$work/o" "$work/e")"
run_lang=ja_JP.UTF-8 run "$work/o" "$work/e" -h; status=$?
{ [ "$status" -eq 0 ] && grep -q '使い方' "$work/o"; } \
  || fail "-h in a Japanese locale: exit status $status, output: $(cat "$work/o" "$work/e")"
for wrong in --no-such-option -x stray; do
  run "$work/o" "$work/e" "$wrong"; status=$?
  { [ "$status" -eq 2 ] && [ ! -s "$work/o" ] && grep -qF -- "$wrong" "$work/e" \
      && [ "$(wc -l <"$work/e")" -le 3 ]; } \
    || fail "$wrong: want exit status 2 and a short error, got $status: $(cat "$work/o" "$work/e")"
done
leftovers=$(find "$work/home" "$work/cwd" "$work/data" -mindepth 1 2>/dev/null)
[ -z "$leftovers" ] || fail "answering the command line left files behind: $leftovers"

echo "== maintainer scripts, Depends"
control_files=$(dpkg-deb --ctrl-tarfile "$deb" | tar -t)
for script in preinst postinst postrm; do
  grep -qx "./$script" <<<"$control_files" || fail "the package has no $script"
done
grep -qw qt6-translations-l10n <<<"$depends" || fail "Depends lacks qt6-translations-l10n (Qt's own texts in Japanese): $depends"

# 1.0 had Sound/, 画像データ/ and help/ as folders beside the executable,
# where this release has links into share/quillpost.
as_one_zero() { # TREE: turns an installed tree of this release into 1.0's layout
  local item
  for item in Sound 画像データ help; do
    rm "$1/lib/quillpost/$item" && cp -r "$1/share/quillpost/$item" "$1/lib/quillpost/$item" || return 1
  done
}
same_tree() { # FROM TO: every path under FROM is under TO with its type, target or bytes
  local type path
  while IFS=' ' read -r type path; do
    case $type in
      d) [ -d "$2/$path" ] && [ ! -L "$2/$path" ] || fail "$path: not a folder in $2" ;;
      l) [ "$(readlink "$2/$path")" = "$(readlink "$1/$path")" ] && [ -e "$2/$path" ] \
           || fail "$path: not a working link to $(readlink "$1/$path") in $2" ;;
      f) cmp -s "$1/$path" "$2/$path" || fail "$path: missing or different in $2" ;;
    esac
  done < <(find "$1" -mindepth 1 -printf '%y %P\n')
}

echo "== the package step without dpkg-shlibdeps"
# Hidden in a mount namespace of its own; the package must not be made.
shlibdeps=$(command -v dpkg-shlibdeps)
if unshare -m true 2>/dev/null; then
  if unshare -m bash -c 'mount --bind /dev/null "$1" && cd "$2" && cpack -G DEB -B "$3"' _ \
      "$shlibdeps" "$build" "$work/noshlib" >"$work/noshlib.log" 2>&1 || ls "$work"/noshlib/*.deb >/dev/null 2>&1; then
    fail "without dpkg-shlibdeps the package step went on: $(tail -n 3 "$work/noshlib.log")"
  fi
fi

echo "== cmake --install over a prefix of 1.0"
if cmake --install "$build" --prefix "$work/prefix" >"$work/install.log" 2>&1 && cp -a "$work/prefix" "$work/fresh" \
    && as_one_zero "$work/prefix" && cmake --install "$build" --prefix "$work/prefix" >"$work/install.log" 2>&1; then
  same_tree "$work/fresh" "$work/prefix"
else
  cat "$work/install.log"
  fail "cmake --install over an install of 1.0 failed"
fi

echo "== upgrade from the 1.0 package"
skipped=""
if [ "$(id -u)" -ne 0 ] || ! command -v apt-get >/dev/null; then
  skipped="installing packages needs root and apt-get"
elif dpkg-query -W -f='${Status}' quillpost 2>/dev/null | grep -q 'ok installed'; then
  skipped="quillpost is installed on this machine, and the upgrade test would replace it"
else
  old=$work/old
  cp -a "$root" "$old" && as_one_zero "$old/usr" && mkdir "$old/DEBIAN" \
    && dpkg-deb -f "$deb" | sed 's/^Version: .*/Version: 1.0/' >"$old/DEBIAN/control" \
    && dpkg-deb --root-owner-group -b "$old" "$work/quillpost_1.0.deb" >/dev/null \
    || fail "could not make the 1.0 package"
  apt() { DEBIAN_FRONTEND=noninteractive apt-get -y -q --no-install-recommends -o DPkg::Lock::Timeout=300 "$@" \
            >>"$work/apt.log" 2>&1; }
  trap 'apt purge quillpost; rm -rf "$work"' EXIT
  if apt install "$work/quillpost_1.0.deb" && [ -f /usr/lib/quillpost/Sound/Kouka.mid ] \
      && [ ! -L /usr/lib/quillpost/Sound ]; then
    apt install "$deb" || { cat "$work/apt.log"; fail "upgrading from 1.0 failed"; }
    same_tree "$root" ""
    leftovers=$(ls -d /usr/lib/quillpost/*.dpkg-* 2>/dev/null)
    [ -z "$leftovers" ] || fail "the upgrade left $leftovers"
    [ "$(dpkg-query -W -f='${Version}' quillpost)" = "$version" ] || fail "after the upgrade quillpost is not $version"
  else
    cat "$work/apt.log"
    fail "the 1.0 package did not install as 1.0 did"
  fi
  apt purge quillpost
  [ ! -e /usr/lib/quillpost ] || fail "purging left /usr/lib/quillpost: $(ls -A /usr/lib/quillpost)"
  trap 'rm -rf "$work"' EXIT
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
if [ -n "$skipped" ]; then
  echo "SKIP: the rest passed, but not the upgrade: $skipped"
  exit 77
fi
echo "package $(basename "$deb"): lintian clean, metainfo valid, manual pages and command line as expected, upgrades from 1.0"
