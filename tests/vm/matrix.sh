#!/bin/bash
# Run the VM suite on both architectures and both kernels.
#
#   matrix.sh [-j JOBS] BUILD_X86_STATIC_DIR BUILD_ARM64_STATIC_DIR
#
# Each directory is a fully static build (its bin/ is the payload) or a bin
# directory itself. When the payload brings no run-suite, tests/vm/run-suite
# is used. JOBS machines run at once (default 2: each emulated machine keeps
# one host core busy); SANDBOX_VM_TIMEOUT bounds each machine (default 600 s).
# Every console goes to CACHE/logs/matrix-ARCH-VERSION.log, and a failed one
# is printed in full. Exits 1 if any machine failed.
set -eu

die() { echo "matrix.sh: $*" >&2; exit 2; }
here=$(cd "$(dirname "$0")" && pwd)
cache=${SANDBOX_VM_CACHE:-$HOME/.cache/sandbox-vm}
export SANDBOX_VM_CACHE=$cache

jobs=2
if [ "${1:-}" = -j ]; then jobs=${2:-}; shift 2 || true; fi
case $jobs in ''|0|*[!0-9]*) die "-j takes a positive number" ;; esac
[ $# = 2 ] || die "usage: matrix.sh [-j JOBS] BUILD_X86_STATIC_DIR BUILD_ARM64_STATIC_DIR"

tmp=$(mktemp -d "${TMPDIR:-/tmp}/sandbox-vm-matrix.XXXXXX")
# run-vm.sh stops its own qemu on SIGTERM.
trap 'cat "$tmp"/*.pid 2>/dev/null | xargs -r kill 2>/dev/null; rm -rf "$tmp"' EXIT
trap 'exit 130' INT TERM

# payload ARCH BUILD_DIR: stage the payload of one architecture
payload() {
  local bin=$2
  [ ! -d "$bin/bin" ] || bin=$bin/bin
  [ -x "$bin/sandbox" ] || die "$bin/sandbox not found: is $2 a static $1 build?"
  mkdir -p "$tmp/$1"
  cp -RL "$bin/." "$tmp/$1/"
  [ -e "$tmp/$1/run-suite" ] || cp "$here/run-suite" "$tmp/$1/run-suite"
}
payload amd64 "$1"
payload arm64 "$2"

# Fetch first, one at a time: the downloads share the cache.
vms="arm64:6.1 arm64:5.10 amd64:6.1 amd64:5.10"
for vm in $vms; do
  "$here/fetch.sh" "${vm%:*}" "${vm#*:}" "$cache" >/dev/null || die "fetching $vm failed"
done

run() {  # run ARCH VERSION: one machine, its result in $tmp/ARCH-VERSION.result
  local start=$SECONDS rc=0
  "$here/run-vm.sh" --arch "$1" --kernel "$2" --payload "$tmp/$1" \
    --timeout "${SANDBOX_VM_TIMEOUT:-600}" --log "$cache/logs/matrix-$1-$2.log" >/dev/null 2>"$tmp/$1-$2.err" &
  echo $! > "$tmp/$1-$2.pid"
  wait $! || rc=$?
  rm -f "$tmp/$1-$2.pid"
  echo "$rc $((SECONDS - start))" > "$tmp/$1-$2.result"
  echo "matrix.sh: $1 $2 finished: status $rc, $((SECONDS - start))s" >&2
}

start=$SECONDS
for vm in $vms; do
  while [ "$(jobs -pr | wc -l)" -ge "$jobs" ]; do wait -n || true; done
  run "${vm%:*}" "${vm#*:}" &
done
wait

result() {  # result ARCH-VERSION: sets rc and secs
  read -r rc secs < "$tmp/$1.result" 2>/dev/null || { rc=lost secs=-; }
}
failed=0
for vm in $vms; do
  result "${vm%:*}-${vm#*:}"
  [ "$rc" != 0 ] || continue
  failed=1
  echo "----- console of ${vm%:*} ${vm#*:} -----"
  cat "$cache/logs/matrix-${vm%:*}-${vm#*:}.log" "$tmp/${vm%:*}-${vm#*:}.err" 2>/dev/null || true
  echo "----- end of ${vm%:*} ${vm#*:} -----"
done
printf '%-6s %-6s %-7s %s\n' arch kernel status seconds
for vm in $vms; do
  result "${vm%:*}-${vm#*:}"
  printf '%-6s %-6s %-7s %s\n' "${vm%:*}" "${vm#*:}" "$rc" "$secs"
done
echo "matrix.sh: 4 machines in $((SECONDS - start))s, $jobs at a time"
exit "$failed"
