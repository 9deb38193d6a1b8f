#!/usr/bin/env bash
# Installs, idempotently, the Debian packages a purpose needs, and says what it
# installs: demo (plexer, the driver and the simulator built and run), package
# (make deb), or by default everything make test needs, with the i386
# architecture for the Windows tier's Wine.
#   install-deps.sh [demo|package|all]
set -euo pipefail
purpose=${1:-all}

build=(build-essential cmake ninja-build pkgconf googletest libgtest-dev libcli11-dev nlohmann-json3-dev
       libmodbus-dev libmosquitto-dev protobuf-compiler libprotobuf-dev)
case $purpose in
  demo) packages=("${build[@]}" mbpoll) ;;
  package) packages=("${build[@]}" dpkg-dev fakeroot lintian systemd) ;;
  all) packages=("${build[@]}" libtsan2 libbenchmark-dev g++-mingw-w64-i686 binutils-mingw-w64-i686
                 wine wine32:i386 clang libclang-rt-14-dev mbpoll python3-pymodbus
                 chromium chromium-driver python3-selenium python3-prometheus-client
                 mosquitto python3-paho-mqtt python3-protobuf
                 ser2net lintian dpkg-dev fakeroot libsqlite3-dev sqlite3 systemd) ;;
  *) echo "install-deps: no purpose $purpose (demo, package or all)" >&2; exit 2 ;;
esac

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi

if [ "$purpose" = all ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
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
[ "$purpose" = all ] || exit 0
if [ ! -d "$decoder/node_modules/sparkplug-payload" ] || [ "$decoder/package-lock.json" -nt "$decoder/node_modules" ]; then
  echo "install-deps: installing $decoder's npm packages"
  npm ci --prefix "$decoder" --no-audit --no-fund
fi
