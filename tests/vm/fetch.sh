#!/bin/bash
# Fetch a Debian kernel and busybox-static for a test VM into a cache.
#
#   fetch.sh ARCH VERSION CACHE_DIR [FLAVOUR]
#
# ARCH is arm64 or amd64, VERSION is 6.1 (bookworm) or 5.10 (bullseye),
# FLAVOUR is cloud (default) or generic. Prints the path of the cached kernel.
#
# apt runs with private lists, cache, status and sources, so the host's own
# package state is neither read for resolution nor changed, and the host needs
# no foreign architecture configured. The mirror is the one the machine's own
# apt sources name, so a local mirror or caching proxy set up there is used
# here too; the machine's apt.conf.d (a proxy, say) keeps applying.
set -eu

die() { echo "fetch.sh: $*" >&2; exit 1; }

[ $# -ge 3 ] || die "usage: fetch.sh arm64|amd64 6.1|5.10 CACHE_DIR [cloud|generic]"
arch=$1 version=$2 cache=$3 flavour=${4:-cloud}

case $arch in arm64|amd64) ;; *) die "unknown architecture '$arch'" ;; esac
case $version in
  6.1) release=bookworm ;;
  5.10) release=bullseye ;;
  *) die "unknown kernel version '$version' (6.1 or 5.10)" ;;
esac
case $flavour in
  cloud) meta=linux-image-cloud-$arch ;;
  generic) meta=linux-image-$arch ;;
  *) die "unknown flavour '$flavour' (cloud or generic)" ;;
esac

dest=$cache/$arch-$version
[ "$flavour" = cloud ] || dest=$dest-$flavour
if [ -s "$dest/vmlinuz" ] && [ -x "$dest/busybox" ]; then
  echo "$dest/vmlinuz"
  exit 0
fi

keyring=/usr/share/keyrings/debian-archive-keyring.gpg
[ -r "$keyring" ] || die "$keyring is missing (install debian-archive-keyring)"
command -v apt-get >/dev/null || die "apt-get not found"
command -v dpkg-deb >/dev/null || die "dpkg-deb not found"

# The machine's apt sources say which mirror of the Debian archive it reaches
# (a local mirror, a caching proxy, the public one); the VM's releases are
# fetched from the same place. apt reads both the one-line and the deb822
# formats; --no-release-info lists repositories whose lists were never
# downloaded too. A repository counts as Debian's when its suite is this
# machine's Debian codename (or -updates, -security), and, where its Release
# file is at hand, its origin is Debian: a third-party repository for the
# same release (Raspberry Pi's, say) is left out, and its packages would not
# pass Debian's keyring anyway. A cdrom: source holds only its own release.
host_mirrors() {  # -> sets $main_uri and $security_uri (may be empty)
  local os_release=/etc/os-release id codename repos origins
  [ -r "$os_release" ] || os_release=/usr/lib/os-release
  id=$(sed -n 's/^ID=//p' "$os_release" 2>/dev/null | tr -d '"')
  codename=$(sed -n 's/^VERSION_CODENAME=//p' "$os_release" 2>/dev/null | tr -d '"')
  [ "$id" = debian ] && [ -n "$codename" ] ||
    die "this machine is not Debian with a release codename (ID='$id' VERSION_CODENAME='$codename' in $os_release), so its apt sources name no Debian mirror to fetch from"
  repos=$(apt-get indextargets --no-release-info --format '$(REPO_URI) $(RELEASE)') ||
    die "apt-get indextargets could not read the machine's apt sources"
  # Only repositories with a downloaded Release file appear here.
  origins=$(apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(ORIGIN)' 2>/dev/null) || origins=
  read -r main_uri security_uri < <(
    awk -v c="$codename" '
      FNR == 1 { file++ }
      file == 1 { o = $0; sub(/^[^ ]* [^ ]* /, "", o); origin[$1 " " $2] = o; next }
      $1 ~ /^cdrom:/ || (($1 " " $2) in origin && origin[$1 " " $2] != "Debian") { next }
      $2 == c && main == "" { main = $1 }
      $2 == c "-updates" && updates == "" { updates = $1 }
      $2 == c "-security" && security == "" { security = $1 }
      END {
        if (main == "") main = updates
        print (main == "" ? "-" : main), (security == "" ? "-" : security)
      }' <(printf '%s\n' "$origins") <(printf '%s\n' "$repos"))
  [ -n "$main_uri" ] && [ "$main_uri" != - ] ||
    die "no Debian archive in the machine's apt sources: looked for a repository with suite $codename or $codename-updates (origin Debian, if its Release file is at hand) in 'apt-get indextargets'"
  if [ -z "$security_uri" ] || [ "$security_uri" = - ]; then
    security_uri=
    echo "fetch.sh: no $codename-security repository in the machine's apt sources, going on without security updates" >&2
  fi
}

# One private apt root per architecture and release; its lists are kept, so
# a second kernel of the same release does not download them again.
apt_for() {  # release -> sets $apt (option list) after refreshing the lists
  local root=$cache/apt/$arch-$1 fresh=
  mkdir -p "$root/lists/partial" "$root/cache/archives/partial" "$root/empty"
  {
    for suite in "$1" "$1-updates"; do
      echo "deb [signed-by=$keyring] $main_uri $suite main"
    done
    [ -z "$security_uri" ] ||
      echo "deb [signed-by=$keyring] $security_uri $1-security main"
  } > "$root/sources.list.new"
  # Lists kept from another mirror would not be found under this one's names.
  cmp -s "$root/sources.list.new" "$root/sources.list" || fresh=yes
  mv "$root/sources.list.new" "$root/sources.list"
  apt=(-q -oAPT::Architecture="$arch" -oAPT::Architectures="$arch"
       -oDir::State::Lists="$root/lists" -oDir::Cache="$root/cache"
       -oDir::State::Status=/dev/null
       # Old suites may carry an expired Release date; the signature still counts.
       -oAcquire::Check-Valid-Until=false
       -oDir::Etc::SourceList="$root/sources.list" -oDir::Etc::SourceParts="$root/empty"
       -oDir::Etc::Preferences=/dev/null -oDir::Etc::PreferencesParts="$root/empty")
  # apt would otherwise drop to _apt, which cannot write into a root-owned cache.
  [ "$(id -u)" != 0 ] || apt+=(-oAPT::Sandbox::User=root)
  # Lists younger than a day are good enough for a test kernel. The options
  # above leave Dir::Etc::Parts alone, so apt.conf.d settings still apply.
  if [ -n "$fresh" ] ||
     [ -z "$(find "$root/lists" -maxdepth 1 -name '*_Packages*' -mmin -1440 2>/dev/null | head -n1)" ]; then
    echo "fetch.sh: updating $1 lists for $arch from $main_uri${security_uri:+ and $security_uri}" >&2
    apt-get "${apt[@]}" update >&2 || die "apt-get update failed for $1/$arch"
  fi
}

work=$(mktemp -d "${TMPDIR:-/tmp}/sandbox-vm-fetch.XXXXXX")
trap 'rm -rf "$work"' EXIT

# download PACKAGE[=VERSION]: fetch its .deb into $work/debs and unpack it
# into $work/root
download() {
  local name=${1%%=*} deb
  rm -rf "$work/debs" && mkdir -p "$work/debs" "$work/root"
  (cd "$work/debs" && apt-get "${apt[@]}" download "$1" >&2) || return 1
  deb=$(ls "$work/debs/$name"_*.deb) || return 1
  dpkg-deb -x "$deb" "$work/root"
  echo "$(basename "$deb") $(stat -c %s "$deb")" >> "$work/packages"
}

host_mirrors
apt_for "$release"
# Each version of the metapackage names one kernel ABI, e.g.
# linux-image-6.1.0-37-cloud-arm64. The newest one listed is not always
# downloadable (a mirror may lack the security pool), so older ones are tried
# in turn. The unsigned package is the same kernel without the Secure Boot
# signature; the signed one is the fallback.
found=
for ver in $(apt-cache "${apt[@]}" madison "$meta" | awk -F'|' '{gsub(/ /, "", $2); print $2}'); do
  image=$(apt-cache "${apt[@]}" show "$meta=$ver" | sed -n 's/^Depends: \(linux-image-[0-9][^ ,]*\).*/\1/p' | head -n1)
  [ -n "$image" ] || continue
  for pkg in "$image-unsigned" "$image"; do
    echo "fetch.sh: downloading $pkg $ver" >&2
    if download "$pkg=$ver" 2>/dev/null; then found=$pkg; break 2; fi
    echo "fetch.sh: $pkg $ver is listed but not downloadable, trying older" >&2
  done
done
[ -n "$found" ] || die "no downloadable $meta kernel in $release for $arch"

# One busybox serves both kernels: the newest static build.
[ "$release" = bookworm ] || apt_for bookworm
download busybox-static || die "apt-get download busybox-static failed ($arch)"

mkdir -p "$dest"
kernel=$(ls "$work"/root/boot/vmlinu[xz]-* 2>/dev/null | head -n1)
[ -n "$kernel" ] || die "no kernel image in $found"
cp "$work/root/bin/busybox" "$dest/busybox.new"
cp "$kernel" "$dest/vmlinuz.new"
cp "$work/packages" "$dest/packages"
mv "$dest/busybox.new" "$dest/busybox"
mv "$dest/vmlinuz.new" "$dest/vmlinuz"
echo "$dest/vmlinuz"
