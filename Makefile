# Developer entry points. As root on a fresh Debian machine these do all the
# set-up: missing Debian packages are installed (and only those).
#
#   make run     build and run `oscprobe status` on this machine
#   make test    build and run the whole test suite (plus the fuzz smoke runs)
#   make sanitize  the test suite under AddressSanitizer/UBSan and ThreadSanitizer
#   make test-clang  the test suite built by clang
#   make bench   optimised build, then the benchmarks
#   make fuzz    every fuzz target for FUZZ_SECONDS (default 60) each
#   make valgrind  the test executables of the dev build under memcheck
#   make deb     Debian packages in build/deb (tests run unless
#                DEB_BUILD_OPTIONS=nocheck), checked by lintian
#   make symbols  refresh debian/liboscprobe1.symbols and liboscprobe-net1.symbols
#                after an interface change

PACKAGES := cmake ninja-build make g++ clang libclang-rt-14-dev pkg-config \
            libgtest-dev libgmock-dev libbenchmark-dev libinih-dev zlib1g-dev \
            libcli11-dev nlohmann-json3-dev libsystemd-dev iproute2 util-linux e2fsprogs binutils \
            valgrind dbus-daemon python3-dbusmock

JOBS ?= $(shell nproc)

.PHONY: deps run test test-dev test-fuzz test-clang sanitize bench fuzz valgrind deb symbols clean

deps:
	@missing=$$(for p in $(PACKAGES); do \
	    dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed$$' || echo $$p; \
	  done); \
	if [ -n "$$missing" ]; then \
	  echo "Installing missing packages:" $$missing; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $$missing; \
	fi

run: deps
	cmake --preset dev >/dev/null
	cmake --build --preset dev -j $(JOBS) --target oscprobe_cli
	@# Exit status 1 only means some probe said no-go on this machine.
	./build/dev/cli/oscprobe status || [ $$? -eq 1 ]

test: test-dev test-fuzz

test-dev: deps
	cmake --preset dev
	cmake --build --preset dev -j $(JOBS)
	ctest --preset dev -j $(JOBS)

test-fuzz: deps
	cmake --preset fuzz
	cmake --build --preset fuzz -j $(JOBS)
	ctest --preset fuzz -j $(JOBS)

test-clang: deps
	cmake --preset clang
	cmake --build --preset clang -j $(JOBS)
	ctest --preset clang -j $(JOBS)

sanitize: deps
	cmake --preset asan && cmake --build --preset asan -j $(JOBS) && ctest --preset asan -j $(JOBS)
	cmake --preset tsan && cmake --build --preset tsan -j $(JOBS) && ctest --preset tsan -j $(JOBS)

# Results (JSON) land in build/bench/results; docs/PERFORMANCE.md says how to
# plot them. The network benchmarks and the memory check need root.
bench: deps
	cmake --preset bench && cmake --build --preset bench -j $(JOBS)
	mkdir -p build/bench/results
	for b in build/bench/bench/*/bench_*; do [ -x "$$b" ] || continue; \
	  "$$b" --benchmark_out=build/bench/results/$$(basename $$b).json \
	    --benchmark_out_format=json || exit 1; done
	bench/wait_rss.sh build/bench/cli/oscprobe | tee build/bench/results/wait_rss.json
	bench/startup.sh build/bench/cli/oscprobe | tee build/bench/results/startup.json

FUZZ_SECONDS ?= 60

fuzz: deps
	cmake --preset fuzz && cmake --build --preset fuzz -j $(JOBS)
	scripts/fuzz.sh $(FUZZ_SECONDS)

valgrind: deps
	cmake --preset dev && cmake --build --preset dev -j $(JOBS)
	scripts/valgrind.sh build/dev

# The packaging tools are installed for these targets only; the build
# dependencies come from debian/control. dpkg-buildpackage honours
# DEB_BUILD_OPTIONS from the environment, and debian/rules writes the
# packages to build/deb instead of the parent directory.
DEB_TOOLS := dpkg-dev debhelper lintian
DEB_DIR := build/deb

deb:
	@$(MAKE) --no-print-directory deps PACKAGES="$(DEB_TOOLS)"
	@dpkg-checkbuilddeps 2>/dev/null || { apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive apt-get build-dep -y -qq --no-install-recommends ./; }
	rm -rf $(DEB_DIR) && mkdir -p $(DEB_DIR)
	name=oscprobe_$$(dpkg-parsechangelog -S Version)_$$(dpkg-architecture -q DEB_HOST_ARCH); \
	DEB_OUT_DIR=$(CURDIR)/$(DEB_DIR) dpkg-buildpackage -b -us -uc -j$(JOBS) \
	  --buildinfo-option=-u$(DEB_DIR) --buildinfo-file=$(DEB_DIR)/$$name.buildinfo \
	  --changes-option=-u$(DEB_DIR) --changes-file=$(DEB_DIR)/$$name.changes
	lintian --fail-on error,warning $(DEB_DIR)/*.changes
	@ls $(DEB_DIR)/*.deb

symbols:
	@$(MAKE) --no-print-directory deps PACKAGES="$(PACKAGES) dpkg-dev"
	cmake --preset release
	cmake --build --preset release -j $(JOBS) --target oscprobe oscsupport oscprobe_net
	debian/gen-symbols build/release
	git diff --stat debian/liboscprobe1.symbols debian/liboscprobe-net1.symbols

clean:
	rm -rf build
