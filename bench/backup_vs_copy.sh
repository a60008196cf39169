#!/usr/bin/env bash
# How a whole backup compares with copying the same files by hand: creates a simulated Mac with
# DATA of files (default 300M), times `dorvane backup` of its system container into a sparse
# image, then `cp -a` of the same volumes' files into a fresh folder, in the same run and on
# the same disk, and prints both times and their ratio (backup / copy). Repeats RUNS times
# (default 3) and reports the best of each, so that a noisy neighbour weighs less.
#
#   bench/backup_vs_copy.sh [DATA] [RUNS]
#
# Needs a Release build (scripts/build).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
data=${1:-300M}
runs=${2:-3}
bin="$top/build/bin"
for program in dorvane macsim simtool; do
  [ -x "$bin/$program" ] || { echo "build first: scripts/build" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/dorvane-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
"$bin/macsim" create "$work/mac" --machine intel-mac --data-size "$data" >/dev/null
volumes="$work/mac/private/var/db/macsim/volumes"
bytes=$(du -B1 -s "$volumes" | cut -f1)

source "$top/bench/timing.sh"
best_backup=""
best_copy=""
for run in $(seq "$runs"); do
  sync
  start=$(now)
  __OSINSTALL_ENVIRONMENT=1 "$bin/dorvane" --root "$work/mac" backup \
    --to "$work/backup.sparseimage" >/dev/null 2>&1
  backup=$(seconds_since "$start")
  rm -f "$work/backup.sparseimage"
  copy=$(time_copy "$volumes" "$work/copy")

  printf 'run %d: backup %.2f s, cp -a %.2f s\n' "$run" "$backup" "$copy"
  best_backup=$(smaller "$backup" "$best_backup")
  best_copy=$(smaller "$copy" "$best_copy")
done

report_ratio "$bytes" backup "$best_backup" "$best_copy"
