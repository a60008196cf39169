#!/usr/bin/env bash
# How the simulated asr's replication compares with copying the same files by hand: creates a
# simulated Mac with DATA of files (default 300M), times `asr restore --useReplication` of its
# system container into an empty container (in a sparse image made beforehand, outside the
# timing), then `cp -a` of the same volumes' files into a fresh folder, in the same run and on
# the same disk, and prints both times and their ratio (asr / cp -a). Best of RUNS (default 3).
#
#   bench/asr_vs_copy.sh [DATA] [RUNS]
#
# Needs a Release build (scripts/build).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
data=${1:-300M}
runs=${2:-3}
bin="$top/build/bin"
for program in macsim simtool; do
  [ -x "$bin/$program" ] || { echo "build first: scripts/build" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/dorvane-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
mac="$work/mac"
"$bin/macsim" create "$mac" --machine intel-mac --data-size "$data" >/dev/null
volumes="$mac/private/var/db/macsim/volumes"
bytes=$(du -B1 -s "$volumes" | cut -f1)
hdiutil="$mac/usr/bin/hdiutil"
system_volume=$("$bin/macsim" show "$mac" | awk '$2 == "on" && $3 == "/" { print $1 }')
source=$("$bin/macsim" show "$mac" |
  awk -v vol="$system_volume" '/APFS container/ { c = $1 } $1 == vol { print c; exit }')

source "$top/bench/timing.sh"
best_asr=""
best_copy=""
for run in $(seq "$runs"); do
  image="$work/run$run.sparseimage"
  "$hdiutil" create -size 600g -type SPARSE -layout NONE "$image" >/dev/null
  disk=$("$hdiutil" attach -nobrowse -owners on -readwrite -plist "$image" -nomount |
    python3 -c 'import plistlib, sys
print(min((e["dev-entry"] for e in plistlib.loads(sys.stdin.buffer.read())["system-entities"]), key=len).rsplit("/", 1)[-1])')
  "$mac/usr/sbin/diskutil" apfs createContainer "$disk" >/dev/null
  target=$("$bin/macsim" show "$mac" |
    awk -v store="$disk" '/APFS container/ && $0 ~ ("stores " store "( |$)") { print $1 }')

  sync
  start=$(now)
  "$mac/usr/sbin/asr" restore -s "/dev/$source" -t "/dev/$target" --useReplication \
    --puppetstrings --noprompt --erase >/dev/null
  asr=$(seconds_since "$start")
  "$hdiutil" detach "$disk" >/dev/null
  rm -f "$image"

  copy=$(time_copy "$volumes" "$work/copy")

  printf 'run %d: asr %.2f s, cp -a %.2f s\n' "$run" "$asr" "$copy"
  best_asr=$(smaller "$asr" "$best_asr")
  best_copy=$(smaller "$copy" "$best_copy")
done

report_ratio "$bytes" asr "$best_asr" "$best_copy"
