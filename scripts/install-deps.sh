#!/usr/bin/env bash
# Installs the Debian 12 packages that building, running and testing Pondar need, skipping
# those already present. Runs as root (apt-get).
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libssl-dev zlib1g-dev libsimpleini-dev libdeflate-dev
  qt6-base-dev qt6-qpa-plugins libxcb1-dev libxcb-shm0-dev libxcb-randr0-dev
  libsystemd-dev libpipewire-0.3-dev
  xvfb xauth xclip xdotool x11-xserver-utils fonts-dejavu-core python3
  dbus-daemon pipewire wireplumber
  libgtest-dev libgmock-dev libbenchmark-dev
  iproute2 util-linux procps locales tcpdump
  desktop-file-utils systemd lintian man-db
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
fi

# A locale with a decimal comma, so the tests can prove sizes never pick up the user's separator.
if ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
  localedef -i de_DE -f UTF-8 de_DE.UTF-8 >&2 || echo "warning: could not build the de_DE.UTF-8 locale" >&2
fi
