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

now() { date +%s.%N; }
best_backup=""
best_copy=""
for run in $(seq "$runs"); do
  sync
  start=$(now)
  __OSINSTALL_ENVIRONMENT=1 "$bin/dorvane" --root "$work/mac" backup \
    --to "$work/backup.sparseimage" >/dev/null 2>&1
  backup=$(awk -v a="$start" -v b="$(now)" 'BEGIN { print b - a }')
  rm -f "$work/backup.sparseimage"

  sync
  start=$(now)
  cp -a "$volumes" "$work/copy"
  copy=$(awk -v a="$start" -v b="$(now)" 'BEGIN { print b - a }')
  rm -rf "$work/copy"

  printf 'run %d: backup %.2f s, cp -a %.2f s\n' "$run" "$backup" "$copy"
  best_backup=$(awk -v a="$backup" -v b="${best_backup:-$backup}" 'BEGIN { print (a < b ? a : b) }')
  best_copy=$(awk -v a="$copy" -v b="${best_copy:-$copy}" 'BEGIN { print (a < b ? a : b) }')
done

awk -v n="$bytes" -v b="$best_backup" -v c="$best_copy" 'BEGIN {
  printf "data: %.1f MB\n", n / 1e6
  printf "backup (best): %.2f s, %.1f MB/s\n", b, n / 1e6 / b
  printf "cp -a (best):  %.2f s, %.1f MB/s\n", c, n / 1e6 / c
  printf "ratio backup / cp -a: %.2f\n", b / c
}'
