#!/usr/bin/env bash
# Installs the build into a fresh prefix and uses it as a new user would:
# nothing registered by hand, no variable set, an empty home. Checks the
# desktop files with the desktop's own validators, the manual pages against
# the programs' --help, and the registry's scopes.
set -uo pipefail
cmake=$1
build=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/installed.XXXXXX")
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"
prefix=$work/prefix
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
# Nothing from the caller's environment but the search path.
clean() { env -i PATH=/usr/bin:/bin HOME="$work/home" LC_ALL=C.UTF-8 "$@"; }
mkdir -p "$work/home"

"$cmake" --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 || {
    cat "$work/install.log" >&2
    fail "cmake --install"
    exit 1
}
echo "== installed tree"
(cd "$prefix" && find . -type f -o -type l | sort)
for f in bin/kovelplayer bin/zmr bin/kovel-send bin/kovel-graph bin/kovel-regsvr \
    lib/kovel/libzmreader.so lib/kovel/libstubcast.so share/kovel/registry.db \
    share/applications/org.kovel.KovelPlayer.desktop share/mime/packages/kovel-zmr.xml \
    share/icons/hicolor/scalable/apps/org.kovel.KovelPlayer.svg share/metainfo/org.kovel.KovelPlayer.metainfo.xml; do
    [ -e "$prefix/$f" ] || fail "not installed: $f"
done

echo "== desktop-file-validate"
desktop-file-validate "$prefix/share/applications/org.kovel.KovelPlayer.desktop" || fail "desktop entry"
echo "== appstreamcli validate --no-net"
appstreamcli validate --no-net "$prefix/share/metainfo/org.kovel.KovelPlayer.metainfo.xml" || fail "AppStream metadata"

echo "== a lesson made and played with the installed programs"
lesson=$work/lesson.zmr
clean "$prefix/bin/zmr" create "$lesson" --pattern --tone --duration 3 --chapter 0=开始 --chapter 2=总结 \
    >/dev/null || fail "zmr create"
clean "$prefix/bin/kovelplayer" --headless "$lesson" --seconds 3 >"$work/play.out" 2>"$work/play.err" ||
    fail "kovelplayer --headless: $(cat "$work/play.err")"
grep -q '^position: 00:00:0[123]' "$work/play.out" || fail "no position printed: $(cat "$work/play.out")"
grep -q '^ALSA lib' "$work/play.err" && fail "the sound library's lines reach stderr: $(cat "$work/play.err")"
[ "$(grep -c 'null output' "$work/play.err")" -le 1 ] || fail "the null output is said more than once"
cat "$work/play.err"

samples() { "$@" "$prefix/bin/zmr" samples "$lesson" 2>"$work/samples.err" | grep -c '"event":"sample"'; }
[ "$(samples clean)" -gt 10 ] || fail "zmr samples with the system store: $(cat "$work/samples.err")"
# The build's own programs use the build's registry, with no variable either.
[ "$(clean "$build/bin/zmr" samples "$lesson" 2>&1 | grep -c '"event":"sample"')" -gt 10 ] ||
    fail "zmr samples from the build tree"
if [ "$(id -u)" = 0 ] && command -v setpriv >/dev/null; then
    # Another user reads the store without being able to write to it.
    [ "$(samples clean setpriv --reuid=65534 --regid=65534 --clear-groups env HOME=/nonexistent)" -gt 10 ] ||
        fail "zmr samples as another user: $(cat "$work/samples.err")"
fi

echo "== the user's registrations are read before the system's"
# A copy of the user's own, beside the installed one so that it finds the same libraries.
mine=$prefix/lib/mine
mkdir -p "$mine"
cp "$prefix/lib/kovel/libzmreader.so" "$mine/"
clean "$prefix/bin/kovel-regsvr" "$mine/libzmreader.so" >"$work/regsvr.out" 2>&1
grep -q "store: $work/home/.local/share/kovel/registry.db" "$work/regsvr.out" ||
    fail "kovel-regsvr writes the user's store: $(cat "$work/regsvr.out")"
mv "$mine/libzmreader.so" "$mine/gone.so"
[ "$(samples clean)" = 0 ] || fail "the user's (broken) registration did not come first"
mv "$mine/gone.so" "$mine/libzmreader.so"
clean "$prefix/bin/kovel-regsvr" -u "$mine/libzmreader.so" >/dev/null || fail "kovel-regsvr -u"
rm -r "$mine"
[ "$(samples clean)" -gt 10 ] || fail "the system registration after the user's went: $(cat "$work/samples.err")"

echo "== system stores in \$XDG_DATA_DIRS; \$KOVEL_REGISTRY overrides"
mkdir -p "$work/xdg/kovel"
mv "$prefix/share/kovel/registry.db" "$work/xdg/kovel/"
[ "$(samples clean)" = 0 ] || fail "still registered without the installation's store"
[ "$(samples clean env XDG_DATA_DIRS="$work/nothing:$work/xdg")" -gt 10 ] || fail "store not found through XDG_DATA_DIRS"
[ "$(samples clean env XDG_DATA_DIRS="$work/xdg" KOVEL_REGISTRY="$work/empty.db")" = 0 ] ||
    fail "KOVEL_REGISTRY is not the only store"
mv "$work/xdg/kovel/registry.db" "$prefix/share/kovel/"

echo "== the lesson type, by name and by content"
update-mime-database "$prefix/share/mime" >/dev/null 2>&1 || fail "update-mime-database"
cp "$lesson" "$work/lesson-without-extension"
head -c 4096 /dev/urandom >"$work/noise.zmr"
head -c 4096 /dev/urandom >"$work/noise"
for f in lesson.zmr lesson-without-extension noise.zmr noise; do
    type=$(clean env XDG_DATA_DIRS="$prefix/share" XDG_DATA_HOME="$work/home" xdg-mime query filetype "$work/$f")
    echo "$f: $type"
    case $f in
    noise) [ "$type" != application/x-zmr ] || fail "$f taken for a lesson" ;;
    *) [ "$type" = application/x-zmr ] || fail "$f is $type" ;;
    esac
done

echo "== --help, --version, unknown options; the manual pages"
options() { grep -oE -- '(^|[^[:alnum:]-])--?[a-z][a-z-]*' | sed 's/^[^-]*//' | sort -u; }
for program in kovelplayer zmr kovel-send kovel-graph kovel-regsvr; do
    exe=$prefix/bin/$program
    for display in "" "DISPLAY=:99"; do
        out=$(clean env $display "$exe" --version 2>&1) && [ "$out" = "$program 1.0.0" ] ||
            fail "$program --version ${display:-without a display}: $out"
        clean env $display "$exe" --help >"$work/help" 2>&1 && grep -q '^usage:' "$work/help" ||
            fail "$program --help ${display:-without a display}: $(cat "$work/help")"
    done
    clean "$exe" --no-such-option >/dev/null 2>"$work/err"
    status=$?
    [ $status = 2 ] && grep -q 'usage:' "$work/err" || fail "$program --no-such-option: status $status: $(cat "$work/err")"

    page=$prefix/share/man/man1/$program.1
    clean env MANWIDTH=200 man --warnings -l "$page" >"$work/page" 2>"$work/warnings" || fail "man $program"
    [ -s "$work/warnings" ] && fail "man $program: $(cat "$work/warnings")"
    {
        clean "$exe" --help
        if [ $program = zmr ]; then
            clean "$exe" create --help
            clean "$exe" export --help
        fi
    } | options >"$work/help-options"
    options <"$work/page" >"$work/page-options"
    missing=$(comm -23 "$work/help-options" "$work/page-options" | tr '\n' ' ')
    extra=$(comm -13 "$work/help-options" "$work/page-options" | tr '\n' ' ')
    [ -z "$missing" ] || fail "$program.1 lacks what --help shows: $missing"
    [ -z "$extra" ] || fail "$program.1 shows what --help lacks: $extra"
done
clean "$prefix/bin/kovelplayer" "$lesson" >/dev/null 2>"$work/err"
status=$?
[ $status = 1 ] && [ "$(wc -l <"$work/err")" = 1 ] || fail "the player without a display: status $status: $(cat "$work/err")"
cat "$work/err"

echo "== $failures failures"
[ $failures = 0 ]
