# make run  ARGS="..."   install what is missing, build the relay alone (no tests), run it
# make test              install what is missing (Chromium too), build everything, run every test
# make test-asan / test-tsan   the test suite under AddressSanitizer+UBSan / ThreadSanitizer
# make bench             fan-out speed beside ncat --broker and a node ws hub: BENCHMARKS.md and its chart
# make bench-stall       how long a client that stops reading holds the others (about 60 s)
# make fuzz              the fuzz targets (clang, ASan+UBSan) into build-fuzz/, each run FUZZ_SECONDS (default 60)
# make soak              the relay under churning clients for SOAK_SECONDS (default 600); samples and chart in build/soak/
# make cert              a self-signed certificate in relayhub.pem (never overwrites)
# make install           install under PREFIX (default /usr/local), into DESTDIR if given
# make deb               build/relayhub_<version>_<arch>.deb, for /usr
# make windows           cross-build build-windows/relayhub.exe with MinGW-w64 (and OpenSSL for it, once)
# make test-windows      the Windows build's tests under Wine, with an end-to-end smoke test
# make clean             remove every build folder
#
# run, install and deb share build/ with test: the test targets are switched
# off or on by RELAYHUB_TESTS at each configure, which leaves the relay's own
# objects as they are; the install prefix is set there too.

ARGS ?=
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
FUZZ_SECONDS ?= 60
SOAK_SECONDS ?= 600
PREFIX ?= /usr/local
DESTDIR ?=

.PHONY: setup setup-package setup-test build run test test-asan test-tsan bench bench-stall fuzz soak cert install deb \
  clean format windows test-windows

setup:
	@scripts/setup.sh

setup-package:
	@scripts/setup.sh --package

setup-test:
	@scripts/setup.sh --test

build: setup
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DRELAYHUB_TESTS=OFF $(CMAKE_FLAGS) > /dev/null
	cmake --build build -j $(JOBS) --target relayhub

run: build
	build/relayhub $(ARGS)

# The package tests check the layout of the Debian package, so /usr.
test: setup-test
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DRELAYHUB_WERROR=ON -DRELAYHUB_TESTS=ON \
	  -DCMAKE_INSTALL_PREFIX=/usr $(CMAKE_FLAGS) > /dev/null
	cmake --build build -j $(JOBS)
	cd build && ctest --output-on-failure -j $(JOBS)

test-asan: setup-test
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRELAYHUB_WERROR=ON \
	  -DRELAYHUB_SANITIZE=address,undefined $(CMAKE_FLAGS) > /dev/null
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  ctest --output-on-failure -j $(JOBS)

test-tsan: setup-test
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRELAYHUB_WERROR=ON \
	  -DRELAYHUB_SANITIZE=thread $(CMAKE_FLAGS) > /dev/null
	cmake --build build-tsan -j $(JOBS)
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ctest --output-on-failure -j $(JOBS)

bench-stall: build
	/usr/bin/python3 bench/stalled_client.py build/relayhub

# Debian's python3-matplotlib belongs to the system interpreter.
bench:
	@scripts/setup.sh --bench
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DRELAYHUB_TESTS=ON $(CMAKE_FLAGS) > /dev/null
	cmake --build build -j $(JOBS) --target relayhub relay_load
	/usr/bin/python3 bench/run.py --relay build/relayhub --load build/bench/relay_load

# New corpus entries go to build-fuzz/fuzz-corpus/, findings to build-fuzz/fuzz-findings/;
# the seeds in fuzz/corpus/ are only read. Fails on any finding.
fuzz:
	@scripts/setup.sh --fuzz
	CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRELAYHUB_WERROR=ON -DRELAYHUB_TESTS=OFF \
	  -DRELAYHUB_FUZZ=ON $(CMAKE_FLAGS) > /dev/null
	cmake --build build-fuzz -j $(JOBS) --target fuzz_targets
	fuzz/run.sh build-fuzz $(FUZZ_SECONDS)

# Not run by CI: it takes minutes and loads the machine.
soak: build
	@scripts/setup.sh --soak
	/usr/bin/python3 tests/soak/soak.py --relay build/relayhub --seconds $(SOAK_SECONDS) --out build/soak

windows:
	@scripts/setup-windows.sh
	@JOBS=$(JOBS) scripts/build-openssl-mingw.sh $(CURDIR)/build-windows/openssl
	cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
	  -DOPENSSL_ROOT_DIR=$(CURDIR)/build-windows/openssl -DCMAKE_BUILD_TYPE=Release -DRELAYHUB_WERROR=ON \
	  $(CMAKE_FLAGS) > /dev/null
	cmake --build build-windows -j $(JOBS)

test-windows: windows
	@JOBS=$(JOBS) scripts/test-windows.sh build-windows

cert:
	@scripts/make-cert.sh relayhub.pem

install: setup
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DRELAYHUB_TESTS=OFF -DCMAKE_INSTALL_PREFIX=$(PREFIX) \
	  $(CMAKE_FLAGS) > /dev/null
	cmake --build build -j $(JOBS)
	DESTDIR=$(DESTDIR) cmake --install build

deb: setup-package
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DRELAYHUB_TESTS=OFF -DCMAKE_INSTALL_PREFIX=/usr \
	  $(CMAKE_FLAGS) > /dev/null
	cmake --build build -j $(JOBS)
	cd build && cpack

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build build-asan build-tsan build-fuzz build-windows
