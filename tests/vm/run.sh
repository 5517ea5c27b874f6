#!/usr/bin/env bash
# The real-driver leg: quorvane-cli inside a QEMU guest talks through the
# guest kernel's 8250 driver (an emulated 16550 UART), then its ftdi_sio
# driver (QEMU's usb-serial on UHCI, unplugged over QMP), to quorvane-emu on
# the host. The guest's /init (guest-init.sh) runs the scenarios and prints
# one "vm-result:" line each; this script checks them against what the
# emulators logged and saved, and ends with "vm: N passed, M failed" and
# "usb: N passed, M failed".
#
#   tests/vm/run.sh [BUILD_DIR]
#
# BUILD_DIR: the build tree whose quorvane-cli (with the libraries ldd names)
# and quorvane-emu to use, else they are built in build-vm, where the kernel
# and the guest's files live (or VM_BUILD_DIR). It installs QEMU,
# busybox-static and cpio when missing and takes the kernel and its USB serial
# modules out of Debian's generic kernel package (cached). Where QEMU can't be
# set up or started it prints "vm: skipped (...)" and exits 0.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
tools=${1:+$(cd "$1" && pwd)}
build=${VM_BUILD_DIR:-$root/build-vm}
mkdir -p "$build"
work=$build/vm
# The guest's whole run, boot to power-off; about 1.5 minutes normally.
guest_limit=${VM_TIME_LIMIT:-300}
began=$SECONDS

skip() { echo "vm: skipped ($*)"; exit 0; }
if [[ $(id -u) -ne 0 ]]; then SUDO=sudo; else SUDO=; fi

# -- packages
missing=()
for p in qemu-system-x86 busybox-static cpio; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "vm: installing ${missing[*]}"
  { $SUDO apt-get update -qq &&
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends \
      "${missing[@]}"; } >"$build/apt.log" 2>&1 || skip "cannot install ${missing[*]}"
fi

# -- the kernel and the USB serial modules (plain .ko files, in load order)
modules=(usb-common usbcore uhci-hcd usbserial ftdi_sio)
kdir=$build/kernel-generic
kernel=$kdir/vmlinuz
if [[ ! -s $kernel || ! -s $kdir/ftdi_sio.ko ]]; then
  mkdir -p "$kdir"
  image_pkg() { apt-cache depends linux-image-amd64 2>/dev/null | awk '$1 == "Depends:" && $2 ~ /^linux-image-/ { print $2; exit }'; }
  pkg=$(image_pkg)
  [[ -n $pkg ]] || { $SUDO apt-get update -qq >/dev/null 2>&1 || true; pkg=$(image_pkg); }
  [[ -n $pkg ]] || skip "no Debian generic kernel package known to apt"
  if ! ls "$kdir/$pkg"_*.deb >/dev/null 2>&1; then
    echo "vm: fetching $pkg"
    (cd "$kdir" && rm -f ./*.deb && apt-get download "$pkg" >download.log 2>&1) ||
      skip "cannot download $pkg"
  fi
  deb=$(ls "$kdir/$pkg"_*.deb)
  members=('./boot/vmlinuz-*')
  for m in "${modules[@]}"; do members+=("*/$m.ko"); done
  (cd "$kdir" && rm -rf x && mkdir x &&
    dpkg-deb --fsys-tarfile "$deb" | tar -x -C x --wildcards "${members[@]}" &&
    mv x/boot/vmlinuz-* "$kernel" && find x -name '*.ko' -exec mv {} . \; && rm -rf x "$deb") ||
    skip "no vmlinuz or USB serial modules in $pkg"
fi

# -- udevadm, out of Debian's udev package (never installed), to test the
# package's udev rule on the emulated adapter in the guest
udevadm=$build/udev/bin/udevadm
if [[ ! -x $udevadm ]]; then
  mkdir -p "$build/udev"
  deb=$(ls /var/cache/apt/archives/udev_*.deb 2>/dev/null | head -n 1)
  [[ -n $deb ]] || deb=$(cd "$build/udev" && apt-get download udev >download.log 2>&1 && ls "$PWD"/udev_*.deb) || true
  [[ -n $deb ]] && dpkg-deb -x "$deb" "$build/udev" || echo "vm: no udevadm (the udev rule goes untested in the guest)"
fi

# -- the tools: those of BUILD_DIR, else a build of their own
if [[ -n $tools ]]; then
  cmake --build "$tools" --target quorvane-cli quorvane-emu -j2 >"$build/vm-build.log" 2>&1
else
  tools=$build
  cmake -S "$root" -B "$tools" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQUORVANE_UI=OFF -DQUORVANE_TESTS=OFF -DQUORVANE_WERROR=ON >"$build/vm-build.log" 2>&1 &&
    cmake --build "$tools" --target quorvane-cli quorvane-emu -j2 >>"$build/vm-build.log" 2>&1
fi || { tail -n 30 "$build/vm-build.log"; echo "vm: build failed"; exit 1; }
cli=$tools/tools/cli/quorvane-cli
emu=$tools/tools/emulator/quorvane-emu

# -- test data: two flashes of random bytes; the second goes into an image
# made here, which the host's quorvane-cli must find loadable
rm -rf "$work" && mkdir -p "$work/rootfs"/{bin,data,dev,proc,sys,tmp,lib/usb}
cd "$work"
tag=QX_RomFtaAMD1 # model 1: 256 blocks
head -c $((256 * 4096)) /dev/urandom >flash.raw
head -c $((256 * 4096)) /dev/urandom >upgrade.raw
# XON and XOFF (0x11, 0x13) all through, with CR and LF among them
head -c $((256 * 4096)) /dev/zero | tr '\0' '\021' | sed 's/\x11\x11\x11\x11/\x11\x13\r\n/g' >xonxoff.raw
{ printf %s "$tag" && cat xonxoff.raw; } >expected-xonxoff.bin
{ printf %s "$tag" && cat flash.raw; } >expected-read.bin
{ printf %s "$tag" && cat upgrade.raw; } >rootfs/data/upgrade.bin
"$cli" info rootfs/data/upgrade.bin >info.out || { cat info.out; echo "vm: the upgrade image does not load"; exit 1; }

# -- the guest's initramfs
cp "$(command -v busybox)" rootfs/bin/busybox
cp "$cli" rootfs/bin/quorvane-cli
{ ldd "$cli" || true; } | awk '$2 == "=>" && $3 ~ /^\// { print $3 } $1 ~ /^\// { print $1 }' |
  while read -r lib; do cp -L --parents "$lib" rootfs/; done
for m in "${modules[@]}"; do cp "$kdir/$m.ko" rootfs/lib/usb/; done
if [[ -x $udevadm ]]; then
  cp "$udevadm" rootfs/bin/udevadm
  ldd "$udevadm" | awk '$2 == "=>" && $3 ~ /^\// { print $3 } $1 ~ /^\// { print $1 }' |
    while read -r lib; do cp -L --parents "$lib" rootfs/; done
  mkdir -p rootfs/usr/lib/udev/rules.d
  cp "$root/packaging/udev/70-quorvane-serial.rules" rootfs/usr/lib/udev/rules.d/
fi
cp "$root/tests/vm/guest-init.sh" rootfs/init
chmod 755 rootfs/init
mknod -m 600 rootfs/dev/console c 5 1 2>/dev/null || true
(cd rootfs && find . | cpio -o -H newc --quiet | gzip -1) >initrd.gz

# -- emulators and QEMU
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; wait 2>/dev/null || true; }
trap cleanup EXIT
# start_emulator NAME OPTIONS...: starts one, sets $pty to its device
start_emulator() {
  local name=$1
  shift
  : >"$work/$name.out"
  "$emu" --model 1 --log "$work/$name.log" "$@" >"$work/$name.out" 2>>"$work/$name.log" &
  pids+=("$!")
  for _ in $(seq 100); do pty=$(head -n 1 "$work/$name.out") && [[ -n $pty ]] && return 0 || sleep 0.05; done
  echo "vm: emulator $name did not start" >&2
  exit 1
}
start_emulator emu-main --flash flash.raw --save saved.raw
pty_main=$pty
# Behind the USB adapter: 10 ms per block, so a read can be unplugged mid-way.
start_emulator emu-usb --flash flash.raw --save saved-usb.raw --turnaround 10
pty_usb=$pty

# The QMP monitor and the control line to the guest's ttyS2 are FIFOs that
# QEMU opens read-write; holding them read-write here too means neither
# side ever blocks in open.
mkfifo qmp.in qmp.out ctl
: >qmp.log
exec {qmp_in}<>qmp.in {qmp_out}<>qmp.out {ctl}<>ctl
cat <&"$qmp_out" >qmp.log &
pids+=("$!")
qmp_replies=0
# qmp COMMAND-JSON: sends it and waits for its reply
qmp() {
  echo "$1" >&"$qmp_in"
  qmp_replies=$((qmp_replies + 1))
  for _ in $(seq 200); do
    (($(grep -c '"return"' qmp.log) >= qmp_replies)) && return 0
    grep -q '"error"' qmp.log && break
    kill -0 "$qemu" 2>/dev/null || return 1 # its own log says why
    sleep 0.05
  done
  echo "vm: QEMU monitor: no reply to $1" >&2
  cat qmp.log >&2
  return 1
}
# plug PTY: puts another device behind the guest's ttyS1
plug() {
  qmp '{"execute":"chardev-change","arguments":{"id":"u1","backend":{"type":"serial","data":{"device":"'"$1"'"}}}}'
}

# add_usb N: plugs a USB serial adapter (id usbN) with the emulator at $pty behind it
add_usb() {
  qmp '{"execute":"chardev-add","arguments":{"id":"u'"$1"'","backend":{"type":"serial","data":{"device":"'"$pty"'"}}}}' &&
    qmp '{"execute":"device_add","arguments":{"driver":"usb-serial","id":"usb'"$1"'","chardev":"u'"$1"'"}}'
}

start=$SECONDS
timeout "$guest_limit" qemu-system-x86_64 -accel tcg -m 256 -nodefaults -no-reboot \
  -display none -kernel "$kernel" -initrd initrd.gz \
  -append "console=ttyS0 quiet loglevel=3 panic=-1 no_timer_check" \
  -chardev file,id=con,path=console.log -device isa-serial,chardev=con \
  -chardev serial,id=u1,path="$pty_main" -device isa-serial,chardev=u1 \
  -chardev pipe,id=ctl,path=ctl -device isa-serial,chardev=ctl \
  -chardev pipe,id=qmp,path=qmp -mon chardev=qmp,mode=control \
  -usb -chardev serial,id=u3,path="$pty_usb" -device usb-serial,id=usb3,chardev=u3 \
  >qemu.log 2>&1 &
qemu=$!
pids+=("$qemu")
qmp '{"execute":"qmp_capabilities"}' || true

handled=()
while kill -0 "$qemu" 2>/dev/null; do
  for sync in $(sed -n 's/^vm-sync: \([a-z]*\).*/\1/p' console.log 2>/dev/null); do
    [[ " ${handled[*]} " == *" $sync "* ]] && continue
    handled+=("$sync")
    case $sync in
      vanish) # a receiver that closes its end after block 40 of a read
        start_emulator emu-vanish --vanish-after-block 40
        plug "$pty" && echo go >&"$ctl" ;;
      restore | back) # the first receiver again (after vanish, after xonxoff)
        plug "$pty_main" && echo go >&"$ctl" ;;
      # USB adapters: the first pulled out while idle; one whose receiver goes
      # quiet after block 30 plugged in and pulled out mid-read; a fresh one
      pull) qmp '{"execute":"device_del","arguments":{"id":"usb3"}}' && echo go >&"$ctl" ;;
      unplug) qmp '{"execute":"device_del","arguments":{"id":"usb4"}}' && echo go >&"$ctl" ;;
      stall) start_emulator emu-stall --silent-after-block 30 && add_usb 4 && echo go >&"$ctl" ;;
      replug) start_emulator emu-replug && add_usb 5 && echo go >&"$ctl" ;;
      xonxoff) # a receiver whose flash is all XON and XOFF
        start_emulator emu-xonxoff --flash xonxoff.raw
        plug "$pty" && echo go >&"$ctl" ;;
    esac
  done
  sleep 0.2
done
status=0
wait "$qemu" || status=$?
guest_time=$((SECONDS - start))

if ! grep -q '^vm-boot:' console.log; then
  # QEMU refused to run at all (the guest never printed a byte): a skip.
  ((status != 0)) && [[ ! -s console.log ]] && skip "QEMU did not start: $(head -c 300 qemu.log | tr '\n' ' ')"
  echo "vm: the guest did not boot (status $status); console: $work/console.log" >&2
fi
sed -n 's/^vm-boot: /vm: guest kernel /p' console.log | tr -d '\r'

# -- the verdicts, counted per driver: "vm" (8250) and "usb" (usb-*)
declare -A passed=([vm]=0 [usb]=0) failed=([vm]=0 [usb]=0)
verdict() { # NAME ok|fail DETAIL
  local leg=vm
  [[ $1 == usb-* ]] && leg=usb
  if [[ $2 == ok ]]; then passed[$leg]=$((passed[$leg] + 1)) && echo "$leg: $1 ok${3:+ ($3)}"
  else failed[$leg]=$((failed[$leg] + 1)) && echo "$leg: $1 FAILED: $3"; fi
}
line_of() { sed -n "s/^vm-result: $1 //p" console.log | tr -d '\r' | head -n 1; }
sha=$(sha256sum expected-read.bin | cut -d' ' -f1)
for name in connect read upgrade verify exclusive crtscts vanish xonxoff \
  usb-connect usb-read usb-latency usb-upgrade \
  usb-doctor-normal usb-doctor-denied usb-doctor-held usb-doctor-parenb usb-doctor-ixon \
  usb-xonxoff usb-udev usb-unplug usb-replug usb-ports; do
  line=$(line_of "$name")
  detail=${line#ok} && detail=${detail# }
  # What the host checks besides the guest's word: the reads against the
  # emulator's flash, what it stored against the image, its vanishing.
  case $name in
    read | usb-read) [[ $line == *"sha256=$sha"* && $line == *"size=$((13 + 256 * 4096))"* ]] &&
      detail="256 blocks identical to the emulator's flash, ${line##* time=}" ;;
    upgrade) cmp -s saved.raw upgrade.raw && detail="the emulator stored the image byte for byte, ${line##* time=}" ;;
    usb-xonxoff) # the adapter's receiver holds the upgrade's image by now
      [[ $line == *"sha256=$(sha256sum rootfs/data/upgrade.bin | cut -d' ' -f1)"* ]] &&
        detail="256 blocks identical to the receiver's flash through a port left at ixon ixoff, ${line##* time=}" ;;
    xonxoff) xsha=$(sha256sum expected-xonxoff.bin | cut -d' ' -f1)
      [[ $line == *"sha256=$xsha"* ]] &&
        detail="256 blocks of XON/XOFF bytes identical through a port left at ixon ixoff, ${line##* time=}" ;;
    usb-upgrade) cmp -s saved-usb.raw upgrade.raw && detail="the emulator stored the image byte for byte, ${line##* time=}" ;;
    vanish) grep -q 'vanished after' emu-vanish.log 2>/dev/null &&
      detail="the emulator closed its end mid-read; the read failed cleanly; the next job worked" ;;
  esac
  host_ok=$?
  case $line in
    "") verdict "$name" fail "no result from the guest" ;;
    ok*) if ((host_ok == 0)); then verdict "$name" ok "$detail"; else verdict "$name" fail "the host's check failed: $line"; fi ;;
    *) verdict "$name" fail "${line#FAIL }" ;;
  esac
done
# What doctor printed in each state, for the reader.
sed -n 's/^vm-doctor: //p' console.log | tr -d '\r' >doctor.out
((failed[vm] + failed[usb] == 0)) || echo "vm: guest console: $work/console.log; emulator logs: $work/emu-*.log"
echo "vm: guest ${guest_time}s, leg $((SECONDS - began))s"
echo "vm: ${passed[vm]} passed, ${failed[vm]} failed"
echo "usb: ${passed[usb]} passed, ${failed[usb]} failed"
((failed[vm] + failed[usb] == 0))
