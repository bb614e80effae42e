#!/bin/bash
# Signals during the transfer of an update.
# One signal (SIGINT = Ctrl-C, or SIGTERM): zorfw ends with exit status 1
# ("Canceled by user") after the device was reset and closed.
# A second signal while it cancels: zorfw ends at once, killed by that signal.
# Usage: interrupt.sh ZORFW SIGNALS ZORFW-ARGS...   (SIGNALS: INT, TERM, TERM,INT ...)
set -u
zorfw=$1
IFS=, read -r first second <<<"$2"
shift 2
out=$(mktemp)
trap 'rm -f "$out"' EXIT

"$zorfw" "$@" >"$out" 2>&1 &
pid=$!
for _ in $(seq 1 400); do
  grep -q '"Transmitting user code..."' "$out" && break
  sleep 0.02
done
kill -"$first" "$pid"

fail() {
  echo "FAIL: $1 (exit status $rc)"
  grep -v '"type":"progress"' "$out"
  exit 1
}

if [ -n "${second:-}" ]; then
  # The first signal has been taken once zorfw says so; the cancel then
  # waits for the device's restart, far longer than the bound below.
  for _ in $(seq 1 250); do
    grep -q '"Interrupted: canceling"' "$out" && break
    sleep 0.02
  done
  start=$(date +%s%N)
  kill -"$second" "$pid"
  wait "$pid"
  rc=$?
  ms=$(( ($(date +%s%N) - start) / 1000000 ))
  [ "$rc" -eq $((128 + $(kill -l "$second"))) ] || fail "not ended by the second signal"
  [ "$ms" -lt 2000 ] || fail "took $ms ms after the second signal"
  grep -q '"type":"result"' "$out" && fail "a result after the second signal"
  echo "ended at once"
  exit 0
fi

wait "$pid"
rc=$?
[ "$rc" -eq 1 ] || fail "exit status is not 1"
grep -q '"text":"Canceled by user"' "$out" || fail "no cancel message"
grep -q '"text":"Disconnected from IP: ' "$out" || fail "device not closed"
tail -n 1 "$out" | grep -q '"result":1,.*"type":"result"' || fail "last line is not the canceled result"
echo "canceled and closed"
