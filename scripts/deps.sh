#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests and the demo need,
# calling apt-get only when something is missing.
set -euo pipefail

PACKAGES=(
  cmake ninja-build g++ pkg-config git
  qt6-base-dev qt6-base-dev-tools qt6-declarative-dev qt6-declarative-dev-tools
  qt6-tools-dev qt6-tools-dev-tools qt6-l10n-tools qt6-translations-l10n qt6-qpa-plugins
  qml6-module-qtqml qml6-module-qtquick qml6-module-qtquick-controls
  qml6-module-qtquick-layouts qml6-module-qtquick-window qml6-module-qtquick-templates
  qml6-module-qtqml-workerscript qml6-module-qtquick-dialogs libqt6svg6 libgl-dev
  libavformat-dev libavcodec-dev libavutil-dev libswscale-dev libswresample-dev ffmpeg
  libssl-dev openssl libcurl4-openssl-dev curl libarchive-dev libzip-dev
  python3 xvfb xauth unzip zip libarchive-tools fonts-dejavu-core libgl1-mesa-dri
  # A FAT drive for the raw export's tests, mounted through FUSE where the
  # kernel has no vfat.
  dosfstools fusefat
  clang libclang-rt-14-dev llvm
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

# A fresh machine often runs its own package updates in its first minutes:
# wait for the package manager rather than fail at once. apt-get itself waits
# for dpkg's lock (DPkg::Lock::Timeout) but not for the lists' or the
# archives' lock, so every lock is watched here before each step.
lock_wait="${ZU_APT_LOCK_WAIT:-900}"
apt_locks=(/var/lib/dpkg/lock-frontend /var/lib/dpkg/lock
  /var/lib/apt/lists/lock /var/cache/apt/archives/lock)

# Prints "<lock> is held by process <pid> (<name>)" for the first lock that a
# process holds, from the kernel's table of file locks; prints nothing when
# all are free.
lock_holder() {
  local f dev ino id pid name
  for f in "${apt_locks[@]}"; do
    [ -e "$f" ] || continue
    dev=$(stat -c %d "$f") ino=$(stat -c %i "$f")
    id=$(printf '%02x:%02x:%s' $(( (dev >> 8) & 0xfff | (dev >> 32) & ~0xfff )) \
      $(( (dev & 0xff) | (dev >> 12) & ~0xff )) "$ino")
    pid=$(awk -v id="$id" '$2 != "->" && $6 == id { print $5; exit }' /proc/locks 2>/dev/null)
    [ -n "$pid" ] || continue
    name=$(cat "/proc/$pid/comm" 2>/dev/null || echo "unknown")
    echo "$f is held by process $pid ($name)"
    return
  done
}

# Waits until no process holds a lock of the package manager, for at most
# lock_wait seconds from the start of the step (wait_start); fails naming
# the holder.
wait_for_apt() {
  local held said=-1
  while held=$(lock_holder) && [ -n "$held" ]; do
    waited=$((SECONDS - wait_start))
    if [ "$waited" -ge "$lock_wait" ]; then
      echo "deps.sh: the package manager is still busy after ${lock_wait} s: $held." >&2
      echo "deps.sh: run this command again once it has finished (or set ZU_APT_LOCK_WAIT to wait longer)." >&2
      exit 1
    fi
    if [ $((waited - said)) -ge 30 ] || [ "$said" -lt 0 ]; then
      echo "Waiting for the package manager: $held (waited ${waited} s of at most ${lock_wait} s)"
      said=$waited
    fi
    sleep 2
  done
  waited=$((SECONDS - wait_start))
}

# Another apt-get may take a lock between the check and the call: apt-get
# then waits for dpkg's lock, or fails on the others and is called again.
apt_run() {
  local left rc
  wait_start=$SECONDS
  while :; do
    wait_for_apt
    left=$((lock_wait - waited))
    [ "$left" -gt 0 ] || left=1
    rc=0
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get -o DPkg::Lock::Timeout="$left" "$@" || rc=$?
    [ "$rc" -ne 0 ] && [ -n "$(lock_holder)" ] || return "$rc"
  done
}

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  apt_run update -qq
  apt_run install -y -qq "${missing[@]}"
fi
