# The two commands of this project. Each installs what it needs first.
.PHONY: test demo deps

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
