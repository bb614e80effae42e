#!/usr/bin/env bash
# A network test host for the device simulator: a network namespace joined to
# this machine by a veth pair, so the tool reaches simulated devices over a
# real interface, and a device restart takes the link down so ICMP really fails.
#
#   netns-host.sh up                 create the namespace and the veth pair
#   netns-host.sh run [ARGS...]      run zor-devsim inside (default: one device on the namespace's address)
#   netns-host.sh status             show the namespace, its link and addresses
#   netns-host.sh down               remove the namespace (and with it the veth pair)
#   netns-host.sh hook up|down ADDR  used by zor-devsim (--host-hook) inside the namespace
#
# Only the namespace's own test addresses are used: host side 10.200.0.1/24,
# device side 10.200.0.2/24 (override with ZOR_NETNS, ZOR_NETNS_HOST_IP,
# ZOR_NETNS_DEVICE_IP). Needs root. ZOR_DEVSIM names the simulator binary.
set -euo pipefail

NS=${ZOR_NETNS:-zorsim}
HOST_IF=${ZOR_NETNS_HOST_IF:-zor-h}
DEV_IF=${ZOR_NETNS_DEVICE_IF:-zor-d}
HOST_IP=${ZOR_NETNS_HOST_IP:-10.200.0.1}
DEV_IP=${ZOR_NETNS_DEVICE_IP:-10.200.0.2}
PREFIX=24
SELF=$(readlink -f "$0")
ROOT=$(cd "$(dirname "$SELF")/.." && pwd)

die() { echo "netns-host: $*" >&2; exit 1; }
need_root() { [ "$(id -u)" -eq 0 ] || die "needs root (network namespaces and veth pairs)"; }
ns_exists() { ip netns list 2>/dev/null | awk '{print $1}' | grep -qx "$NS"; }

find_devsim() {
  if [ -n "${ZOR_DEVSIM:-}" ]; then echo "$ZOR_DEVSIM"; return; fi
  for c in "$ROOT"/build/sim/zor-devsim "$ROOT"/build-*/sim/zor-devsim; do
    [ -x "$c" ] && { echo "$c"; return; }
  done
  command -v zor-devsim || die "zor-devsim not found; build it or set ZOR_DEVSIM"
}

cmd_up() {
  need_root
  ns_exists && die "namespace $NS exists already (netns-host.sh down first)"
  ip netns add "$NS"
  ip link add "$HOST_IF" type veth peer name "$DEV_IF"
  ip link set "$DEV_IF" netns "$NS"
  ip addr add "$HOST_IP/$PREFIX" dev "$HOST_IF"
  ip link set "$HOST_IF" up
  ip netns exec "$NS" ip link set lo up
  ip netns exec "$NS" ip addr add "$DEV_IP/$PREFIX" dev "$DEV_IF"
  ip netns exec "$NS" ip link set "$DEV_IF" up
  echo "netns-host: $NS up: this host $HOST_IP ($HOST_IF) <-> device side $DEV_IP ($DEV_IF)"
}

cmd_down() {
  need_root
  if ns_exists; then ip netns del "$NS"; fi
  # The host end disappears with its peer; remove it if it was left behind.
  if ip link show "$HOST_IF" >/dev/null 2>&1; then ip link del "$HOST_IF"; fi
  echo "netns-host: $NS removed"
}

cmd_status() {
  ns_exists || { echo "netns-host: $NS does not exist"; return 1; }
  ip -br addr show "$HOST_IF" || true
  ip netns exec "$NS" ip -br addr show
}

# Runs inside the namespace, called by zor-devsim when a device goes silent or comes back.
cmd_hook() {
  local state=${1:-} addr=${2:-}
  [ -n "$addr" ] || die "hook needs up|down and an address"
  case "$state" in
    down) ip link set "$DEV_IF" down ;;
    up)
      # A configuration change may bring the device back under a new address.
      if ! ip -br addr show dev "$DEV_IF" | grep -qw "$addr"; then
        ip addr add "$addr/$PREFIX" dev "$DEV_IF"
      fi
      ip link set "$DEV_IF" up
      ;;
    *) die "hook: up or down, not $state" ;;
  esac
}

cmd_run() {
  need_root
  ns_exists || die "namespace $NS missing (netns-host.sh up first)"
  local devsim
  devsim=$(find_devsim)
  local args=("$@")
  if ! printf '%s\n' "${args[@]+"${args[@]}"}" | grep -qx -- '--device'; then
    args+=(--device "$DEV_IP")
  fi
  # Real ICMP decides here: the simulator takes the link down instead of faking pings.
  exec ip netns exec "$NS" "$devsim" --no-claim --host-hook "$SELF hook" "${args[@]}"
}

case "${1:-}" in
  up) cmd_up ;;
  down) cmd_down ;;
  status) cmd_status ;;
  run) shift; cmd_run "$@" ;;
  hook) shift; cmd_hook "$@" ;;
  *) sed -n '2,15p' "$SELF" | sed 's/^# \{0,1\}//'; exit 2 ;;
esac
