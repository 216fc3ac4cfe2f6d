#!/usr/bin/env bash
# Installs every Debian package the project needs. Safe to run again: packages
# already present are skipped and the package index is refreshed at most once.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev ccache
  qt6-base-dev
  libturbojpeg0-dev libpng-dev libyuv-dev nlohmann-json3-dev libgtest-dev libgmock-dev libbenchmark-dev
  libboost-dev libspdlog-dev
  # the server agents dial out to (TLS, its device registry's database), and its tests: a Unix-socket
  # bridge into a network namespace
  libssl-dev libsqlite3-dev openssl socat iproute2
  # servers that work as one share their device keys, directory and guess budgets in Redis
  libhiredis-dev redis-server
  # device signatures checked strictly (no keys of small order, no second encodings)
  libsodium-dev
  xvfb xauth xdotool x11-utils imagemagick fonts-noto-cjk procps dbus-x11
  # keyboard layouts the input tests switch between (setxkbmap and its data)
  x11-xkb-utils xkb-data
  # the reference agent's viewer: a desktop with some content for ./run, browser tests
  x11-xserver-utils xterm openbox chromium
  # the X client library of capture, input and the permission probe (XCB survives its server going away)
  libxcb1-dev libxcb-shm0-dev libxcb-damage0-dev libxcb-xfixes0-dev libxcb-randr0-dev libxcb-xtest0-dev
  libxcb-keysyms1-dev libxcb-xinput-dev x11proto-dev
  # the wlroots backend (client library, protocol scanner, keymaps) and the headless sway its tests run,
  # with wl-clipboard to read back what was put on the clipboard
  libwayland-dev libxkbcommon-dev sway swaybg wl-clipboard
  # the window in a Wayland session without Xwayland
  qt6-wayland
  # Xlib and its XTest, with which test and benchmark programs play the user's part
  libx11-dev libxtst-dev
  # the picture over a limited link (bench/picture_link.sh): a peer to compare with (x11vnc, noVNC
  # through websockify) and the desktop it shows (a Tk program drawing photo-like pictures)
  x11vnc novnc websockify python3-tk python3-pil python3-pil.imagetk
  # capture benchmark comparison (bench/capture_compare.sh)
  ffmpeg gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good x11-xserver-utils
  locales
  xdg-utils dbus-daemon
  # the launcher's checker, and a small XEmbed tray host for the tray tests and screenshot
  desktop-file-utils trayer
  # GNOME on Wayland: the compositor's remote-desktop interfaces over GDBus, frames over PipeWire, and a
  # headless compositor with its PipeWire daemon for the tests
  libglib2.0-dev libpipewire-0.3-dev mutter pipewire wireplumber
)
# Node.js and npm drive the browser tests; a Node.js already on the machine (with its own npm) is kept.
if ! command -v npm >/dev/null 2>&1; then PACKAGES+=(nodejs npm); fi

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The browser tests' npm packages, exactly as locked.
"$(dirname "$0")/setup-e2e.sh"

# The viewer page's sealing libraries and their bundler, exactly as locked (a build installs them too
# when they are missing).
web="$(cd "$(dirname "$0")/../agent-helper/web" && pwd)"
if ! cmp -s "$web/package-lock.json" "$web/node_modules/.installed-package-lock.json" 2>/dev/null; then
  npm ci --prefix "$web" --no-audit --no-fund --no-update-notifier --loglevel=error
  cp "$web/package-lock.json" "$web/node_modules/.installed-package-lock.json"
fi
