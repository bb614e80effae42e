#!/usr/bin/env bash
# Installs the Debian package into a fresh Debian 12 root with apt and runs
# the programs from there: proves the package declares every library it needs.
#
#   scripts/test_deb.sh [--build-dir DIR] [PACKAGE.deb]
#
# Without a package, makes one with cpack in the build dir (default: build).
# The root, made with mmdebstrap, with what the package depends on installed
# by apt, is kept in DIR/deb-root and made again when the package's
# dependencies change or after a week; each run unpacks it afresh and installs
# the package into it. Needs root, and the Debian mirror (ZOR_DEB_MIRROR,
# default deb.debian.org) for a new root; without them it says why and exits
# 77 (skipped).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)

build=$top/build
deb=
while (($#)); do
  case $1 in
    --build-dir) build=$(realpath -m "$2"); shift 2 ;;
    -h|--help) sed -n '2,13s/^# \{0,1\}//p' "$0"; exit 0 ;;
    -*) echo "unknown option: $1" >&2; exit 2 ;;
    *) deb=$(realpath -m "$1"); shift ;;
  esac
done

skip() { echo "skipped: $*"; exit 77; }

[ "$(id -u)" = 0 ] || skip "needs root (a root file system is built and entered with chroot)"
unshare --mount --propagation private true 2>/dev/null || skip "no mount namespace can be made here"

mirror=${ZOR_DEB_MIRROR:-http://deb.debian.org/debian}
security=${ZOR_DEB_SECURITY_MIRROR:-http://deb.debian.org/debian-security}
need_mirror() {
  # host[:port] of the mirror for a quick reachability check.
  local hostport=${mirror#*://} host port=80
  hostport=${hostport%%/*}
  host=${hostport%%:*}
  [[ $hostport == *:* ]] && port=${hostport##*:}
  [[ $mirror == https://* && $hostport != *:* ]] && port=443
  timeout 10 bash -c "exec 3<>/dev/tcp/$host/$port" 2>/dev/null ||
    skip "the Debian mirror $mirror cannot be reached (no network)"
  if ! command -v mmdebstrap >/dev/null; then
    echo "Installing mmdebstrap"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends mmdebstrap >/dev/null ||
      skip "mmdebstrap is not installed and could not be installed"
  fi
}

if [ -z "$deb" ]; then
  [ -f "$build/CPackConfig.cmake" ] || { echo "no configured build in $build" >&2; exit 1; }
  out=$build/deb-package
  rm -rf "$out"
  (cd "$build" && cpack -G DEB -B "$out" >"$build/deb-package.log" 2>&1) ||
    { tail -n 30 "$build/deb-package.log"; echo "cpack failed" >&2; exit 1; }
  deb=$(ls "$out"/zor-firmware-upload_*.deb)
fi
[ -f "$deb" ] || { echo "no package: $deb" >&2; exit 1; }
echo "Package: $deb"
dpkg-deb --field "$deb" Package Version Depends

# The window is checked only when the package has it.
window=0
# grep reads everything: an early exit would break dpkg-deb's pipe.
if dpkg-deb --contents "$deb" | grep '/usr/bin/Zor_FirmwareUpload$' >/dev/null; then window=1; fi
if ((window)) && command -v desktop-file-validate >/dev/null; then
  desktop=$(mktemp --suffix=.desktop)
  dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/applications/Zor_FirmwareUpload.desktop >"$desktop"
  desktop-file-validate "$desktop" || { rm -f "$desktop"; exit 1; }
  rm -f "$desktop"
fi

# Each step inside the root, as a user would run it after installing.
checks=$(mktemp)
root=
trap 'rm -f "$checks"; [ -z "$root" ] || rm -rf "$root"' EXIT
cat >"$checks" <<EOF
set -eux
export DEBIAN_FRONTEND=noninteractive
apt-get install -y -q --no-install-recommends /tmp/zor.deb
for f in /usr/bin/zorfw /usr/bin/zor-devsim /usr/lib/udev/rules.d/70-zor-usb.rules; do
  test -f "\$f"
done
if ldd /usr/bin/zorfw /usr/bin/zor-devsim | grep 'not found'; then exit 1; fi
zorfw --help >/tmp/zorfw-help
grep -q zorfw /tmp/zorfw-help
zor-devsim --help >/dev/null
# A whole job: version and configuration of a simulated device over loopback.
zorfw info sim:coldfire >/tmp/zorfw-info
grep -q 'result: 0' /tmp/zorfw-info
if [ $window = 1 ]; then
  test -f /usr/share/applications/Zor_FirmwareUpload.desktop
  test -f /usr/share/icons/hicolor/scalable/apps/zor-firmware-upload.svg
  if ldd /usr/bin/Zor_FirmwareUpload | grep 'not found'; then exit 1; fi
  QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=/tmp timeout 60 Zor_FirmwareUpload --help >/tmp/window-help 2>&1
  grep -qi 'usage:.*Zor_FirmwareUpload' /tmp/window-help
  # The window for real: simulated devices, one selected and read, a picture saved.
  HOME=/tmp QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=/tmp timeout 120 \
    Zor_FirmwareUpload --simulate --select 'IP: 127.0.0.' --screenshot /tmp/window.png
  test -s /tmp/window.png
fi
EOF

# The root lives in memory when there is room: unpacking a few hundred
# packages onto a busy disk takes minutes, in memory seconds.
if [ -z "${TMPDIR:-}" ] && [ "$(df --output=avail -k /dev/shm 2>/dev/null | tail -n 1)" -gt 2000000 ] 2>/dev/null; then
  export TMPDIR=/dev/shm
fi

start=$(date +%s)
cache=$build/deb-root
mkdir -p "$cache/archives"
key=$({ dpkg-deb --field "$deb" Depends Pre-Depends; echo "$mirror $security"; } | sha256sum | cut -c 1-16)
ext=tar
command -v zstd >/dev/null && ext=tar.zst
base=$cache/bookworm-$key.$ext
if [ ! -f "$base" ] || [ -n "$(find "$base" -mtime +7)" ]; then
  need_mirror
  rm -f "$cache"/bookworm-*.tar* "$cache"/new-bookworm-*
  # Bookworm with its updates, as a freshly installed Debian 12, and what apt
  # installs for the package (which is removed again). Downloads stay in
  # archives/ for the next root.
  mmdebstrap --variant=apt --mode=root --skip=essential/unlink --dpkgopt=force-unsafe-io \
    --aptopt='Acquire::Languages "none"' \
    --setup-hook='mkdir -p "$1"/var/cache/apt/archives/' \
    --setup-hook="sync-in '$cache/archives' /var/cache/apt/archives/" \
    --customize-hook="copy-in '$deb' /tmp" \
    --customize-hook="chroot \"\$1\" apt-get install -y -q --no-install-recommends /tmp/$(basename "$deb")" \
    --customize-hook="chroot \"\$1\" dpkg --purge zor-firmware-upload" \
    --customize-hook="rm \"\$1\"/tmp/$(basename "$deb")" \
    --customize-hook="sync-out /var/cache/apt/archives '$cache/archives'" \
    bookworm "$cache/new-bookworm-$key.$ext" \
    "deb $mirror bookworm main" "deb $mirror bookworm-updates main" \
    "deb $security bookworm-security main" </dev/null
  mv "$cache/new-bookworm-$key.$ext" "$base"
fi

root=$(mktemp -d)
tar -C "$root" -xf "$base"
cp "$deb" "$root/tmp/zor.deb"
cp "$checks" "$root/tmp/checks.sh"
# /proc for the programs, mounted in a namespace of this run only: it goes
# away with it, and removing the root afterwards cannot reach the host.
unshare --mount --propagation private --fork sh -c \
  'mount -t proc proc "$1/proc" && exec chroot "$1" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root sh /tmp/checks.sh' \
  sh "$root" </dev/null
echo "The package installs and runs in a clean Debian 12 root ($(($(date +%s) - start)) s)."
