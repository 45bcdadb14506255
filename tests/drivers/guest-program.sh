#!/bin/sh
# SPDX-License-Identifier: MIT
# The whole program in the test guest (run_guest.py --program), run by guest-init.sh in a chroot of
# the host's /usr, shared read-only: the real qm47t-converter ($1) on Xvfb, with /dev/COM1 leading
# to the guest's 8250 (ttyS1). Types 汉字, clicks the convert button, looks at the port while the
# program holds it, clicks Exit. Lines for run_guest.py start with "@@".

program=$1
say() { echo "@@program $*"; }
at() { echo "@@at $(cut -d' ' -f1 /proc/uptime) program $*"; }
export HOME=/tmp XDG_RUNTIME_DIR=/tmp/runtime LANG=C.UTF-8 DISPLAY=:1
mkdir -m 700 /tmp/runtime

# Where the controls sit in the window's client area; the centres are what a user clicks.
TEXT1_CENTRE="319 57"
COMMAND1_CENTRE="224 296"
COMMAND2_CENTRE="481 295"

# Waits up to $1 seconds of the guest's time for the rest of the line to succeed. TCG is slow and
# uneven, so the limits are generous: they only keep a broken run from hanging.
wait_for() {
    limit=$(($(cut -d. -f1 /proc/uptime) + $1))
    shift
    until "$@"; do
        [ "$(cut -d. -f1 /proc/uptime)" -ge $limit ] && return 1
        sleep 0.2
    done
}
# Bytes the guest's ttyS1 has sent since boot, guestprobe's included.
transmitted() { sed -n 's/^1:.* tx:\([0-9]*\).*/\1/p' /proc/tty/driver/serial; }
has_sent() { [ "$(transmitted)" -ge $(($1 + 4)) ]; }
ended() { ! kill -0 "$1" 2>/dev/null; }

# -noreset: the server would otherwise reset, keymap included, whenever its last client leaves.
Xvfb :1 -screen 0 1024x768x24 -nolisten tcp -noreset >/tmp/xvfb.log 2>&1 &
xvfb=$!
wait_for 120 test -S /tmp/.X11-unix/X1
at xvfb
# xdotool would lend each Chinese character a keycode only for its own keystroke and take it back
# straight after; Qt may look the key up after that and drop the character. Bind them for good.
# (sed, not awk: awk is an alternative, whose link lives in the host's /etc, not shared here)
set -- $(xmodmap -pke | sed -n 's/^keycode *\([0-9]*\) =$/\1/p')
xmodmap -e "keycode $1 = U6C49" -e "keycode $2 = U5B57"

before=$(transmitted)
QT_QPA_PLATFORM=xcb "$program" >/tmp/program.log 2>&1 &
pid=$!
window=$(timeout 300 xdotool search --sync --onlyvisible --name 'QM47T' | head -n 1)
say "window ${window:-none}"
at window
if [ -n "$window" ]; then
    xdotool mousemove --window "$window" $TEXT1_CENTRE click 1
    xdotool type '汉字'
    xdotool mousemove --window "$window" $COMMAND1_CENTRE click 1
    at clicked
    wait_for 120 has_sent "$before"
    # The kernel's own view of the held port, read without opening it (an open would raise RTS).
    say "held $(grep '^1:' /proc/tty/driver/serial)"
    say "locks $(cd /run/lock && echo LCK..*)"
    at sent
    xdotool mousemove --window "$window" $COMMAND2_CENTRE click 1
fi
if ! wait_for 120 ended "$pid"; then
    say "still running"
    kill -9 "$pid"
fi
wait "$pid"
say "exit $?"
at exited
say "released $(grep '^1:' /proc/tty/driver/serial)"
sed 's/^/@@program log /' /tmp/program.log

kill "$xvfb"
wait "$xvfb"
