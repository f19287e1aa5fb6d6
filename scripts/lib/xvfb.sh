# Sourced: start_xvfb DIR starts Xvfb on a free display, waits until it answers, exports
# DISPLAY and sets xvfb_pid. DIR receives the display number.
start_xvfb() {
    # -noreset: the server does not reset when its last client goes, so a program started just
    # then is not refused.
    Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp -noreset 3>"$1/display" >/dev/null 2>&1 &
    xvfb_pid=$!
    for _ in $(seq 100); do
        [ -s "$1/display" ] && break
        sleep 0.1
    done
    export DISPLAY=:$(cat "$1/display")
    for _ in $(seq 50); do
        xdotool getdisplaygeometry >/dev/null 2>&1 && break
        sleep 0.1
    done
}
