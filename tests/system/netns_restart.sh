#!/usr/bin/env bash
# System test: zor-devsim in a network namespace, zor-netcheck on this side of
# the veth pair. Needs root; exits 77 (skipped) otherwise or when network
# namespaces cannot be made here.
#   netns_restart.sh ZOR_DEVSIM ZOR_NETCHECK NETNS_HOST_SCRIPT
set -uo pipefail

DEVSIM=$1 NETCHECK=$2 HOSTSCRIPT=$3
SKIP=77

[ "$(id -u)" -eq 0 ] || { echo "SKIP: needs root"; exit $SKIP; }
command -v ip >/dev/null || { echo "SKIP: no ip command"; exit $SKIP; }

# A namespace, interfaces and a subnet of this test's own, so that a demo
# namespace or a parallel run is left alone.
export ZOR_NETNS=zorsys$$ ZOR_NETNS_HOST_IF=zsh$$ ZOR_NETNS_DEVICE_IF=zsd$$
export ZOR_NETNS_HOST_IP=10.201.$(($$ % 250)).1 ZOR_NETNS_DEVICE_IP=10.201.$(($$ % 250)).2
export ZOR_DEVSIM=$DEVSIM

SIM_PID=
cleanup() {
  [ -n "$SIM_PID" ] && kill "$SIM_PID" 2>/dev/null && wait "$SIM_PID" 2>/dev/null
  "$HOSTSCRIPT" down >/dev/null 2>&1
}
trap cleanup EXIT

if ! "$HOSTSCRIPT" up; then
  echo "SKIP: network namespace could not be set up here"
  exit $SKIP
fi

"$HOSTSCRIPT" run --restart-ms 2000 --timestamp-ms 0 --serial 0x5151 &
SIM_PID=$!

"$NETCHECK" "$ZOR_NETNS_DEVICE_IP"
rc=$?
kill -0 "$SIM_PID" 2>/dev/null || { echo "FAIL: zor-devsim ended early"; exit 1; }
exit $rc
