#!/usr/bin/env bash
# Installs the Debian packages Ravnix needs to build and test, and only those
# that are missing. Safe to run again: with everything present it does nothing.
#   scripts/install-deps.sh          build + test packages
#   scripts/install-deps.sh fuzz     also the clang toolchain for libFuzzer
set -euo pipefail

# Every package the project uses, in one place.
BUILD_PACKAGES=(
  cmake g++ make pkg-config ccache locales
  libssl-dev nlohmann-json3-dev libasio-dev
  libavahi-client-dev libsecret-1-dev libx11-dev libxtst-dev libxrandr-dev qt6-base-dev
  libxcb1-dev libxcb-xtest0-dev libxcb-randr0-dev
  libglib2.0-dev libwayland-dev wayland-protocols
  libxkbcommon-dev libevdev-dev
  libgtest-dev libgmock-dev libbenchmark-dev
)
# Started by the integration tests themselves (tests/support/).
TEST_SERVICE_PACKAGES=(
  xvfb x11-utils x11-xserver-utils dbus avahi-daemon avahi-utils gnome-keyring libsecret-tools
  fonts-dejavu-core openbox xserver-xephyr
  iproute2 nftables
  xdg-desktop-portal mutter libglib2.0-bin python3-gi
  sway
  qt6-wayland
)
# `make deb` and its check in `make test`.
PACKAGING_PACKAGES=(dpkg-dev lintian)
FUZZ_PACKAGES=(clang-16 libclang-rt-16-dev)

wanted=("${BUILD_PACKAGES[@]}" "${TEST_SERVICE_PACKAGES[@]}" "${PACKAGING_PACKAGES[@]}")
for group in "$@"; do
  case "$group" in
    fuzz) wanted+=("${FUZZ_PACKAGES[@]}") ;;
    *) echo "install-deps: unknown group '$group'" >&2; exit 2 ;;
  esac
done

missing=()
for pkg in "${wanted[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$pkg")
done

if [[ ${#missing[@]} -eq 0 ]]; then
  exit 0
fi

SUDO=()
if [[ $(id -u) -ne 0 ]]; then
  command -v sudo >/dev/null || { echo "install-deps: need root or sudo to install: ${missing[*]}" >&2; exit 1; }
  SUDO=(sudo)
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${SUDO[@]}" apt-get update -q
"${SUDO[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
