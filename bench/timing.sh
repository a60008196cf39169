# Shared by the benchmark scripts (sourced): wall-clock timing of one run against `cp -a` of
# the same files, and the best-of-runs report.

now() { date +%s.%N; }
# Seconds since START (a value of `now`).
seconds_since() { awk -v a="$1" -v b="$(now)" 'BEGIN { print b - a }'; }
# The smaller of two times; an empty second one counts as none.
smaller() { awk -v a="$1" -v b="${2:-$1}" 'BEGIN { print (a < b ? a : b) }'; }
# Times `cp -a FROM TO` (after a sync) and removes the copy again; prints the seconds.
time_copy() {
  sync
  local start
  start=$(now)
  cp -a "$1" "$2"
  seconds_since "$start"
  rm -rf "$2"
}
# The report: BYTES, then the name and best seconds of the measured job and of `cp -a`.
report_ratio() {
  awk -v n="$1" -v name="$2" -v a="$3" -v c="$4" 'BEGIN {
    printf "data: %.1f MB\n", n / 1e6
    printf "%-13s %.2f s, %.1f MB/s\n", name " (best):", a, n / 1e6 / a
    printf "%-13s %.2f s, %.1f MB/s\n", "cp -a (best):", c, n / 1e6 / c
    printf "ratio %s / cp -a: %.2f\n", name, a / c
  }'
}
