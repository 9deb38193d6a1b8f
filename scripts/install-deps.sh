#!/usr/bin/env bash
# Installs, idempotently, the Debian packages that building and testing need,
# and says what it installs. The Windows tier needs the i386 architecture.
set -euo pipefail

packages=(build-essential libtsan2 cmake ninja-build googletest libgtest-dev libbenchmark-dev
          g++-mingw-w64-i686 binutils-mingw-w64-i686 libcli11-dev nlohmann-json3-dev
          wine wine32:i386
          clang libclang-rt-14-dev libmodbus-dev mbpoll python3-pymodbus
          chromium chromium-driver python3-selenium python3-prometheus-client
          libmosquitto-dev protobuf-compiler libprotobuf-dev mosquitto python3-paho-mqtt python3-protobuf
          ser2net lintian dpkg-dev fakeroot libsqlite3-dev sqlite3 systemd)

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "install-deps: adding the i386 architecture (for wine32)"
  "${sudo_cmd[@]}" dpkg --add-architecture i386
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all packages present"
else
  echo "install-deps: installing ${missing[*]}"
  "${sudo_cmd[@]}" apt-get update -q
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -q "${missing[@]}"
fi

# The Sparkplug convention's reference decoder, from npm, at the version the lock file pins.
decoder="$(dirname "$0")/../tests/mqtt/js"
if [ ! -d "$decoder/node_modules/sparkplug-payload" ] || [ "$decoder/package-lock.json" -nt "$decoder/node_modules" ]; then
  echo "install-deps: installing $decoder's npm packages"
  npm ci --prefix "$decoder" --no-audit --no-fund
fi
