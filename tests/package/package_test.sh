#!/usr/bin/env bash
# Packages a build folder with CPack and treats the package as a plant would:
# lintian, dpkg -i, the installed plexer and units, dpkg -r leaving only the
# edited conffile, dpkg -P leaving nothing. Installs into /, so it needs root
# and a machine without a plexer package of its own; skipped (77) otherwise.
#   package_test.sh BUILD_DIR
set -euo pipefail
skip() { echo "package_test: skipped: $*"; exit 77; }
fail() { echo "package_test: $*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || skip "dpkg -i needs root (CI runs as root)"
dpkg-query -W -f='${Status}' plexer 2>/dev/null | grep -qv 'not-installed' &&
  skip "a plexer package is already on this machine; remove it with dpkg -P plexer first"

work=$(mktemp -d)
trap 'dpkg -P plexer >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
run() { "$@" >"$work/log" 2>&1 || fail "$*: $(cat "$work/log")"; }
run cpack --config "$1/CPackConfig.cmake" -B "$work"
deb=$(echo "$work"/plexer_*.deb)
run lintian "$deb"  # fails on an error, not on a warning

depends=$(dpkg-deb -f "$deb" Depends)
for library in libc6 libstdc++6 libmodbus5 libmosquitto1 libprotobuf; do
  grep -q "$library" <<<"$depends" || fail "Depends lacks $library: $depends"
done
dpkg-deb -x "$deb" "$work/tree"
for program in usr/lib/qsnwndut/plexer usr/lib/qsnwndut/libqsnwndut.so usr/bin/optomux-sim; do
  ! readelf -S "$work/tree/$program" | grep -q '\.symtab' || fail "$program is not stripped"
done

run dpkg -i "$deb"
grep -q '^plexer ' <<<"$(/usr/bin/plexer --version)" || fail "the installed plexer --version"
for unit in plexer-gateway.service plexer-gateway@.service; do
  said=$(systemd-analyze verify "/usr/lib/systemd/system/$unit" 2>&1) && [ -z "$said" ] || fail "verify $unit: $said"
done

# A plant's edit of the settings outlives a removal; every other file goes.
conffile=/etc/plexer/gateway.json
echo "// edited on site" >>"$conffile"
run dpkg -r plexer
grep -q "edited on site" "$conffile" || fail "the edited $conffile did not survive dpkg -r"
left=$(cd "$work/tree" && find . ! -type d | cut -c2- | grep -vx "$conffile" |
       while read -r file; do [ -e "$file" ] || [ -L "$file" ] && echo "$file"; done || true)
[ -z "$left" ] || fail "left after dpkg -r: $left"
run dpkg -P plexer
[ ! -e /etc/plexer ] || fail "/etc/plexer left after dpkg -P"
echo "package_test: $(basename "$deb") installed, ran, verified, removed and purged"
