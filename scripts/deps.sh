# Installs the Debian packages the build, the app and the tests need (quick when present).
# Sourced by the other scripts.
NBD_PACKAGES=(
  cmake g++ pkg-config ninja-build qt6-base-dev qt6-websockets-dev qt6-httpserver-dev
  qcoro-qt6-dev qt6-svg-dev libgl-dev libxcb1-dev libxcb-keysyms1-dev libxcb-xfixes0-dev qt6-webengine-dev
  qt6-webchannel-dev xvfb xauth xdotool dbus-daemon dbus-x11 lsof git fonts-noto-core
  fonts-noto-cjk qt6-image-formats-plugins qt6-translations-l10n
  clang libclang-rt-14-dev
)

nbd_install_deps() {
  local missing=()
  for p in "${NBD_PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$p")
    fi
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
  fi
}
