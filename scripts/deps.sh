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

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
