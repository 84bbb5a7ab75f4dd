# The README's two commands: `make demo` and `make test`. Each first installs whatever
# Debian packages are missing, so both work on a fresh machine.

.PHONY: demo test build package

# A release binary, run on the example data against a state file in a temporary folder.
demo:
	scripts/install-deps
	cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUEN_TESTS=OFF
	cmake --build build/release --target quenvistrelctl
	scripts/demo build/release/apps/cli/quenvistrelctl

# Every test, built with AddressSanitizer and UndefinedBehaviorSanitizer, warnings as errors.
test:
	scripts/install-deps
	cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUEN_SANITIZE=ON -DQUEN_WERROR=ON
	cmake --build build/asan
	ctest --test-dir build/asan --output-on-failure
	fuzz/run-short 20

# A plain debug build with the tests, for day-to-day work.
build:
	scripts/install-deps
	cmake -S . -B build/debug -G Ninja -DCMAKE_BUILD_TYPE=Debug
	cmake --build build/debug

# The Debian package, from a release build: build/release/quenvistrelctl_<version>_amd64.deb
package:
	scripts/install-deps
	cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUEN_TESTS=OFF
	cmake --build build/release --target package
