# Shared by the Windows test legs and the benchmarks (sourced): a private Wine
# prefix whose COM ports lead to quorvane-emu pseudo-terminals.
# The caller sets `build` (its folder), `e2e` (its working folder), `emu`
# (the Linux quorvane-emu) and `link` (the symlink the emulator re-points).

# A private prefix in the build folder; its wineserver writes to its own
# log (it can dump long object listings when it ends) and is ended with
# `wineserver -k` for this prefix only.
wine_prefix() {  # DIR
  export WINEPREFIX=$1 WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  mkdir -p "$WINEPREFIX"
  : >"$build/wineserver.log"
}
server_pid=
start_wineserver() {
  wineserver -f -p >>"$build/wineserver.log" 2>&1 &
  server_pid=$!
}
stop_wineserver() {
  wineserver -k 2>/dev/null
  [[ -n $server_pid ]] && wait "$server_pid" 2>/dev/null
  server_pid=
}

# COM ports: HKLM\Software\Wine\Ports maps each to a path, and Wine makes
# its device links from that at start-up. The numbers given lead to $link,
# every other number up to 16 leads nowhere, so that the host's /dev/ttyS*
# can't take them. Leaves the wineserver running; fails with a reason.
map_com_ports() {  # NUMBER...
  local regfile=$e2e/ports.reg n target
  {
    printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\r\n'
    for n in $(seq 1 16); do
      target=$e2e/absent-com$n
      [[ " $* " == *" $n "* ]] && target=$link
      printf '"COM%d"="%s"\r\n' "$n" "$target"
    done
  } >"$regfile"
  start_wineserver
  timeout 300 wine reg import "$(winepath -w "$regfile" 2>/dev/null || echo "Z:${regfile//\//\\}")" \
    >"$e2e/reg.log" 2>&1 || { cat "$e2e/reg.log"; echo "registry import" >&2; return 1; }
  stop_wineserver
  start_wineserver
  timeout 120 wine cmd /c exit >/dev/null 2>&1  # starts the device manager with the new map
  for n in "$@"; do
    [[ $(readlink "$WINEPREFIX/dosdevices/com$n") == "$link" ]] ||
      { echo "dosdevices: com$n -> $(readlink "$WINEPREFIX/dosdevices/com$n")" >&2; return 1; }
  done
}

emu_pid=
# Fails (with the emulator stopped) when its link is not there within 5 s.
start_emulator() {  # OPTIONS...: an emulator behind $link, its log in $e2e/emu.log
  rm -f "$link" "$e2e/emu.out" "$e2e/emu.log"
  "$emu" --link "$link" --log "$e2e/emu.log" --parent-pid $$ "$@" >"$e2e/emu.out" &
  emu_pid=$!
  for _ in $(seq 100); do
    [[ -L $link && -s $e2e/emu.out ]] && break
    sleep 0.05
  done
  if [[ ! -L $link || ! -s $e2e/emu.out ]]; then
    echo "start_emulator $*: no emulator at $link after 5 s" >&2
    stop_emulator
    return 1
  fi
  # Raw before the program opens it (the emulator makes its side raw too);
  # $emu_stty then leaves settings of another program on the port, such as
  # "ixon ixoff", which the program must turn off while it runs.
  # shellcheck disable=SC2086
  stty -F "$(head -1 "$e2e/emu.out")" raw -echo -ixon -ixoff ${emu_stty:-} 2>/dev/null
}
stop_emulator() {
  [[ -n $emu_pid ]] && kill "$emu_pid" 2>/dev/null && wait "$emu_pid" 2>/dev/null
  emu_pid=
}
frames() {  # the emulator's log without times, its pty and the file it saved
  sed -e '1d' -e 's/^\[[ 0-9.]*\] *//' -e 's/^flash saved to .*/flash saved/' "$e2e/emu.log"
}
