# Two commands matter: `make run` (launcher against the local stand-in service) and `make test`.
JOBS ?= 2
CMAKE_COMMON := -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: deps windows-deps test test-linux test-windows tsan coverage run run-nginx run-cdn screenshots bench fuzz install windows host-tools format clean

deps:
	@bash scripts/setup-deps.sh

# Both builds' suites: Linux, then Windows under Wine.
test: test-linux test-windows

# The layer order of the includes, the whole suite under AddressSanitizer and
# UndefinedBehaviorSanitizer, then every fuzz target for 20 seconds.
test-linux: deps
	python3 scripts/check-layers.py
	cmake -S . -B build/asan $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Debug -DQS_SANITIZE=address,undefined
	cmake --build build/asan -j $(JOBS)
	cd build/asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
		ctest --output-on-failure -j $(JOBS) --timeout 600
	bash scripts/fuzz.sh 20

# The Windows build's tests cross-compiled and run under Wine against the stand-in service on this
# machine, then the launcher itself under Wine and Xvfb (scripts/test-windows.sh).
test-windows: deps windows-deps host-tools
	@bash scripts/test-windows.sh

# The concurrency tests under ThreadSanitizer.
tsan: deps
	cmake -S . -B build/tsan $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Debug -DQS_SANITIZE=thread -DQS_BUILD_APP=OFF
	cmake --build build/tsan -j $(JOBS)
	cd build/tsan && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -j $(JOBS) -L concurrency

# Line and branch coverage of the product code by the Linux suite (gcc --coverage, gcovr).
coverage: deps
	@JOBS=$(JOBS) bash scripts/coverage.sh

run: deps
	@bash scripts/run.sh

# The same launcher against nginx serving what quillon-publish made of the demo content.
run-nginx: deps
	@bash scripts/run-nginx.sh

# The same launcher through the cache tier: TLS edge (nginx) -> Varnish -> origin nginx.
run-cdn: deps
	@bash scripts/run-cdn.sh

screenshots: deps
	@bash scripts/screenshots.sh

bench: deps
	@bash scripts/bench.sh

fuzz: deps
	@bash scripts/fuzz.sh

install: deps
	cmake -S . -B build/release $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Release -DQS_BUILD_TESTS=OFF
	cmake --build build/release -j $(JOBS)
	cmake --install build/release

windows-deps:
	@bash scripts/setup-windows-deps.sh

# Tools that run during the build (the image drawer), built for this machine.
host-tools: deps
	cmake -S . -B build/host-tools $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Release -DQS_BUILD_TESTS=OFF
	cmake --build build/host-tools --target qs_imagegen -j $(JOBS)

# The Windows launcher, cross-compiled with mingw-w64: build/windows/shell/quillon-launcher.exe.
# The service values are cache entries as on Linux, e.g.
#   cmake build/windows -DQS_SERVICE_HOST=... -DQS_SERVICE_CA_FILE=...
WINDOWS_CMAKE := -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
	-DQS_HOST_IMAGEGEN=$(CURDIR)/build/host-tools/tools/imagegen/qs_imagegen
windows: host-tools windows-deps
	cmake -S . -B build/windows $(WINDOWS_CMAKE) -DQS_BUILD_APP=ON -DQS_BUILD_TESTS=OFF
	cmake --build build/windows -j $(JOBS)

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build
