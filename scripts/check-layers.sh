#!/usr/bin/env bash
# Checks that the folders of src/ form a one-way graph: every #include of a
# project header names a layer at or below the including file's own, and
# nothing outside a ui/ folder, widgets/ or app/ includes Qt.
#
#   app -> connection/ui transfer/ui remote/ui -> widgets -> base
#          connection transfer remote -> machine -> serial -> base
set -euo pipefail
cd "$(dirname "$0")/../src"

# What each place may include, besides itself.
allowed() {
  case $1 in
    base) echo "base" ;;
    serial) echo "base serial" ;;
    machine) echo "base serial machine" ;;
    widgets) echo "base widgets" ;;
    connection | transfer | remote) echo "base serial machine $1" ;;
    connection/ui | transfer/ui | remote/ui) echo "base serial machine widgets ${1%/ui}" ;;
    app) echo "base serial machine widgets connection transfer remote app" ;;
    *) return 1 ;;
  esac
}

status=0
while IFS= read -r file; do
  layer=${file%%/*}
  place=$layer
  [[ $file == */ui/* ]] && place=$layer/ui
  if ! ok=$(allowed "$place"); then
    echo "$file: in no known layer" >&2
    status=1
    continue
  fi
  while IFS=: read -r line target; do
    [[ " $ok " == *" $target "* ]] && continue
    echo "$file:$line: includes $target/, above or beside $place" >&2
    status=1
  done < <(sed -n -E 's@^[[:space:]]*#[[:space:]]*include[[:space:]]+"([a-z_]+)/.*@\1@p;=' "$file" |
             sed -n -E 'N;s/^([0-9]+)\n([a-z_]+)$/\1:\2/p')
  case $place in
    */ui | widgets | app) ;;
    *)
      if grep -n -E '^[[:space:]]*#[[:space:]]*include[[:space:]]+<Q' "$file" >&2; then
        echo "$file: the core includes Qt" >&2
        status=1
      fi
      ;;
  esac
done < <(find . -name '*.cpp' -o -name '*.h' | sed 's@^\./@@' | sort)

if ((status == 0)); then echo "layers: every include points downward"; fi
exit $status
