#!/usr/bin/env bash
# Packages a build folder with CPack and treats the package as a plant would:
# lintian, dpkg -i, the installed plexer and units, dpkg -r leaving only the
# edited conffile, dpkg -P leaving nothing. Installs into /, so it needs root
# and a machine without a plexer package of its own; skipped (77) otherwise.
#   package_test.sh BUILD_DIR
set -euo pipefail
build=$1

skip() { echo "package_test: skipped: $*"; exit 77; }
fail() { echo "package_test: $*" >&2; exit 1; }

[ "$(id -u)" -eq 0 ] || skip "dpkg -i needs root (CI runs as root)"
if dpkg-query -W -f='${Status}' plexer 2>/dev/null | grep -qv 'not-installed'; then
  skip "a plexer package is already on this machine; remove it with dpkg -P plexer first"
fi

work=$(mktemp -d)
trap 'dpkg -P plexer >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
cpack --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" || fail "cpack: $(cat "$work/cpack.log")"
deb=$(echo "$work"/plexer_*.deb)
[ -f "$deb" ] || fail "cpack made no package: $(cat "$work/cpack.log")"

# lintian exits non-zero on an error, not on a warning.
lintian "$deb" >"$work/lintian.log" 2>&1 || fail "lintian: $(cat "$work/lintian.log")"

depends=$(dpkg-deb -f "$deb" Depends)
for library in libc6 libstdc++6 libmodbus5 libmosquitto1 libprotobuf; do
  grep -q "$library" <<<"$depends" || fail "Depends lacks $library: $depends"
done
dpkg-deb -x "$deb" "$work/tree"
for program in usr/lib/qsnwndut/plexer usr/bin/optomux-sim usr/lib/qsnwndut/libqsnwndut.so; do
  ! readelf -S "$work/tree/$program" | grep -q '\.symtab' || fail "$program is not stripped"
done

dpkg -i "$deb" >"$work/dpkg.log" 2>&1 || fail "dpkg -i: $(cat "$work/dpkg.log")"
grep -q '^plexer ' <<<"$(/usr/bin/plexer --version)" || fail "the installed plexer --version"
/usr/bin/plexer validate 01AI1 >/dev/null || fail "the installed plexer cannot load its driver"
for unit in plexer-gateway.service plexer-gateway@.service; do
  said=$(systemd-analyze verify "/usr/lib/systemd/system/$unit" 2>&1) && [ -z "$said" ] ||
    fail "systemd-analyze verify $unit: $said"
done

# A plant's edit of the settings must outlive a removal; every other file goes.
conffile=/etc/plexer/gateway.json
echo "// edited on site" >>"$conffile"
dpkg -r plexer >"$work/dpkg.log" 2>&1 || fail "dpkg -r: $(cat "$work/dpkg.log")"
[ "$(dpkg-query -W -f='${Status}' plexer)" = "deinstall ok config-files" ] || fail "not left as config-files"
grep -q "edited on site" "$conffile" || fail "the edited $conffile did not survive dpkg -r"
left=$(cd "$work/tree" && find . ! -type d | sed 's|^\.||' | while read -r file; do
  [ "$file" = "$conffile" ] || [ ! -e "$file" ] && [ ! -L "$file" ] || echo "$file"; done)
[ -z "$left" ] || fail "left after dpkg -r: $left"
for dir in /usr/lib/qsnwndut /usr/share/doc/plexer; do [ ! -e "$dir" ] || fail "$dir left after dpkg -r"; done

dpkg -P plexer >"$work/dpkg.log" 2>&1 || fail "dpkg -P: $(cat "$work/dpkg.log")"
[ ! -e /etc/plexer ] || fail "/etc/plexer left after dpkg -P"
echo "package_test: $(basename "$deb") installed, ran, verified, removed and purged"
