#!/bin/bash
# Run the VM suite on both architectures and both kernels, and once more on
# Debian's generic amd64 6.1 kernel booted with x32 system calls on (its
# default has them off, and the cloud kernels lack them), so that the test
# of the guard against x32 calls runs somewhere.
#
#   matrix.sh [-j JOBS] BUILD_X86_STATIC_DIR BUILD_ARM64_STATIC_DIR
#
# Each directory is a fully static build (its bin/ is the payload) or a bin
# directory itself. When the payload brings no run-suite, tests/vm/run-suite
# is used. JOBS machines run at once (default 2: each emulated machine keeps
# one host core busy); SANDBOX_VM_TIMEOUT bounds each machine (default 600 s).
# Every console goes to CACHE/logs/matrix-ARCH-VERSION[-FLAVOUR].log, and a
# failed one is printed in full. Exits 1 if any machine failed.
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

# ARCH:VERSION[:FLAVOUR]; the generic machine starts first, as it boots
# slowest.
vms="amd64:6.1:generic arm64:6.1 arm64:5.10 amd64:6.1 amd64:5.10"
split() {  # split VM: sets arch, version, flavour and name
  arch=${1%%:*} version=${1#*:} flavour=cloud
  case $version in *:*) flavour=${version#*:} version=${version%%:*} ;; esac
  name=$arch-$version
  [ "$flavour" = cloud ] || name=$name-$flavour
}
for vm in $vms; do
  split "$vm"
  "$here/fetch.sh" "$arch" "$version" "$cache" "$flavour" >/dev/null || die "fetching $vm failed"
done

run() {  # run VM: one machine, its result in $tmp/NAME.result
  local start=$SECONDS rc=0 arch version flavour name append=
  split "$1"
  [ "$flavour" != generic ] || append=syscall.x32=y
  "$here/run-vm.sh" --arch "$arch" --kernel "$version" --flavour "$flavour" --append "$append" \
    --payload "$tmp/$arch" --timeout "${SANDBOX_VM_TIMEOUT:-600}" --log "$cache/logs/matrix-$name.log" \
    >/dev/null 2>"$tmp/$name.err" &
  echo $! > "$tmp/$name.pid"
  wait $! || rc=$?
  rm -f "$tmp/$name.pid"
  echo "$rc $((SECONDS - start))" > "$tmp/$name.result"
  echo "matrix.sh: $arch $version $flavour finished: status $rc, $((SECONDS - start))s" >&2
}

start=$SECONDS
count=0
for vm in $vms; do
  while [ "$(jobs -pr | wc -l)" -ge "$jobs" ]; do wait -n || true; done
  run "$vm" &
  count=$((count + 1))
done
wait

result() {  # result NAME: sets rc and secs
  read -r rc secs < "$tmp/$1.result" 2>/dev/null || { rc=lost secs=-; }
}
failed=0
for vm in $vms; do
  split "$vm"
  result "$name"
  [ "$rc" != 0 ] || continue
  failed=1
  echo "----- console of $arch $version $flavour -----"
  cat "$cache/logs/matrix-$name.log" "$tmp/$name.err" 2>/dev/null || true
  echo "----- end of $arch $version $flavour -----"
done
printf '%-6s %-6s %-8s %-7s %s\n' arch kernel flavour status seconds
for vm in $vms; do
  split "$vm"
  result "$name"
  printf '%-6s %-6s %-8s %-7s %s\n' "$arch" "$version" "$flavour" "$rc" "$secs"
done
echo "matrix.sh: $count machines in $((SECONDS - start))s, $jobs at a time"
exit "$failed"
