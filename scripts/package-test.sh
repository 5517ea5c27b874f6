#!/usr/bin/env bash
# Builds the Debian package (Release, Debian's hardening flags, no tests)
# into build-package, validates it, unpacks it into a scratch root and runs
# the programs from there. Ends with "package: N passed, M failed".
#   scripts/package-test.sh
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=build-package

bash scripts/install-deps.sh || exit 1

# ---- build ---------------------------------------------------------------------
flags() { DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1"; }
# step COMMAND...: runs COMMAND with its output in $log, shown on failure.
mkdir -p "$build"
log=$build/package-test.log
step() { "$@" >"$log" 2>&1 || { tail -n 40 "$log" >&2; echo "failed: $*" >&2; exit 1; }; }
echo "== build ($build)"
step cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUORVANE_TESTS=OFF \
  -DQUORVANE_WERROR=ON -DCMAKE_CXX_FLAGS="$(flags CPPFLAGS) $(flags CXXFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(flags LDFLAGS)"
step nice cmake --build "$build" -j2 --target quorvane quorvane-station quorvane-cli quorvane-emu \
  quorvane_package_data
rm -rf "$build/package"
step cpack --config "$build/CPackConfig.cmake" -B "$build/package"
deb=$(ls "$build"/package/quorvane_*.deb)
version=$(dpkg-deb -f "$deb" Version)
echo "built $deb"

scratch=$(mktemp -d "${TMPDIR:-/tmp}/quorvane-package.XXXXXX")
emu=
trap '[[ -n $emu ]] && kill "$emu" 2>/dev/null; rm -rf "$scratch"' EXIT
dest=$scratch/root
dpkg-deb -x "$deb" "$dest" || exit 1
bin=$dest/usr/bin
share=$dest/usr/share

passed=0 failed=0
pass() { echo "ok    $1"; passed=$((passed + 1)); }
fail() { echo "FAIL  $1"; failed=$((failed + 1)); }
# expect NAME WANT COMMAND...: COMMAND succeeds and its standard output
# holds the line WANT (a grep -x pattern).
expect() {
  local name=$1 want=$2 out
  shift 2
  if out=$("$@" 2>&1) && grep -qx -- "$want" <<<"$out"; then pass "$name"; else
    fail "$name"
    printf '%s\n' "$out" | head -20
  fi
}
# validator NAME COMMAND...: prints the validator's report; its error lines
# ("E: ..." or "...: error: ...") fail the step, warnings do not.
validator() {
  local name=$1 out
  shift
  out=$("$@" 2>&1)
  echo "-- $name"
  [[ -n $out ]] && printf '%s\n' "$out"
  if grep -qE '^E: |: error: ' <<<"$out"; then fail "$name"; else pass "$name"; fi
}

# ---- validators ----------------------------------------------------------------
echo "== validators"
for id in Quorvane Station; do
  validator "desktop-file-validate $id" desktop-file-validate "$share/applications/org.quorvane.$id.desktop"
  validator "appstreamcli validate $id" appstreamcli validate --no-net "$share/metainfo/org.quorvane.$id.metainfo.xml"
done
validator "lintian" lintian --display-info "$deb"

# The package's version everywhere it is written down.
zcat "$share/doc/quorvane/changelog.Debian.gz" >"$scratch/changelog"
expect "changelog version" "$version" dpkg-parsechangelog -l "$scratch/changelog" -S Version
newest_release() { grep -o -m1 '<release version="[^"]*"' "$1" | cut -d'"' -f2; }
for id in Quorvane Station; do
  expect "AppStream release $id" "${version%-*}" newest_release "$share/metainfo/org.quorvane.$id.metainfo.xml"
done

# ---- the installed programs ------------------------------------------------------
echo "== programs"
expect "quorvane-cli --version" "quorvane-cli ${version%-*}" "$bin/quorvane-cli" --version
expect "quorvane-cli --help" "usage: quorvane-cli .*" "$bin/quorvane-cli" --help
expect "quorvane-emu --version" "quorvane-emu ${version%-*}" "$bin/quorvane-emu" --version
expect "quorvane-emu --help" "usage: quorvane-emu .*" "$bin/quorvane-emu" --help

# A ROM image read from an emulated 1 MiB CI receiver over its pty, then
# described by info.
link=$scratch/com1
"$bin/quorvane-emu" --model 5 --link "$link" --parent-pid $$ >/dev/null &
emu=$!
for _ in $(seq 100); do [[ -e $link ]] && break; sleep 0.05; done
expect "quorvane-cli read" ".* 256/256 blocks .* ok" \
  "$bin/quorvane-cli" --device "$link" read "$scratch/rom.bin"
kill "$emu"
wait "$emu" 2>/dev/null
emu=
expect "quorvane-cli info" ".*QX_Rom_CIAMD1.*" "$bin/quorvane-cli" info "$scratch/rom.bin"

# That image onto a 2 MiB receiver of the same family that only acknowledges:
# asked its type first, it gets nothing written.
"$bin/quorvane-emu" --model 6 --answer ack0 --link "$link" --parent-pid $$ >/dev/null &
emu=$!
for _ in $(seq 100); do [[ -e $link ]] && break; sleep 0.05; done
refused() { ! "$@" 2>&1; }
expect "quorvane-cli upgrade refuses another type" ".*: nothing was written; .*" \
  refused "$bin/quorvane-cli" --device "$link" upgrade "$scratch/rom.bin"
kill "$emu"
wait "$emu" 2>/dev/null
emu=

# The desktop programs answer --version without a display.
for program in quorvane quorvane-station; do
  expect "$program --version" "$program ${version%-*}" \
    env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$bin/$program" --version
done
expect "quorvane-station --help" "usage: quorvane-station .*" \
  env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$bin/quorvane-station" --help

# ---- the udev rule ------------------------------------------------------------------
echo "== udev rule"
rule=usr/lib/udev/rules.d/70-quorvane-serial.rules
rule_line() { grep -c -- "$1" "$dest/$rule" 2>/dev/null; }
expect "udev rule: uaccess and ModemManager" "1" \
  rule_line 'TAG+="uaccess", ENV{ID_MM_DEVICE_IGNORE}="1"'
# One line per adapter id: FTDI, Prolific, WCH and Silicon Labs ones at least.
ids() { grep -oE 'ATTRS\{idVendor\}=="(0403|067b|1a86|10c4)"' "$dest/$rule" | sort -u | wc -l; }
expect "udev rule: four makers" "4" ids
# Installed and removed with the package, into a root of its own (the
# maintainer scripts run there without chroot and leave udev alone, as
# DPKG_ROOT tells them).
admin=$scratch/installed
mkdir -p "$admin/var/lib/dpkg/info" "$admin/var/lib/dpkg/updates" && : >"$admin/var/lib/dpkg/status"
dpkg_root() { dpkg --root="$admin" --force-script-chrootless --force-depends --log=/dev/null "$@"; }
reloads() { dpkg-deb --ctrl-tarfile "$deb" | tar -xO "./$1" | grep -c 'udevadm control --reload-rules'; }
expect "postinst reloads the udev rules" "1" reloads postinst
expect "postrm reloads the udev rules" "1" reloads postrm
present() { dpkg_root "$@" >"$scratch/dpkg.log" 2>&1 || cat "$scratch/dpkg.log"; [[ -f $admin/$rule ]] && echo yes || echo no; }
expect "udev rule installed with the package" "yes" present -i "$deb"
expect "udev rule removed with the package" "no" present -r quorvane

# ---- documents -------------------------------------------------------------------
echo "== documents"
# Every relative link of the installed README leads to an installed file.
doc=$share/doc/quorvane
missing=$(grep -oE '\]\([^):#]+' "$doc/README.md" | cut -c3- | sort -u |
  while read -r target; do [[ -e $doc/$target ]] || echo "$target"; done)
if [[ -z $missing ]]; then pass "README links"; else
  fail "README links"
  echo "$missing"
fi

# ---- manual pages ----------------------------------------------------------------
echo "== manual pages"
# One page per program; any warning from man or groff fails it.
for program in "$bin"/*; do
  name=$(basename "$program")
  page=$share/man/man1/$name.1.gz
  if [[ -f $page ]] &&
    out=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >"$scratch/page") &&
    [[ -z $out ]] && grep -qx "NAME" "$scratch/page"; then
    pass "man $name"
  else
    fail "man $name"
    printf '%s\n' "${out:-no page}"
  fi
done

# ---- bash completion ----------------------------------------------------------------
echo "== bash completion"
# complete LINE: the completions bash offers at the end of LINE, one a line,
# from the completion file installed under the program's name.
complete_line() {
  local program=${1%% *}
  PATH=$bin:$PATH bash -c '
    source /usr/share/bash-completion/bash_completion
    source "$1"
    COMP_LINE=$2 COMP_POINT=${#2}
    read -ra COMP_WORDS <<<"$2"
    [[ $2 == *" " ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    cd "$3" && "$4" "${COMP_WORDS[0]}" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf "%s\n" "${COMPREPLY[@]}" | sort' _ "$share/bash-completion/completions/$program" "$1" \
    "$scratch/files" "_${program//-/_}"
}
mkdir "$scratch/files" && touch "$scratch/files/rom.bin" "$scratch/files/notes.txt"
help=$("$bin/quorvane-cli" --help)
# What --help lists: the commands, the options, the keys' ASCII aliases.
help_commands=$(sed -n '/^Commands:/,/^$/s/^  \([a-z]\+\).*/\1/p' <<<"$help" | sort)
help_options=$(grep -o '^  --[a-z-]\+' <<<"$help" | tr -d ' ' | sort)
# The options --help marks "<commands> only:", as a grep -x pattern.
upgrade_only=$(sed -n 's/^  \(--[a-z-]\+\).* only: .*/\1/p' <<<"$help" | paste -sd'|')
# Of those, the ones that go not with upgrade.
not_upgrade=$(grep -E '^  --[a-z-]+.* only: ' <<<"$help" | grep -vE ' upgrade[a-z ,]* only: ' |
  grep -oE '^  --[a-z-]+' | tr -d ' ' | paste -sd'|')
emu_options=$("$bin/quorvane-emu" --help | grep -oE '^ +(-h, )?--[a-z-]+' | sed 's/.*--/--/' | sort)
help_keys=$(awk '/^Key names/ { keys = 1; next } keys { print $NF }' <<<"$help" | sort)
completion_check() {
  local name=$1 line=$2 want=$3 got
  got=$(complete_line "$line")
  if [[ $got == "$want" ]]; then pass "completion: $name"; else
    fail "completion: $name"
    diff <(echo "$want") <(echo "$got") | head -10
  fi
}
completion_check "commands" "quorvane-cli --port 2 " "$help_commands"
completion_check "options" "quorvane-cli --" "$(grep -vxE -e "$upgrade_only" <<<"$help_options")"
completion_check "upgrade options after the image" "quorvane-cli upgrade rom.bin --" \
  "$(grep -vxE -e "$not_upgrade" <<<"$help_options")"
completion_check "quorvane-emu options" "quorvane-emu --" "$emu_options"
completion_check "quorvane-emu --answer" "quorvane-emu --answer r" "rotate"
completion_check "keys" "quorvane-cli key MENU " "$help_keys"
completion_check "key prefix" "quorvane-cli key m" $'MENU\nMUTE'
completion_check "--port" "quorvane-cli --port " $'1\n2\n3\n4'
completion_check "image files" "quorvane-cli info " "rom.bin"
completion_check "one image" "quorvane-cli upgrade rom.bin " ""

echo "package: $passed passed, $failed failed"
((failed == 0))
