#!/bin/busybox sh
# /init of the test guest: runs quorvane-cli against the receiver emulator
# that the host has put behind the guest's second 16550 UART (/dev/ttyS1,
# which the tool's own map calls COM2), then against another one behind
# QEMU's USB serial adapter (/dev/ttyUSB0, the ftdi_sio driver), prints one
# "vm-result:" line per scenario on the console (ttyS0) and powers off.
#
# The third UART (ttyS2) carries the host's replies to "vm-sync:" lines:
# the guest asks for another receiver to be plugged in and waits for "go".
# shellcheck shell=ash
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc; mount -t sysfs sysfs /sys; mount -t devtmpfs devtmpfs /dev
mkdir -p /tmp /etc && cd /tmp || exit 1

cli=/bin/quorvane-cli
port=/dev/ttyS1
nobody=65534 # a user without privileges, for the exclusive open
printf 'root:x:0:0:root:/:/bin/sh\nnobody:x:%s:%s:nobody:/:/bin/sh\n' $nobody $nobody >/etc/passwd
printf 'root:x:0:\nnogroup:x:%s:\n' $nobody >/etc/group

result() { echo "vm-result: $*"; }
# NAME [OK-DETAIL [FAIL-DETAIL]]: the result from $why, the faults found ("; "-joined).
outcome() {
  if [ -z "$why" ]; then result "$1 ok${2:+ $2}"; else result "$1 FAIL ${why#; }${3:+ $3}"; fi
}
# Seconds since boot, to the hundredth.
now() { read -r up _ </proc/uptime && echo "$up"; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }'; }
# One line of a file, to quote it in a result.
first() { head -n 1 "$1" 2>/dev/null | tr -d '\r'; }
# Runs quorvane-cli on COM2 with a time-out far above any wait of its own.
tool() { timeout 120 "$cli" --port 2 "$@"; }
# Asks the host to plug another receiver into ttyS1 and waits for it.
plug() {
  echo "vm-sync: $1" && reply= && read -r -t 60 reply <&5
  [ "$reply" = go ] || { result "$1 FAIL no reply from the host"; return 1; }
}
# Runs a shell command as a user without privileges.
as_nobody() { su -s /bin/sh -c "$1" nobody; }
# True while some process holds the test port open.
port_held() {  # [DEVICE]: some process has DEVICE (default $port) open
  for fd in /proc/[0-9]*/fd/*; do [ "$(readlink "$fd" 2>/dev/null)" = "${1:-$port}" ] && return 0; done
  return 1
}

stty -F /dev/ttyS2 raw -echo clocal 115200
exec 5</dev/ttyS2
# Any user may open the port, so a refusal can only come from its being
# held, not from its permissions.
chmod 666 "$port"
echo "vm-boot: $(uname -r); $(grep -c '^ *[0-9]*: uart:16550' /proc/tty/driver/serial) UARTs"

# -- connect
why=
tool connect >connect.out 2>connect.err && grep -q 'connect ok!' connect.out || why="; $(first connect.err)"
outcome connect

# -- a whole read; the host compares the digest with the emulator's flash
start=$(now)
why=
tool read rom.bin >read.out 2>read.err || why="; $(first read.err)"
outcome read "size=$(wc -c <rom.bin) sha256=$(sha256sum rom.bin | cut -d' ' -f1) time=$(since "$start")s"
rm -f rom.bin

# -- an upgrade; the host compares what the emulator saved with the image
start=$(now)
why=
tool upgrade /data/upgrade.bin >upgrade.out 2>upgrade.err &&
  grep -q "Dont' power off during Saving Data" upgrade.out || why="; $(first upgrade.err)"
outcome upgrade "time=$(since "$start")s"

# -- verify, and meanwhile the exclusive open: another quorvane-cli (root,
# so only the lock can stop it) and a plain open by another user are refused
tool verify /data/upgrade.bin >verify.out 2>verify.err &
holder=$!
for _ in $(seq 100); do port_held && break || sleep 0.1; done
why=
if ! port_held; then
  why="the verify never held the port"
else
  tool connect >second.out 2>second.err && why="a second quorvane-cli was let in"
  grep -q 'open port2 error!' second.err || why="$why; second quorvane-cli: $(first second.err)"
  as_nobody "stty -F $port" >/dev/null 2>held.err && why="$why; uid $nobody opened the held port"
  grep -q 'Device or resource busy' held.err || why="$why; uid $nobody: $(first held.err)"
fi
wait $holder && grep -q '256/256 blocks identical' verify.out && result "verify ok" ||
  result "verify FAIL $(first verify.err) $(first verify.out)"
# Closed, the port is free for anyone again.
as_nobody "stty -F $port" >/dev/null 2>nobody.err || why="$why; uid $nobody refused after close: $(first nobody.err)"
tool connect >free.out 2>free.err || why="$why; connect after close: $(first free.err)"
outcome exclusive "second quorvane-cli: $(first second.err); uid $nobody: $(first held.err)"

# -- hardware flow control left on: the chardev gives the UART no CTS, so
# nothing goes out; the tool must fail in its own time and say why
# The driver lists the modem lines that are up (RTS|CTS|DTR|...) last.
line_state=$(sed -n 's/^1: //p' /proc/tty/driver/serial)
case $line_state in *CTS*) cts=high ;; *) cts=low ;; esac
stty -F "$port" crtscts
start=$(now)
# Each line of output with the time it came, and last the exit status.
{ tool connect; echo "exit $?"; } 2>&1 | while IFS= read -r line; do echo "$(since "$start") $line"; done >cts.out
stty -F "$port" -crtscts
message=$(grep -v ' exit [0-9]*$' cts.out | head -n 1 | cut -d' ' -f1)
elapsed=$(tail -n 1 cts.out | cut -d' ' -f1)
why=
[ "$cts" = low ] || why="CTS is not low on the line"
tail -n 1 cts.out | grep -q ' exit 0$' && why="$why; connect succeeded"
grep -qi 'flow control' cts.out || why="$why; no hint naming hardware flow control"
# The normal wait is about 2 s; a tool that sits out the driver's 30 s
# drain of unsent output at close has gone mute.
awk -v t="$elapsed" 'BEGIN { exit !(t < 20) }' || why="$why; ended only after ${elapsed}s"
times="ttyS1 $line_state, closing_wait $(cat /sys/class/tty/ttyS1/closing_wait 2>/dev/null); first output at ${message:-?}s, exit at ${elapsed}s"
outcome crtscts "$times" "($times; output: $(cut -d' ' -f2- cts.out | tr '\n' '|'))"

# -- the receiver vanishes mid-read: the read fails with the system's
# message and writes nothing; with a receiver back, the next job works
if plug vanish; then
  mkdir vanish
  why=
  tool read vanish/rom.bin >vanish.out 2>vanish.err && why="the read succeeded"
  grep -q 'no answer！' vanish.err || why="$why; message: $(first vanish.err)"
  [ -z "$(ls -A vanish)" ] || why="$why; left behind: $(ls -A vanish | tr '\n' ' ')"
  if plug restore; then tool connect >next.out 2>next.err || why="$why; next job: $(first next.err)"
  else why="$why; no receiver for the next job"; fi
  outcome vanish
fi

# -- a port left at ixon ixoff by another program, and a receiver whose flash
# is full of XON and XOFF (0x11, 0x13): read byte for byte, settings put back
if plug xonxoff; then
  stty -F "$port" ixon ixoff
  start=$(now) why=
  tool read xonxoff.bin >xonxoff.out 2>xonxoff.err || why="; $(first xonxoff.err)"
  stty -F "$port" -a | grep -q -- ' ixon ixoff' || why="$why; ixon ixoff not put back"
  stty -F "$port" -ixon -ixoff
  outcome xonxoff "size=$(wc -c <xonxoff.bin) sha256=$(sha256sum xonxoff.bin | cut -d' ' -f1) time=$(since "$start")s"
  rm -f xonxoff.bin
  plug back || true
fi

# -- USB: QEMU's usb-serial (an FT232, 0403:6001) on UHCI, through ftdi_sio
usb=/dev/ttyUSB0
latency=/sys/bus/usb-serial/devices/ttyUSB0/latency_timer
usb_wait() { # present|gone: up to 5 s
  for _ in $(seq 500); do
    { [ -e $usb ] && [ "$1" = present ]; } || { [ ! -e $usb ] && [ "$1" = gone ]; } && return 0 || sleep 0.01
  done && return 1
}
usbtool() { timeout 120 "$cli" --device "$usb" "$@"; }
for m in usb-common usbcore uhci-hcd usbserial ftdi_sio; do insmod /lib/usb/$m.ko; done
export HOME=/tmp # the COM map file: /tmp/.config/quorvane/ports.conf

why= # connect as COM3 through the map file; the line settings as before, afterwards
usb_wait present || why="; no $usb"
"$cli" map 3 "$usb" >map.out 2>&1 || why="$why; map: $(first map.out)"
settings=$(stty -F "$usb" -g)
timeout 120 "$cli" --port 3 connect >uc.out 2>uc.err && grep -q 'connect ok!' uc.out || why="$why; $(first uc.err)"
[ "$(stty -F "$usb" -g)" = "$settings" ] || why="$why; line settings not restored"
outcome usb-connect "$("$cli" map | grep COM3 | tr -s ' ')"

before=$(cat $latency) seen= start=$(now) why= # a read, watching the latency timer
usbtool read rom.bin >ur.out 2>ur.err &
job=$!
while kill -0 $job 2>/dev/null; do seen="$seen $(cat $latency)"; sleep 0.05; done
wait $job || why="; $(first ur.err)"
outcome usb-read "size=$(wc -c <rom.bin) sha256=$(sha256sum rom.bin | cut -d' ' -f1) time=$(since "$start")s"
after=$(cat $latency) why=
case "$seen " in *" 1 "*) ;; *) why="never 1 during the read" ;; esac
[ "$after" = "$before" ] || why="$why; $after after the read, $before before"
outcome usb-latency "latency_timer $before before, $(echo "$seen" | tr ' ' '\n' | sort -u | tr '\n' ' ')during, $after after"

start=$(now) why=
usbtool upgrade /data/upgrade.bin >uu.out 2>uu.err && grep -q "Dont' power off" uu.out || why="; $(first uu.err)"
outcome usb-upgrade "time=$(since "$start")s"

# doctor as an ordinary user (tech, in dialout) on the adapter, in each
# state; its output goes to the console for the host ("vm-doctor:")
printf 'tech:x:1000:1000:tech:/tmp:/bin/sh\n' >>/etc/passwd
printf 'dialout:x:20:tech\ntech:x:1000:\n' >>/etc/group
# doctor_state NAME STATUS TEXT...: doctor's exit status and the texts it must print
doctor_state() {
  name=$1 want=$2 why=
  shift 2
  su -s /bin/sh -c "$cli --device $usb doctor" tech >"doctor-$name.out" 2>&1
  status=$?
  sed "s/^/vm-doctor: $name: /" "doctor-$name.out"
  [ $status = "$want" ] || why="; exit status $status"
  for text in "$@"; do grep -qF -- "$text" "doctor-$name.out" || why="$why; no \"$text\""; done
  [ "$want" = 1 ] || ! grep -qF '[FAIL]' "doctor-$name.out" || why="$why; $(grep -F '[FAIL]' "doctor-$name.out" | head -n 1)"
  outcome "usb-doctor-$name" "exit $status"
}
chown root:dialout $usb && chmod 660 $usb
doctor_state normal 0 "nothing stands in the way" "[ ok ] access: this user may open it now as a member of dialout"
chown root:root $usb && chmod 600 $usb
doctor_state denied 1 "[FAIL] access: this user may not open it (open: Permission denied): owner root, group root, mode 0600" "so no group may use it"
chown root:dialout $usb && chmod 660 $usb
# A process of root's with the adapter as its terminal.
setsid sh -c "exec sleep 60 <$usb" &
holder=$!
for _ in $(seq 50); do [ "$(readlink /proc/$holder/fd/0)" = $usb ] && break || sleep 0.1; done
doctor_state held 1 "[FAIL] holders: sleep (pid $holder) has it as its terminal"
kill $holder && wait $holder
stty -F $usb parenb
doctor_state parenb 1 "[FAIL] line: 9600 8E1" "fix: stty -F $usb -parenb -cstopb -crtscts"
stty -F $usb -parenb ixon ixoff
doctor_state ixon 0 "[note] line: software flow control (XON/XOFF)" "ixon ixoff"
# Through that port a read, byte for byte (the flash's random bytes hold
# some 8000 XON and XOFF), and the settings put back.
start=$(now) why=
usbtool read xon.bin >xon.out 2>xon.err || why="; $(first xon.err)"
stty -F $usb -a | grep -q -- ' ixon ixoff' || why="$why; ixon ixoff not put back: $(stty -F $usb -a | tr '\n' ' ')"
outcome usb-xonxoff "size=$(wc -c <xon.bin) sha256=$(sha256sum xon.bin | cut -d' ' -f1) time=$(since "$start")s"
stty -F $usb -ixon -ixoff
rm -f xon.bin

# udev's own test of the package's rule on the adapter's sysfs device
why=
if [ -x /bin/udevadm ]; then
  mkdir -p /run/udev
  udevadm test /sys/class/tty/ttyUSB0 >udev.out 2>&1
  grep -q 'TAGS=.*:uaccess:' udev.out || why="; no uaccess tag"
  grep -q '^ID_MM_DEVICE_IGNORE=1' udev.out || why="$why; no ID_MM_DEVICE_IGNORE=1"
  [ -z "$why" ] || why="$why: $(grep -E 'quorvane|TAGS|ID_MM|rror' udev.out | head -n 5 | tr '\n' '|')"
  outcome usb-udev "$(grep -E '^(CURRENT_)?TAGS=|^ID_MM_DEVICE_IGNORE=' udev.out | tr '\n' ' ')"
else
  result "usb-udev FAIL no udevadm in the guest"
fi

# pulled out mid-read (from an adapter swapped in whose receiver goes quiet
# after block 30: QEMU 7.2 may crash removing a device data flows through):
# noticed within 1 s, exit 1, named as disconnected, no file
plug pull && usb_wait gone && plug stall && usb_wait present
mkdir unplug
usbtool read unplug/rom.bin >unplug.out 2>unplug.err &
job=$!
# Pulled once the read has the adapter open, not after a guessed while.
for _ in $(seq 100); do port_held $usb && break || sleep 0.1; done
port_held $usb && why= || why="; the read never opened $usb"
echo "vm-sync: unplug"
usb_wait gone || why="; $usb never went"
gone=$(now)
wait $job
status=$? noticed=$(since "$gone")
read -r -t 60 reply <&5
[ $status -eq 1 ] || why="$why; exit status $status"
grep -q 'no answer！' unplug.err && grep -q "^$usb: disconnected" unplug.err || why="$why; told: $(tr '\n' '|' <unplug.err)"
[ -z "$(ls -A unplug)" ] || why="$why; left behind: $(ls -A unplug)"
awk -v t="$noticed" 'BEGIN { exit !(t < 1) }' || why="$why; noticed only after ${noticed}s"
outcome usb-unplug "exit $status ${noticed}s after the device went; $(sed -n 2p unplug.err)"

if plug replug; then # plugged in again: a job works, and `ports` names the adapter
  why=
  usb_wait present && usbtool connect >ur2.out 2>ur2.err || why="; $(first ur2.err)"
  outcome usb-replug
  line=$("$cli" ports 2>&1 | grep "^  $usb " | tr -s ' ')
  why=
  case $line in *"USB 0403:6001"*) ;; *) why="no USB identity: $line" ;; esac
  outcome usb-ports "$line"

fi

echo "vm-done"
sync
poweroff -f
