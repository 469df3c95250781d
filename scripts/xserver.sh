# A virtual X server of its own, with openbox's frames when it is installed,
# for the scripts that show a window to take its pictures. Sourced; it sets
# DISPLAY, tmp (a folder removed at the end), and the helpers fail, running,
# alive and read_ready. The caller sets limit and deadline first, and app to
# the pid of its program once started (alive then checks it too).
tmp=$(mktemp -d)
xvfb="" wm="" app=""
cleanup() {
    for p in $app $wm $xvfb; do kill "$p" 2>/dev/null || true; done
    for p in $app $wm $xvfb; do wait "$p" 2>/dev/null || true; done
    rm -rf "$tmp"
}
trap cleanup EXIT

# To standard error: a helper whose output is captured ($(await ...)) must
# not swallow the reason.
fail() {
    {
        echo "$(basename "$0"): $*"
        for log in program.err wm.log xvfb.log; do
            if [ -s "$tmp/$log" ]; then
                echo "---- $log"
                cat "$tmp/$log"
            fi
        done
    } >&2
    exit 1
}
# A process that has ended but not been waited for still answers kill -0.
running() {
    local stat
    stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
    stat=${stat##*) }
    [ "${stat%% *}" != Z ]
}
alive() {
    running "$xvfb" || fail "the X server died"
    [ -z "$wm" ] || running "$wm" || fail "the window manager died"
    [ -z "$app" ] || running "$app" || fail "the program ended early"
    [ "$SECONDS" -lt "$deadline" ] || fail "gave up after ${limit}s"
}
# Reads one line from the pipe into $line, checking every second that
# everything is still alive.
read_ready() {
    local fd=$1
    line=""
    until read -r -t 1 -u "$fd" line; do alive; done
}

# The server writes the display it chose into the pipe once it accepts
# connections. The pipe is opened for reading and writing so that neither
# side blocks on opening it.
mkfifo "$tmp/ready"
exec {ready}<>"$tmp/ready"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$tmp/ready" >"$tmp/xvfb.log" 2>&1 &
xvfb=$!
read_ready "$ready"
export DISPLAY=":$line"
unset WAYLAND_DISPLAY
export QT_QPA_PLATFORM=xcb
export XDG_RUNTIME_DIR="$tmp/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR"
export DBUS_SESSION_BUS_ADDRESS=disabled:
export LSAN_OPTIONS="suppressions=$here/lsan-suppressions.txt${LSAN_OPTIONS:+:$LSAN_OPTIONS}"

if command -v openbox >/dev/null; then
    HOME="$tmp" openbox --sm-disable --startup "sh -c 'echo up >$tmp/ready'" >"$tmp/wm.log" 2>&1 &
    wm=$!
    read_ready "$ready"
    export QW_WINDOW_MANAGER=openbox
fi

