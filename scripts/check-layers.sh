#!/usr/bin/env bash
# Checks that the folders of src/ form a one-way graph: every #include of a
# project header names a layer at or below the including file's own, by its
# folder (never relative to the including file, which the compiler would
# find past the layers), and nothing outside a ui/ folder, widgets/, app/ or
# station_app/ includes Qt.
#
#   app -> connection/ui transfer/ui remote/ui -> widgets -> base
#          connection transfer remote -> machine -> serial -> base
#   station/ui -> station widgets;  station -> connection transfer
#   station_app (quorvane-station's main) -> station/ui
#
#   check-layers.sh [SRC]     checks SRC (default: this tree's src/)
#   check-layers.sh --self-test
#                             plants upward includes in a scratch copy of
#                             src/, one at a time, and fails unless the check
#                             catches every one and passes the clean copy
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

# Lists every file of SRC that breaks the rule; fails when there is one.
check() {
  local src=$1
  (cd "$src" && find . \( -name '*.cpp' -o -name '*.h' \) -exec grep -H -n -E \
     -e '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' -e '^[[:space:]]*#[[:space:]]*include[[:space:]]*<Q' \
     /dev/null {} + ; find . \( -name '*.cpp' -o -name '*.h' \) -printf '%p:0:\n') |
    awk -F: -v layers="$(cd "$src" && find . -mindepth 1 -maxdepth 1 -type d -printf '%f ')" '
      BEGIN {
        # What each place may include, besides itself.
        split(layers, l, " "); for (i in l) isLayer[l[i]] = 1
        generated["quorvane/version.h"] = 1  # made by CMake from project(VERSION)
        may["base"] = "base"
        may["serial"] = "base serial"
        may["machine"] = "base serial machine"
        may["widgets"] = "base widgets"
        split("connection transfer remote", f, " ")
        for (i in f) {
          may[f[i]] = "base serial machine " f[i]
          may[f[i] "/ui"] = "base serial machine widgets " f[i] " " f[i] "/ui"
        }
        may["station"] = "base serial machine connection transfer station"
        may["station/ui"] = "base serial machine widgets connection transfer station station/ui"
        may["station_app"] = may["station/ui"] " station_app"
        may["app"] = "base serial machine widgets connection transfer remote connection/ui transfer/ui remote/ui app"
      }
      # The place of a path below src/: its first folder, with /ui when the
      # next one is ui/.
      function placeOf(path,   p) {
        split(path, p, "/")
        return p[2] == "ui" ? p[1] "/ui" : p[1]
      }
      {
        file = $1; sub(/^\.\//, "", file); line = $2
        text = $0; sub(/^[^:]*:[^:]*:/, "", text)
        place = placeOf(file)
        if (!(place in may)) {
          if (!(file in unknown)) { unknown[file] = 1; print file ": in no known layer"; bad = 1 }
          next
        }
        if (line == 0) next
        if (text ~ /include[[:space:]]*</) {
          if (place !~ /(\/ui|^widgets|^app|^station_app)$/) { print file ":" line ": the core includes Qt"; bad = 1 }
          next
        }
        target = text; sub(/^[^"]*"/, "", target); sub(/".*/, "", target)
        if (target in generated) next
        # A name that is not a layer'"'"'s folder ("x.h", "ui/x.h", "../app/x.h")
        # is found beside the including file, past the rule: refused.
        if (target ~ /(^|\/)\.\.?\// || !(substr(target, 1, index(target, "/") - 1) in isLayer)) {
          print file ":" line ": includes " target " by no layer'"'"'s folder"
          bad = 1
          next
        }
        target = placeOf(target)
        if (index(" " may[place] " ", " " target " ")) next
        print file ":" line ": includes " target "/, above or beside " place
        bad = 1
      }
      END { exit bad }' >&2
}

# Inserts `text` as line `at` of the file (0: after the last include).
plant() {
  local file=$1 at=$2 text=$3
  if ((at == 0)); then
    at=$(($(grep -n -E '^#include' "$file" | tail -n 1 | cut -d: -f1) + 1))
  fi
  sed -i "${at}i\\$text" "$file"
}

selfTest() {
  local scratch failures=0 file at text
  scratch=$(mktemp -d)
  trap 'rm -rf "$scratch"' RETURN
  cp -a "$here/../src" "$scratch/clean"
  if ! check "$scratch/clean" 2>/dev/null; then
    echo "self-test: the clean tree fails the check" >&2
    return 1
  fi
  # file | line (0: after the last include) | the include planted there
  while IFS='|' read -r file at text; do
    rm -rf "$scratch/planted"
    cp -a "$scratch/clean" "$scratch/planted"
    plant "$scratch/planted/$file" "$at" "$text"
    if check "$scratch/planted" 2>/dev/null; then
      echo "self-test: missed $text at line $at of $file" >&2
      failures=$((failures + 1))
    fi
  done <<'EOF'
serial/protocol.h|1|#include "app/control_panel_dialog.h"
transfer/rom_type.cpp|0|#include "connection/connect_handshake.h"
machine/tick_machine.cpp|2|#include "transfer/rom_type.h"
base/atomic_file.cpp|3|#include "serial/serial_port.h"
connection/connect_handshake.h|0|#include "connection/ui/connect_dialog.h"
remote/remote_session.cpp|0|#include <QString>
widgets/message_box.h|0|  #  include "transfer/ui/read_software_dialog.h"
transfer/rom_image.cpp|0|#include "../app/control_panel_dialog.h"
transfer/read_transfer.cpp|0|#include "ui/read_software_dialog.h"
serial/command_port.h|0|#include "./command_frame.h"
base/notice_text.cpp|0|#include "base/../app/about_dialog.h"
transfer/upgrade_transfer.h|0|#include "station/station.h"
station/station.h|0|#include "remote/remote_session.h"
station/unit_record.cpp|0|#include <QString>
station/ui/slot_tile.h|0|#include "station_app/station_main.h"
station_app/main.cpp|0|#include "app/application.h"
EOF
  ((failures == 0)) && echo "layers self-test: every planted upward include caught"
  return $((failures != 0))
}

if [[ ${1:-} == --self-test ]]; then
  selfTest
  exit
fi
if check "${1:-$here/../src}"; then echo "layers: every include points downward"; else exit 1; fi
