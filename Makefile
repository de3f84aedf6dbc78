# Front end for the CMake build. `make run` and `make test` work on a fresh
# Debian machine: they install what is missing, build, then run.

JOBS ?= $(shell nproc)
GENERATOR := $(shell command -v ninja >/dev/null 2>&1 && echo "-G Ninja")
CMAKE_FLAGS ?=

.PHONY: all deps e2e-deps bench-deps build deb test test-asan test-tsan e2e fuzz bench bench-proxy bench-squid run format clean windows

all: build

deps:
	bash scripts/install-deps.sh

# Chromium, Node.js and playwright-core for the end-to-end browser test.
e2e-deps:
	sh scripts/e2e-deps.sh

build: deps
	@test -f build/CMakeCache.txt || cmake -S . -B build $(GENERATOR) $(CMAKE_FLAGS)
	cmake --build build -j $(JOBS)

test: build
	@if command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 && command -v wine >/dev/null 2>&1; \
	  then $(MAKE) --no-print-directory windows; fi
	ctest --test-dir build --output-on-failure -j $(JOBS) --timeout 600

# The Windows module, cross-compiled with MinGW-w64 into build-win/ (PCRE2 is
# built from Debian's source package on the first run). `make test` runs its
# tests under Wine when wine is installed.
windows: deps
	@test -f build-win/CMakeCache.txt || cmake -S . -B build-win $(GENERATOR) \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release
	cmake --build build-win -j $(JOBS)

# AddressSanitizer + UndefinedBehaviorSanitizer over the whole suite.
test-asan: deps
	@test -f build-asan/CMakeCache.txt || cmake -S . -B build-asan $(GENERATOR) \
	  -DCMAKE_BUILD_TYPE=Debug -DCVIE_SANITIZE=address -DCVIE_BENCH=OFF
	cmake --build build-asan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir build-asan --output-on-failure -j $(JOBS) --timeout 900 -LE 'e2e|win'

# ThreadSanitizer over the concurrency tests (names contain "Concurren" or "Thread").
test-tsan: deps
	@test -f build-tsan/CMakeCache.txt || cmake -S . -B build-tsan $(GENERATOR) \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCVIE_SANITIZE=thread -DCVIE_BENCH=OFF
	cmake --build build-tsan -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan --output-on-failure \
	  -j $(JOBS) -R 'Concurren|Thread' --timeout 900

# libFuzzer targets; FUZZ_SECONDS bounds each run.
FUZZ_SECONDS ?= 60
fuzz: deps
	@test -f build-fuzz/CMakeCache.txt || CC=clang CXX=clang++ cmake -S . -B build-fuzz \
	  $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCVIE_FUZZ=ON -DCVIE_BENCH=OFF
	cmake --build build-fuzz -j $(JOBS) --target fuzzers
	bash scripts/run-fuzzers.sh build-fuzz $(FUZZ_SECONDS)

# The end-to-end test alone: the proxy in a real headless Chromium.
e2e: e2e-deps build
	ctest --test-dir build -L e2e --output-on-failure

bench: build
	bash scripts/run-benchmarks.sh build

# nginx as origin, wrk as load, Privoxy to compare with (bench-proxy only).
bench-deps:
	CVIE_BENCH_DEPS=1 bash scripts/install-deps.sh

# One run side by side: direct, cvie (bundled rules, the shared 52k-rule
# list) and Privoxy, rounds of 3, the table with ratios and limits.
bench-proxy: build bench-deps
	sh bench/proxy/table.sh build/cvie 10 3

# wrk through Squid with the eCAP adapter, Squid alone, cvie and direct, nginx
# as the origin.
bench-squid: build bench-deps
	sh bench/proxy/squid.sh build 10 64

# The Debian package build/cvie_<version>_<arch>.deb, made by CPack from the
# install rules (cmake/CviePackage.cmake): cvie, the Squid adapter, manual
# pages, user units, docs and the Squid examples.
deb: build
	cd build && cpack -G DEB

run: build
	./build/cvie proxy

format:
	git ls-files '*.cc' '*.h' | xargs clang-format -i

clean:
	rm -rf build build-asan build-tsan build-fuzz build-win
