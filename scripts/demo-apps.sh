#!/usr/bin/env bash
# Unmodified PC/SC applications read the redirected card: builds the plug-in,
# scredir-pcscd and the remote half, starts them on private sockets and runs
# opensc-tool through the whole chain, printing what each command printed.
#
#   scripts/demo-apps.sh                  # an emulated card behind the plug-in
#   scripts/demo-apps.sh --real-card      # a private pcscd with a virtual card (vicc)
#
# The chain: opensc-tool (libpcsclite, PCSCLITE_CSOCK_NAME) -> scredir-pcscd
# -> daemon socket -> libscrediragent.so in the host double -> the client
# double -> the card.
set -euo pipefail
cd "$(dirname "$0")/.."

backend=(--backend emulated)
remote_values=pcsclite  # the doubles answer with pcsc-lite's own values
case "${1:-}" in
  "") ;;
  --real-card) backend=(--backend pcsc --private-stack) ;;
  -h|--help) sed -n '2,12p' "$0"; exit 0 ;;
  *) echo "demo-apps.sh: unknown option $1 (--real-card or nothing)" >&2; exit 2 ;;
esac

scripts/install-deps.sh
cmake -S . -B build/plain -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/plain -j "$(nproc)" --target scrediragent scredir-pcscd scredir-chain-remote >/dev/null

work=$(mktemp -d /tmp/scredir-demo-apps-XXXXXX)
apps_socket=$work/pcscd.comm
daemon_socket=$work/qrn.socket
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

echo "== scredir-pcscd on $apps_socket (applications) and $daemon_socket (plug-in)"
build/plain/daemon/scredir-pcscd --client-socket "$apps_socket" --daemon-socket "$daemon_socket" \
  --remote-values "$remote_values" >"$work/daemon.log" 2>&1 &
pids+=($!)
for _ in $(seq 50); do [ -S "$apps_socket" ] && break; sleep 0.1; done

echo "== the remote half: the plug-in in the host double, ${backend[*]}"
build/plain/tools/chain/scredir-chain-remote --plugin build/plain/scredir/libscrediragent.so \
  --socket "$daemon_socket" "${backend[@]}" >"$work/remote.log" 2>&1 &
pids+=($!)
for _ in $(seq 300); do grep -q '^ready' "$work/remote.log" && break; sleep 0.1; done
if ! grep -q '^ready' "$work/remote.log"; then
  echo "the remote half did not come up:" >&2; cat "$work/remote.log" >&2; exit 1
fi
grep '^ready' "$work/remote.log"

export PCSCLITE_CSOCK_NAME=$apps_socket
# The reader appears once the plug-in is connected and the daemon's watch has
# listed it.
for _ in $(seq 100); do
  opensc-tool --list-readers 2>/dev/null | grep -q Yes && break
  sleep 0.2
done

status=0
run() {
  echo
  echo "\$ PCSCLITE_CSOCK_NAME=$apps_socket $*"
  "$@" || status=1
}
run opensc-tool --list-readers
run opensc-tool --atr
run opensc-tool --send-apdu 00A4000C023F00
echo
echo "== scredir-pcscd's log"
cat "$work/daemon.log"
exit $status
