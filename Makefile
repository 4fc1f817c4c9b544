# make run  ARGS="..."   install what is missing, build a release build, run the relay
# make test              install what is missing, build, run every test
# make test-asan / test-tsan   the test suite under AddressSanitizer+UBSan / ThreadSanitizer
# make bench             loopback throughput of the relay per protocol
# make cert              a self-signed certificate in relayhub.pem (never overwrites)
# make windows           cross-build build-windows/relayhub.exe with MinGW-w64 (and OpenSSL for it, once)
# make test-windows      the Windows build's tests under Wine, with an end-to-end smoke test

ARGS ?=
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: setup setup-test build run test test-asan test-tsan bench cert clean format windows test-windows

setup:
	@scripts/setup.sh

setup-test:
	@scripts/setup.sh --test

build: setup
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS) > /dev/null
	cmake --build build -j $(JOBS)

run: build
	build/relayhub $(ARGS)

test: setup-test
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DRELAYHUB_WERROR=ON $(CMAKE_FLAGS) > /dev/null
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

bench: build
	build/relay_bench 4 256 raw
	build/relay_bench 4 256 tls
	build/relay_bench 4 256 ws
	build/relay_bench 4 256 wss

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

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build build-asan build-tsan
