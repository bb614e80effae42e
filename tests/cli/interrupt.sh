#!/bin/bash
# Ctrl-C during the transfer of an update: zorfw ends with exit status 1
# ("Canceled by user") after the device was reset and closed.
# Usage: interrupt.sh ZORFW DEVICE IMAGE
set -u
zorfw=$1
device=$2
image=$3
out=$(mktemp)
trap 'rm -f "$out"' EXIT

"$zorfw" update --json "$device" "$image" >"$out" 2>&1 &
pid=$!
for _ in $(seq 1 400); do
  grep -q '"Transmitting user code..."' "$out" && break
  sleep 0.02
done
kill -INT "$pid"
wait "$pid"
rc=$?

fail() {
  echo "FAIL: $1 (exit status $rc)"
  grep -v '"type":"progress"' "$out"
  exit 1
}
[ "$rc" -eq 1 ] || fail "exit status is not 1"
grep -q '"text":"Canceled by user"' "$out" || fail "no cancel message"
grep -q '"text":"Disconnected from IP: ' "$out" || fail "device not closed"
tail -n 1 "$out" | grep -q '"result":1,.*"type":"result"' || fail "last line is not the canceled result"
echo "canceled and closed"
