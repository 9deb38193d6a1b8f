# The two commands of this project. Each installs what it needs first.
.PHONY: test demo deps bench gateway-bench

deps:
	bash scripts/install-deps.sh

test: deps
	cmake --preset native
	cmake --build --preset native
	cmake --preset windows
	cmake --build --preset windows
	cmake --preset sanitize
	cmake --build --preset sanitize
	ctest --preset native
	ctest --preset sanitize

demo: deps
	cmake --preset native
	cmake --build --preset native
	bash scripts/demo.sh

# Reads per second against the simulator, next to the line's physical limit.
bench: deps
	cmake --preset native
	cmake --build --preset native --target read_bench
	build/native/tests/bench/read_bench --count 2000 --baud 0
	build/native/tests/bench/read_bench --count 200 --baud 9600

# The gateway under load: read latency of 32 clients and the poll cycle of 8 units.
gateway-bench: deps
	cmake --preset native
	cmake --build --preset native --target gateway_bench plexer optomux-sim
	build/native/tests/gateway/gateway_bench --clients 32 --seconds 20 --baud 9600 --baud 38400
