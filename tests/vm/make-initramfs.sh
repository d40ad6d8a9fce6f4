#!/bin/bash
# Build the initramfs of a test VM.
#
#   make-initramfs.sh ARCH BUSYBOX PAYLOAD_DIR OUT.cpio.gz [DEFAULT_COMMAND]
#
# The image holds busybox, the payload under /opt/sandbox and an /init that
# runs /opt/sandbox/run-suite, prints "SANDBOX-VM-STATUS <status>" on the
# console and powers the machine off. A `sandbox_cmd=...` kernel argument
# replaces run-suite (the kernel hands unknown arguments to init as
# environment variables); DEFAULT_COMMAND is run when neither exists.
set -eu

die() { echo "make-initramfs.sh: $*" >&2; exit 1; }

[ $# -ge 4 ] || die "usage: make-initramfs.sh arm64|amd64 BUSYBOX PAYLOAD_DIR OUT.cpio.gz [DEFAULT_COMMAND]"
arch=$1 busybox=$2 payload=$3 out=$4 default_cmd=${5:-}

[ -x "$busybox" ] || die "busybox '$busybox' is not an executable file"
[ -d "$payload" ] || die "payload '$payload' is not a directory"
command -v cpio >/dev/null || die "cpio not found (apt-get install cpio)"

# busybox lists its own applets; a foreign one runs under user emulation.
case $arch-$(uname -m) in
  amd64-x86_64|arm64-aarch64) run=() ;;
  amd64-*) run=(qemu-x86_64-static) ;;
  arm64-*) run=(qemu-aarch64-static) ;;
  *) die "unknown architecture '$arch'" ;;
esac
applets=$("${run[@]}" "$busybox" --list-full) || die "cannot run $busybox ${run[*]:+under ${run[*]}}"

root=$(mktemp -d "${TMPDIR:-/tmp}/sandbox-vm-root.XXXXXX")
trap 'rm -rf "$root"' EXIT
# mktemp made it 0700, and it becomes the machine's "/": tests that run a
# program as another user need to get through it.
chmod 755 "$root"
mkdir -p "$root"/{bin,sbin,dev,proc,sys,tmp,etc,root,opt/sandbox}
cp "$busybox" "$root/bin/busybox"
chmod 755 "$root/bin/busybox"

# Hard links rather than symlinks, so that every applet is a path of its own
# and resolving /bin/cat yields /bin/cat: path checks see no detour.
for path in $applets; do
  name=${path##*/}
  case $path in *sbin/*) dir=sbin ;; *) dir=bin ;; esac
  [ -e "$root/$dir/$name" ] || ln "$root/bin/busybox" "$root/$dir/$name"
done

cp -RL "$payload/." "$root/opt/sandbox/"

printf 'root:x:0:0:root:/root:/bin/sh\nnobody:x:65534:65534:nobody:/nonexistent:/bin/false\n' > "$root/etc/passwd"
printf 'root:x:0:\nnogroup:x:65534:\n' > "$root/etc/group"
printf '127.0.0.1 localhost\n::1 localhost\n' > "$root/etc/hosts"

# /init must never exit: the kernel panics when it does, and the marker is
# how the host learns the outcome. So there is no `set -e` here.
{
  echo '#!/bin/sh'
  printf 'default_cmd=%s\n' "$(printf '%s' "$default_cmd" | sed "s/'/'\\\\''/g; s/^/'/; s/\$/'/")"
  cat <<'EOF'
# A plain terminal type keeps colour escapes out of the console log.
export PATH=/bin:/sbin:/opt/sandbox HOME=/root TERM=dumb
mount -t proc proc /proc || echo "init: mounting /proc failed"
mount -t sysfs sysfs /sys || echo "init: mounting /sys failed"
mount -t devtmpfs devtmpfs /dev || echo "init: mounting /dev failed"
mkdir -p /dev/pts /dev/shm
# devtmpfs lacks the links that udev adds on a full system; programs and
# tests expect them.
ln -sfn /proc/self/fd /dev/fd
ln -sf /proc/self/fd/0 /dev/stdin
ln -sf /proc/self/fd/1 /dev/stdout
ln -sf /proc/self/fd/2 /dev/stderr
mount -t devpts -o gid=5,mode=620,ptmxmode=666 devpts /dev/pts || echo "init: mounting /dev/pts failed"
mount -t tmpfs -o mode=1777 tmpfs /tmp || echo "init: mounting /tmp failed"
mount -t tmpfs -o mode=1777 tmpfs /dev/shm || echo "init: mounting /dev/shm failed"
# The kernel opened the console before /dev was populated; reopen it so the
# suite's output surely reaches the serial line.
[ -c /dev/console ] && exec </dev/console >/dev/console 2>&1
hostname sandbox-vm
ip link set lo up || echo "init: bringing up lo failed"
ping -c 1 -W 2 127.0.0.1 >/dev/null 2>&1 || echo "init: 127.0.0.1 does not answer"
cd /tmp

if [ -n "${sandbox_cmd:-}" ]; then
  sh -c "$sandbox_cmd"
elif [ -x /opt/sandbox/run-suite ]; then
  /opt/sandbox/run-suite </dev/null
elif [ -n "$default_cmd" ]; then
  sh -c "$default_cmd"
else
  echo "init: /opt/sandbox/run-suite is missing and no command was given"
  false
fi
status=$?
printf '\nSANDBOX-VM-STATUS %s\n' "$status"
sync
poweroff -f
# Should poweroff fail, idle rather than let the kernel panic.
while :; do sleep 3600; done
EOF
} > "$root/init"
chmod 755 "$root/init"

mkdir -p "$(dirname "$out")"
(cd "$root" && find . | LC_ALL=C sort | cpio --quiet -o -H newc -R 0:0 | gzip -1) > "$out.tmp" \
  || die "cpio failed"
mv "$out.tmp" "$out"
