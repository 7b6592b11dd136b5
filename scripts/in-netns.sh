#!/usr/bin/env bash
# Runs a command inside a private network namespace that stands in for the site's network:
# loopback up and able to carry multicast, the two storage-server addresses on it, and the
# multicast range routed over it. Nothing run inside can send a packet off this machine.
#
# Works as root, and for other users through a user namespace (unshare -r).
set -euo pipefail

if [[ "${CORVESSA_NETNS:-}" != 1 ]]; then
  if [[ "${_CORVESSA_NETNS_ENTERED:-}" != 1 ]]; then
    export _CORVESSA_NETNS_ENTERED=1
    if ((EUID == 0)); then
      exec unshare --net -- "$0" "$@"
    fi
    exec unshare --map-root-user --net -- "$0" "$@"
  fi
  ip link set lo up
  ip link set lo multicast on
  ip addr add 192.168.10.11/32 dev lo
  ip addr add 192.168.10.12/32 dev lo
  ip route add 224.0.0.0/4 dev lo
  export CORVESSA_NETNS=1
  unset _CORVESSA_NETNS_ENTERED
fi

# Refuse to go on unless the namespace really is private: the storage-server addresses must be
# our own, and no interface but loopback may exist.
# (The listings are taken whole before they are searched: with pipefail, grep -q closing the pipe
# early would fail the pipeline with SIGPIPE.)
addresses=$(ip -o addr show dev lo)
links=$(ip -o link show)
if [[ "$addresses" != *" 192.168.10.11/"* ]]; then
  echo "in-netns: not inside the Corvessa test network" >&2
  exit 1
fi
if grep -qv ' lo:' <<<"$links"; then
  echo "in-netns: this namespace has interfaces other than loopback" >&2
  exit 1
fi

exec "$@"
