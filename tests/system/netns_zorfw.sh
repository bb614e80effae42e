#!/usr/bin/env bash
# System test: zorfw against zor-devsim in a network namespace, over a real
# interface with real ICMP. A ColdFire update, an address change that brings
# the device back under its new address, an ESP update and the switch back to
# the factory partition. Needs root; exits 77 (skipped) otherwise or when
# network namespaces cannot be made here.
#   netns_zorfw.sh ZOR_DEVSIM ZORFW NETNS_HOST_SCRIPT SAMPLES_DIR
set -uo pipefail

DEVSIM=$1 ZORFW=$2 HOSTSCRIPT=$3 SAMPLES=$4
SKIP=77

[ "$(id -u)" -eq 0 ] || { echo "SKIP: needs root"; exit $SKIP; }
command -v ip >/dev/null || { echo "SKIP: no ip command"; exit $SKIP; }

net=10.202.$(($$ % 250))
export ZOR_NETNS=zorfw$$ ZOR_NETNS_HOST_IF=zfh$$ ZOR_NETNS_DEVICE_IF=zfd$$
export ZOR_NETNS_HOST_IP=$net.1 ZOR_NETNS_DEVICE_IP=$net.2
export ZOR_DEVSIM=$DEVSIM
work=$(mktemp -d)

SIM_PID=
stop_sim() {
  [ -n "$SIM_PID" ] && kill "$SIM_PID" 2>/dev/null && wait "$SIM_PID" 2>/dev/null
  SIM_PID=
}
cleanup() {
  stop_sim
  "$HOSTSCRIPT" down >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $1"
  [ -f "$work/out" ] && grep -v '"type":"progress"' "$work/out" | tail -n 30
  [ -f "$work/sim.log" ] && tail -n 30 "$work/sim.log"
  exit 1
}

if ! "$HOSTSCRIPT" up >/dev/null; then
  echo "SKIP: network namespace could not be set up here"
  exit $SKIP
fi

# Starts one simulated device and waits (bounded) until its control port answers.
start_sim() {
  "$HOSTSCRIPT" run --restart-ms 1500 --timestamp-ms 0 --log "$work/sim.log" "$@" >/dev/null 2>&1 &
  SIM_PID=$!
  for _ in $(seq 1 100); do
    (exec 3<>"/dev/tcp/$ZOR_NETNS_DEVICE_IP/1024") 2>/dev/null && return 0
    sleep 0.1
  done
  fail "zor-devsim did not come up"
}

# zorfw ARGS... with --json; fails unless it exits with status 0 and its
# result line says so.
zorfw_ok() {
  "$ZORFW" "$@" --json --yes --password 0000ABCD >"$work/out" 2>&1
  local rc=$?
  [ "$rc" -eq 0 ] || fail "zorfw $* ended with $rc"
  tail -n 1 "$work/out" | grep -q '"result":0' || fail "zorfw $*: no success result"
}

dev=ip:$ZOR_NETNS_DEVICE_IP
start_sim --family coldfire --firmware 112 --serial 0x5152
zorfw_ok update "$dev" "$SAMPLES/LUM_SU6_Firmware_V62.s19"
grep -q '"Firmware update was successful"' "$work/out" || fail "ColdFire update not reported"
grep -q 'programming finished' "$work/sim.log" || fail "the simulator did not program its flash"

# A new address: the device restarts under it and is found there.
zorfw_ok config "$dev" --set ip="$net.3"
zorfw_ok info "ip:$net.3"
grep -q '"serial_number"' "$work/out" || fail "device not read under its new address"
stop_sim

start_sim --family esp --firmware 114 --serial 0x5153
zorfw_ok update "$dev" "$SAMPLES/LUM2_Firmware_V114.bin"
zorfw_ok factory "$dev"
grep -q 'Switched back to factory partition' "$work/out" || fail "factory switch not reported"
stop_sim
echo "zorfw over the namespace: ColdFire update, address change, ESP update, factory switch"
