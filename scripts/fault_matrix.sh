#!/usr/bin/env bash
# Runs the whole fault matrix: zorfw update of a ColdFire and an ESP image with
# each fault at each request k, in parallel processes, and prints the counts.
#
#   scripts/fault_matrix.sh [BUILD_DIR]
#   scripts/fault_matrix.sh --count OUT   (counts the logs of an earlier run again)
#
# Environment: JOBS parallel processes (default: number of cores), SHARDS
# processes per family and fault (default 1), ZOR_FAULT_K "all" (default),
# "edges:S" (the first and last 16 requests, every S-th between) or "sample",
# OUT directory for the logs (default: a new one in /tmp).
set -eu
if [ "${1:-}" = --count ]; then
  OUT=$2
  ZOR_FAULT_K=${ZOR_FAULT_K:-as run}
else
  BUILD=${1:-build}
  BIN=$BUILD/tests/faultmatrix/faultmatrix_FaultMatrix_test
  [ -x "$BIN" ] || { echo "fault_matrix.sh: $BIN not built (ninja -C $BUILD faultmatrix_FaultMatrix_test)" >&2; exit 2; }
  JOBS=${JOBS:-$(nproc)}
  SHARDS=${SHARDS:-1}
  OUT=${OUT:-$(mktemp -d /tmp/fault_matrix.XXXXXX)}
  export ZOR_FAULT_K=${ZOR_FAULT_K:-all}
  mkdir -p "$OUT"

  CASES=$("$BIN" --gtest_list_tests | sed -n 's/^  \(UpdateWithAFaultAtEveryStep\/[a-z_]*\).*/\1/p')
  running=0
  for c in $CASES; do
    s=0
    while [ "$s" -lt "$SHARDS" ]; do
      name=$(echo "$c" | sed 's/.*\///')_$s
      ZOR_FAULT_SHARD="$s/$SHARDS" "$BIN" --gtest_filter="*$c" >"$OUT/$name.out" 2>"$OUT/$name.log" &
      running=$((running + 1))
      if [ "$running" -ge "$JOBS" ]; then
        wait -n || true
        running=$((running - 1))
      fi
      s=$((s + 1))
    done
  done
  wait
fi

cat "$OUT"/*.log | grep '^FAULTRUN' | grep -v ' again ' >"$OUT/runs.txt" || true
count() { grep -c "$1" "$OUT/runs.txt" || true; }
echo "fault matrix ($ZOR_FAULT_K), logs in $OUT"
echo "runs:             $(grep -c . "$OUT/runs.txt" || true)"
echo "false successes:  $(count 'false_success=1')"
echo "hangs:            $(count 'hang=1')"
echo "slots left:       $(count 'slots_left=1')"
echo "not recovered:    $(count 'recovered=0')"
echo "fault not fired:  $(count 'fired=0')"
echo "per fault (runs, false successes, hangs, slots left, not recovered):"
awk '{ split($2, a, " "); c = a[1]; n[c]++; if ($0 ~ /false_success=1/) f[c]++; if ($0 ~ /hang=1/) h[c]++;
       if ($0 ~ /slots_left=1/) s[c]++; if ($0 ~ /recovered=0/) r[c]++ }
     END { for (c in n) printf "  %-22s %5d %5d %5d %5d %5d\n", c, n[c], f[c], h[c], s[c], r[c] }' "$OUT/runs.txt" | sort
echo "errors of the runs that went wrong (count, error):"
grep -E 'false_success=1|hang=1|slots_left=1|recovered=0' "$OUT/runs.txt" | sed 's/.*error="\(.*\)"$/\1/' |
  sed 's/127\.0\.0\.[0-9]*/ADDR/g; s/CMD\.\.\.\. [0-9A-F ]*/CMD/g' | sort | uniq -c | sort -rn | head -20
