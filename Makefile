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
	# The portable kernels, which every target without vector code builds: the readers' unit
	# tests and the end-to-end cases once more, with the vector code switched off.
	cmake -S . -B build/portable -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUEN_SANITIZE=ON -DQUEN_WERROR=ON -DQUEN_VECTOR=OFF
	cmake --build build/portable --target quencore_contracts_test quenvistrel_contracts_test quenvistrel_classify_test quenvistrel_cli_test
	ctest --test-dir build/portable --output-on-failure -E '_NOT_BUILT|^cli[.]|^packaging[.]'
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
