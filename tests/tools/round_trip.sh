#!/usr/bin/env bash
# A round trip through the simulated Mac's disk tools alone, no system code: create a sparse
# image, attach it, create an APFS container in it, replicate the Mac's system container into
# it with asr, detach, attach it again read-only, and compare every file of every volume with
# the source.
#
#   tests/tools/round_trip.sh BIN_DIR      (BIN_DIR holds macsim and simtool)
set -euo pipefail
bin=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/dorvane-round-trip.XXXXXX")
trap 'rm -rf "$work"' EXIT
mac="$work/mac"
image="$work/round trip.sparseimage"

"$bin/macsim" create "$mac" --machine intel-mac --data-size 2M >/dev/null
hdiutil="$mac/usr/bin/hdiutil"
diskutil="$mac/usr/sbin/diskutil"
asr="$mac/usr/sbin/asr"

# The whole disk of an attach, from the property list it prints.
attached_disk() {
  python3 -c '
import plistlib, sys
entities = plistlib.loads(sys.stdin.buffer.read())["system-entities"]
print(min((e["dev-entry"] for e in entities), key=len).rsplit("/", 1)[-1])'
}
# The container whose store is the disk $1.
container_on() {
  "$bin/macsim" show "$mac" |
    awk -v store="$1" '/APFS container/ && $0 ~ ("stores " store "( |$)") { print $1 }'
}

system_volume=$("$bin/macsim" show "$mac" | awk '$2 == "on" && $3 == "/" { print $1 }')
source=$("$bin/macsim" show "$mac" |
  awk -v vol="$system_volume" '/APFS container/ { c = $1 } $1 == vol { print c; exit }')

"$hdiutil" create -size 600g -type SPARSE -layout NONE "$image" >/dev/null
disk=$("$hdiutil" attach -nobrowse -owners on -readwrite -plist "$image" -nomount | attached_disk)
"$diskutil" apfs createContainer "$disk" >/dev/null
target=$(container_on "$disk")
[ -n "$target" ] || { echo "no container was created on $disk" >&2; exit 1; }
"$asr" restore -s "/dev/$source" -t "/dev/$target" --useReplication --puppetstrings --noprompt \
  --erase >"$work/asr.log"
grep -q '^PSTT' "$work/asr.log" || { echo "asr printed no progress" >&2; exit 1; }
"$hdiutil" detach "$disk" >/dev/null

disk=$("$hdiutil" attach -nobrowse -owners on -readonly -plist "$image" -nomount | attached_disk)
restored=$(container_on "$disk")
"$bin/macsim" compare "$mac" "$source" "$restored"
"$hdiutil" detach "$disk" >/dev/null
echo "round trip of $source through $(basename "$image"): identical"
