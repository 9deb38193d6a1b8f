# The two commands of this project. Each installs what it needs first.
.PHONY: test demo deps bench

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

# Only what the demo runs: plexer, the driver it loads and the simulator; no tests.
demo: deps
	cmake --preset native
	cmake --build --preset native --target plexer qsnwndut optomux-sim
	bash scripts/demo.sh

# Reads per second against the simulator, next to the line's physical limit.
bench: deps
	cmake --preset native
	cmake --build --preset native --target read_bench
	build/native/tests/bench/read_bench --count 2000 --baud 0
	build/native/tests/bench/read_bench --count 200 --baud 9600
