# The two commands of this project. Each installs what it needs first.
.PHONY: test demo deps bench fuzz soak gateway-bench gateway-soak mqtt-bench history-bench attack install deb serial-soak serial-bench

deps:
	bash scripts/install-deps.sh

# Every tier, each configured, built and tested in turn; a failure does not stop
# the others, and the run ends by naming each tier that failed. TIERS="native tsan"
# runs only those presets.
test: deps
	bash scripts/run-tiers.sh $(TIERS)

# Only what the demo runs: plexer, the driver it loads and the simulator; no tests,
# and only the packages they need (no Wine, no Chromium).
demo:
	bash scripts/install-deps.sh demo
	cmake --preset native
	cmake --build --preset native --target plexer qsnwndut optomux-sim
	bash scripts/demo.sh

# Reads per second against the simulator, next to the line's physical limit.
bench: deps
	cmake --preset native
	cmake --build --preset native --target read_bench
	build/native/tests/bench/read_bench --count 2000 --baud 0
	build/native/tests/bench/read_bench --count 200 --baud 9600
	build/native/tests/bench/read_bench --count 300 --baud 38400
	if command -v strace >/dev/null; then tests/bench/syscalls_per_read.sh build/native/tests/bench/read_bench 300 38400; \
	else echo "bench: strace is not installed: system calls a read not counted"; fi

# Each libFuzzer target for FUZZ_SECONDS (ASan and UBSan); new inputs stay in the build folder.
FUZZ_SECONDS ?= 60
FUZZ_TARGETS = reply_fuzz blocks_fuzz sim_input_fuzz sim_config_fuzz gateway_request_fuzz gateway_framing_fuzz
fuzz: deps
	cmake --preset fuzz
	cmake --build --preset fuzz
	for target in $(FUZZ_TARGETS); do \
	  build/fuzz/tests/fuzz/$$target -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	    build/fuzz/tests/fuzz/corpus/$$target tests/fuzz/corpus/$$target || exit 1; \
	done

# The driver against simulated lines that drop and damage 5% of characters each.
SOAK_COUNT ?= 20000
SOAK_SEEDS ?= 1,1001,2001
soak: deps
	cmake --preset native
	cmake --build --preset native --target soak
	build/native/tests/bench/soak --count $(SOAK_COUNT) --lines 64 --drop 0.05 --corrupt 0.05 --seeds $(SOAK_SEEDS)

# The gateway under load, about three minutes in all; each run says what it is
# and the load average. Modbus read latency of 32 clients at 38400 beside a
# minimal libmodbus server; the same with the page's five endpoints polled 200
# times a second; CPU and context switches per line transaction with no client
# at 1, 8 and 64 units, at 9600 and 38400; reads per second with clients that
# never pause, at 8 units and at 64.
GATEWAY_BENCH = build/native/tests/gateway/gateway_bench
gateway-bench: deps
	cmake --preset native
	cmake --build --preset native --target gateway_bench plexer optomux-sim
	@echo "== Modbus latency: 32 clients every 10 ms, 8 units at 38400, page idle"
	$(GATEWAY_BENCH) --clients 32 --seconds 10 --baud 38400
	@echo "== the same clients against a minimal libmodbus server"
	$(GATEWAY_BENCH) --clients 32 --seconds 10 --server minimal
	@echo "== Modbus latency with the page polled 200 times a second (compare with the first run)"
	$(GATEWAY_BENCH) --clients 32 --seconds 10 --baud 38400 --page-rate 200
	@for units in 1 8 64; do \
		echo "== the line's own cost: no client, $$units units, at 9600 and 38400"; \
		$(GATEWAY_BENCH) --clients 0 --seconds 10 --units $$units --baud 9600 --baud 38400 || exit 1; \
	done
	@echo "== saturation: 32 clients that never pause, 8 units at 38400"
	$(GATEWAY_BENCH) --clients 32 --seconds 10 --period-ms 0 --units 8 --baud 38400
	@echo "== saturation: 32 clients that never pause, 64 units at 38400"
	$(GATEWAY_BENCH) --clients 32 --seconds 10 --period-ms 0 --units 64 --baud 38400

# The history store: rows a second beside a plain SQLite insert loop of the same
# rows, then the gateway's CPU and changes stored with 64 units x 16 points changing every poll,
# then store and forward over 5-minute outages.
history-bench: deps
	cmake --preset native
	cmake --build --preset native --target history_store_bench plexer optomux-sim
	build/native/tests/history/history_store_bench 10
	/usr/bin/python3 tests/history/gateway_bench.py build/native/plexer build/native/sim/optomux-sim 20
	cmake --build --preset native --target sparkplug_python
	HISTORY_OUTAGE_S=300 /usr/bin/python3 tests/history/forward_test.py build/native/plexer build/native/sim/optomux-sim \
		build/native/gateway/sparkplug/python tests/mqtt

# The gateway left running: 8 clients reading, 2 writing, a dead unit, and the
# simulator killed and restarted on the same link every 60 s.
GATEWAY_SOAK_SECONDS ?= 600
gateway-soak: deps
	cmake --preset native
	cmake --build --preset native --target gateway_soak plexer optomux-sim
	build/native/tests/gateway/gateway_soak --seconds $(GATEWAY_SOAK_SECONDS) --restart-every 60 --readers 8 --writers 2

# The gateway's faces under attack on loopback, at full size, under the systemd
# default of 1,024 descriptors: slowloris, idle and kept-open page connections,
# a 500 MB POST, refusals, an oversized DCMD, a FIFO at the config path.
attack: deps
	cmake --preset native
	cmake --build --preset native --target plexer optomux-sim sparkplug_python
	/usr/bin/python3 tests/attack/attack.py build/native/plexer build/native/sim/optomux-sim \
	  --pb-dir build/native/gateway/sparkplug/python

# plexer with its driver, the simulator, the systemd unit and a sample config:
# make install PREFIX=/usr/local (DESTDIR=... to stage).
PREFIX ?= /usr/local
install:
	cmake --preset native
	cmake --build --preset native --target plexer qsnwndut optomux-sim
	DESTDIR="$(DESTDIR)" cmake --install build/native --prefix "$(PREFIX)"

# The Debian package from a release build of only what it holds, checked by lintian:
# build/package/package/plexer_VERSION_ARCH.deb.
deb:
	bash scripts/install-deps.sh package
	cmake --preset package
	cmake --build --preset package
	cd build/package && cpack --config CPackConfig.cmake
	lintian build/package/package/*.deb

# Gateways each on their own simulated line publishing to one mosquitto: messages, latency, CPU.
MQTT_LINES ?= 16
mqtt-bench: deps
	cmake --preset native
	cmake --build --preset native --target plexer optomux-sim sparkplug_python
	/usr/bin/python3 tests/mqtt/mqtt_bench.py --plexer build/native/plexer --sim build/native/sim/optomux-sim \
	  --pb-dir build/native/gateway/sparkplug/python --lines $(MQTT_LINES) --seconds 20 --interval 100 --baud 38400

# The gateway behind ser2net (raw and RFC 2217 at once), ser2net killed and
# restarted every SERIAL_EVERY s: every recovery and every acknowledged write.
SERIAL_SOAK_SECONDS ?= 300
SERIAL_EVERY ?= 30
serial-soak: deps
	cmake --preset native
	cmake --build --preset native --target plexer qsnwndut optomux-sim
	/usr/bin/python3 tests/serial/serial_test.py build/native/plexer build/native/sim/optomux-sim \
	  --soak $(SERIAL_SOAK_SECONDS) --every $(SERIAL_EVERY)

# Poll cycle over ser2net beside the direct pseudo-terminal, at 9600 and 38400.
serial-bench: deps
	cmake --preset native
	cmake --build --preset native --target plexer qsnwndut optomux-sim
	/usr/bin/python3 tests/serial/serial_test.py build/native/plexer build/native/sim/optomux-sim --bench
