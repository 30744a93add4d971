#!/usr/bin/env bash
# The real player on a real X server with a window manager, used as a person
# uses it: clicks and keys go through the X server to the controls' places on
# the screen, and every check looks from outside (window geometry, screen
# pixels, the process). Screenshots of each step stay in the work folder.
#
# desktop_test.sh KOVELPLAYER ZMR KOVEL_SEND
set -uo pipefail

player=$1 zmr=$2 send=$3
work=${TMPDIR:-/tmp}/desktop-test
rm -rf "$work"
shots=$work/shots
mkdir -p "$shots" "$work/data"
pids=()
failures=0

cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
    wait 2>/dev/null
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
step() { echo "--- $*"; }

# A free display of our own: the X server picks the number, unless
# $XVFB_DISPLAY names one (on a machine where displays are handed out).
Xvfb ${XVFB_DISPLAY:-} -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.05; done
[ -s "$work/display" ] || { echo "Xvfb did not start" >&2; exit 1; }
export DISPLAY=:$(cat "$work/display")

openbox --sm-disable >"$work/openbox.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q window && break; sleep 0.05; done

"$zmr" create "$work/lesson.zmr" --pattern --tone --duration 5 --title "桌面测试" >/dev/null ||
    { echo "zmr create failed" >&2; exit 1; }

export QT_QPA_PLATFORM=xcb XDG_DATA_HOME=$work/data XDG_STATE_HOME=$work/state KOVEL_PLAYER_SOCKET=kovel-desktop-test-$$
export KOVEL_CONTROL_GEOMETRY=$work/controls
# No session bus here: nothing to start one on demand.
export DBUS_SESSION_BUS_ADDRESS=unix:path=$work/no-bus
"$player" >"$work/player.log" 2>&1 &
player_pid=$!
pids+=($player_pid)

timeout 20 xdotool search --sync --onlyvisible --name '^KovelPlayer$' >/dev/null ||
    { echo "the player's window did not appear" >&2; cat "$work/player.log" >&2; exit 1; }

n=0
shot() {
    n=$((n + 1))
    last_shot=$shots/$(printf %02d "$n")-$1.png
    import -window root "$last_shot"
}
# The window's client area on the screen: "x y width height". Looked up each
# time: full screen and back give the window a new X window.
window_geometry() {
    local window
    window=$(xdotool search --onlyvisible --name '^KovelPlayer$' | head -1)
    [ -n "$window" ] || return
    xwininfo -id "$window" |
        awk '/Absolute upper-left X/ {x=$4} /Absolute upper-left Y/ {y=$4} /Width:/ {w=$2} /Height:/ {h=$2}
             END {print x, y, w, h}'
}
# Control id -> "x y width height" in the window, as the player laid it out.
control() { awk -v id="$1" '$1 == id {print $2, $3, $4, $5}' "$KOVEL_CONTROL_GEOMETRY"; }
centre() {
    read -r wx wy _ _ <<<"$(window_geometry)"
    read -r x y w h <<<"$(control "$1")"
    echo $((wx + x + w / 2)) $((wy + y + h / 2))
}
click() {
    read -r cx cy <<<"$(centre "$1")"
    xdotool mousemove "$cx" "$cy" click "${2:-1}"
}
# A digest of what the last screenshot shows where control `id` is.
pixels() {
    read -r wx wy _ _ <<<"$(window_geometry)"
    read -r x y w h <<<"$(control "$1")"
    convert "$last_shot" -crop "${w}x${h}+$((wx + x))+$((wy + y))" +repage rgb:- | md5sum
}
alive() { kill -0 "$player_pid" 2>/dev/null; }
# Waits up to 3 s for the window to stand at "x y width height".
wait_geometry() {
    for _ in $(seq 60); do
        [ "$(window_geometry)" = "$1" ] && return 0
        sleep 0.05
    done
    return 1
}

POSITION_LABEL=1011 PLAY=1003 STOP=1002 VOLUME=1004 SCREEN_BOX=1006

step "the window before a lesson: the clock reads 00:00:00"
sleep 0.5
shot start
zero=$(pixels $POSITION_LABEL)

step "a lesson asked for by another program plays"
"$send" "$work/lesson.zmr" || fail "kovel-send did not get the lesson opened"
sleep 1.3
shot playing
[ "$(pixels $POSITION_LABEL)" != "$zero" ] || fail "the clock does not run"

step "play/pause stops the clock"
click $PLAY
sleep 0.6
shot paused
paused=$(pixels $POSITION_LABEL)
sleep 1.1
shot still-paused
[ "$(pixels $POSITION_LABEL)" = "$paused" ] || fail "the clock runs on after play/pause"

step "play/pause starts it again"
click $PLAY
sleep 1.2
shot resumed
[ "$(pixels $POSITION_LABEL)" != "$paused" ] || fail "the clock does not restart after play/pause"

step "stop rewinds to 00:00:00"
click $STOP
sleep 0.6
shot stopped
[ "$(pixels $POSITION_LABEL)" = "$zero" ] || fail "stop does not show 00:00:00"
click $PLAY

step "a click on the volume slider moves it"
shot volume-before
volume_before=$(pixels $VOLUME)
read -r wx wy _ _ <<<"$(window_geometry)"
read -r x y w h <<<"$(control $VOLUME)"
xdotool mousemove $((wx + x + 3)) $((wy + y + h / 2)) click 1
sleep 0.4
shot volume-after
[ "$(pixels $VOLUME)" != "$volume_before" ] || fail "the volume slider does not move"

step "full screen from the right-click menu covers the screen"
windowed=$(window_geometry)
click $SCREEN_BOX 3
sleep 0.4
shot menu
xdotool key Down Return
wait_geometry "0 0 1024 768" || fail "full screen covers $(window_geometry), not the screen"
sleep 0.5
shot full-screen
full_screen_shot=$last_shot
alive || fail "the player ended on entering full screen"

step "the lesson ends and starts again in full screen"
sleep 4
shot full-screen-looped
alive || fail "the player ended in full screen"
[ "$(window_geometry)" = "0 0 1024 768" ] || fail "full screen ended by itself"
cmp -s "$full_screen_shot" "$last_shot" && fail "the picture stands still in full screen"

step "Escape brings the window back"
xdotool key Escape
wait_geometry "$windowed" || fail "after Escape the window is at $(window_geometry), not $windowed"
sleep 0.5
shot windowed-again
alive || fail "the player ended on Escape"

step "SIGTERM ends the player within a second and leaves no working copy"
copies=$(find "$work/data" -name temp.xml | wc -l)
[ "$copies" -eq 1 ] || fail "$copies working copies while playing"
kill -TERM "$player_pid"
sent=$(date +%s%N)
while alive && [ $(($(date +%s%N) - sent)) -lt 1000000000 ]; do sleep 0.02; done
if alive; then
    fail "the player still runs 1 s after SIGTERM"
else
    wait "$player_pid"
    code=$?
    [ "$code" -eq 143 ] || fail "exit code $code after SIGTERM"
fi
[ "$(find "$work/data" -name temp.xml | wc -l)" -eq 0 ] || fail "the working copy is left behind"

echo "screenshots: $shots"
[ "$failures" -eq 0 ] || { echo "player output:" >&2; cat "$work/player.log" >&2; exit 1; }
echo "all steps passed"
