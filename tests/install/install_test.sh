#!/usr/bin/env bash
# Installs the build into a temporary DESTDIR and runs what was installed:
# plexer must find the driver and the logger library beside itself, the
# sample config must name only settings the gateway knows, and the unit must
# pass systemd's own check where systemd-analyze is present.
#   install_test.sh BUILD_DIR
set -euo pipefail
build=$1
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
prefix=/opt/plexer
DESTDIR=$root cmake --install "$build" --prefix "$prefix" >/dev/null
tree=$root$prefix

fail() { echo "install_test: $*" >&2; exit 1; }

for file in bin/plexer bin/optomux-sim lib/qsnwndut/plexer lib/qsnwndut/libqsnwndut.so \
            lib/qsnwndut/libkaldor.so lib/systemd/system/plexer-gateway.service lib/systemd/system/plexer-gateway@.service \
            etc/plexer/gateway.json; do
  [ -e "$tree/$file" ] || fail "$file was not installed"
done

# Not the build's copies: the logger library from the installed tree.
# Read whole first: grep -q stops early, and pipefail would count ldd's broken pipe.
linked=$(ldd "$tree/lib/qsnwndut/plexer")
grep -q "libkaldor.so => $tree/lib/qsnwndut/libkaldor.so" <<<"$linked" ||
  fail "the installed plexer does not take libkaldor.so from beside itself"
grep -q '^plexer ' <<<"$("$tree/bin/plexer" --version)" || fail "plexer --version"
"$tree/bin/plexer" validate 01AI1 >/dev/null || fail "the installed plexer cannot validate 01AI1"

# The sample without its comments, and without a port, so that --print-map only prints.
/usr/bin/python3 - "$tree/etc/plexer/gateway.json" "$root/sample.json" <<'PY'
import json, re, sys
config = json.loads(re.sub(r'//[^\n]*', '', open(sys.argv[1]).read()))
del config["line"]["port"]
json.dump(config, open(sys.argv[2], "w"))
PY
"$tree/bin/plexer" gateway --config "$root/sample.json" --print-map >/dev/null ||
  fail "the sample config is refused"

# The single unit reads gateway.json; the template's instance NAME reads NAME.json.
declare -A config_of=([plexer-gateway.service]=gateway.json [plexer-gateway@.service]=%i.json)
declare -A state_of=([plexer-gateway.service]=plexer-gateway [plexer-gateway@.service]=plexer-gateway/%i)
for name in "${!config_of[@]}"; do
  unit=$tree/lib/systemd/system/$name
  grep -q "^ExecStart=$prefix/bin/plexer gateway --config $prefix/etc/plexer/${config_of[$name]}\$" "$unit" ||
    fail "$name does not name the installed plexer and config: $(grep ExecStart "$unit")"
  # Its history store's folder, one per instance: each runs as a user of its own.
  grep -qx "StateDirectory=${state_of[$name]}" "$unit" ||
    fail "$name: not its own state folder: $(grep StateDirectory "$unit")"
  if command -v systemd-analyze >/dev/null; then
    # Its paths moved into the staged tree, where the programs are.
    sed "s|$prefix/|$tree/|g" "$unit" >"$root/$name"
    # It warns of unknown keys and bad values, and goes on: any word from it is a failure.
    # Its manual page is not where man looks until installed for real (the package test).
    said=$(systemd-analyze verify --man=no "$root/$name" 2>&1) && [ -z "$said" ] || fail "systemd-analyze verify $name: $said"
  else
    echo "install_test: no systemd-analyze here; $name was not verified"
  fi
done
