#!/bin/bash
# Boot a payload in a Debian kernel under qemu-system and report its status.
#
#   run-vm.sh --arch arm64|amd64 --kernel 6.1|5.10 --payload DIR
#             [--timeout SECONDS] [--append 'kernel args'] [--flavour cloud|generic]
#             [--cache DIR] [--log FILE]
#
# The console is copied to stdout and to the log (default:
# CACHE/logs/ARCH-VERSION-FLAVOUR.log, overwritten by the next run). Exits
# with the status that /init printed in its "SANDBOX-VM-STATUS <n>" line,
# 124 when the timeout expired first, 125 when the machine stopped without
# printing it, 2 when the machine could not be set up.
set -eu

die() { echo "run-vm.sh: $*" >&2; exit 2; }
here=$(cd "$(dirname "$0")" && pwd)

arch='' version='' payload='' timeout=600 append='' flavour=cloud log=''
cache=${SANDBOX_VM_CACHE:-$HOME/.cache/sandbox-vm}
while [ $# -gt 0 ]; do
  [ $# -ge 2 ] || die "option $1 needs a value"
  case $1 in
    --arch) arch=$2 ;;
    --kernel) version=$2 ;;
    --payload) payload=$2 ;;
    --timeout) timeout=$2 ;;
    --append) append=$2 ;;
    --flavour) flavour=$2 ;;
    --cache) cache=$2 ;;
    --log) log=$2 ;;
    *) die "unknown option $1" ;;
  esac
  shift 2
done
if [ -z "$arch" ] || [ -z "$version" ] || [ -z "$payload" ]; then
  die "usage: run-vm.sh --arch arm64|amd64 --kernel 6.1|5.10 --payload DIR [--timeout S] [--append ARGS] [--flavour cloud|generic] [--cache DIR] [--log FILE]"
fi
[ -d "$payload" ] || die "payload '$payload' is not a directory"
case $timeout in ''|*[!0-9]*) die "--timeout takes whole seconds" ;; esac

case $arch in
  # -cpu max triples the boot time of an arm64 machine.
  arm64) qemu=(qemu-system-aarch64 -M virt -cpu cortex-a57) console=ttyAMA0 pkg=qemu-system-arm ;;
  # microvm hangs with these kernels; q35 boots in a few seconds. SeaBIOS'
  # serial console is switched off: it resets the terminal that shows the log
  # (qemu warns about the item's name, harmlessly).
  amd64) qemu=(qemu-system-x86_64 -M q35 -cpu max -fw_cfg 'name=etc/sercon-port,string=0')
         console=ttyS0 pkg=qemu-system-x86 ;;
  *) die "unknown architecture '$arch'" ;;
esac
command -v "${qemu[0]}" >/dev/null || die "${qemu[0]} not found (apt-get install $pkg)"

kernel=$("$here/fetch.sh" "$arch" "$version" "$cache" "$flavour") || die "fetching the $arch $version kernel failed"
busybox=$(dirname "$kernel")/busybox

tmp=$(mktemp -d "${TMPDIR:-/tmp}/sandbox-vm.XXXXXX")
cleanup() {
  [ -z "${qemu_pid:-}" ] || kill "$qemu_pid" 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
[ -n "$log" ] || log=$cache/logs/$arch-$version-$flavour.log
mkdir -p "$(dirname "$log")"
: > "$log"
"$here/make-initramfs.sh" "$arch" "$busybox" "$payload" "$tmp/initrd.gz"

# panic=-1 with -no-reboot turns a kernel panic into a qemu exit.
start=$SECONDS
timeout -k 10 "$timeout" "${qemu[@]}" -m 1024 -smp 1 -nographic -nic none -no-reboot \
  -kernel "$kernel" -initrd "$tmp/initrd.gz" \
  -append "console=$console quiet panic=-1 $append" \
  </dev/null > >(tee "$log") 2>&1 &
qemu_pid=$!

# The machine powers itself off after the marker; should it linger, it is
# stopped after a grace period instead of waiting out the whole timeout.
marker_at=
while kill -0 "$qemu_pid" 2>/dev/null; do
  if [ -z "$marker_at" ] && grep -aq '^SANDBOX-VM-STATUS [0-9]' "$log" 2>/dev/null; then
    marker_at=$SECONDS
  elif [ -n "$marker_at" ] && [ $((SECONDS - marker_at)) -gt 20 ]; then
    echo "run-vm.sh: the machine did not power off after the marker; stopping it" >&2
    kill "$qemu_pid" 2>/dev/null || true
  fi
  sleep 0.5
done
rc=0
wait "$qemu_pid" || rc=$?
qemu_pid=
sleep 0.2  # let tee drain the last lines

status=$(tr -d '\r' < "$log" | sed -n 's/^SANDBOX-VM-STATUS \([0-9][0-9]*\)$/\1/p' | tail -n1)
elapsed=$((SECONDS - start))
if [ -n "$status" ]; then
  echo "run-vm.sh: $arch $version: suite exited with status $status after ${elapsed}s" >&2
  exit "$status"
fi
if [ "$rc" = 124 ] || [ "$rc" = 137 ]; then
  echo "run-vm.sh: $arch $version: no SANDBOX-VM-STATUS line within ${timeout}s; qemu was stopped (console log: $log)" >&2
  exit 124
fi
echo "run-vm.sh: $arch $version: qemu exited with status $rc after ${elapsed}s without a SANDBOX-VM-STATUS line (kernel panic or init failure? console log: $log)" >&2
exit 125
