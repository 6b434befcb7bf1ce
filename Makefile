# Entry points for a newcomer: `make demo` and `make test`.
# Both check the Debian packages the build and the test suite need first: as
# root they install what is missing with apt-get; otherwise they print the
# command to run. The benchmarks and the fuzz targets need more, which only
# `make bench` and `make fuzz` (or bench-deps / fuzz-deps alone) install.

# Build and test suite (groff-base: the install test renders the man pages).
PACKAGES       := cmake g++ make pkg-config libexpat1-dev libgtest-dev libbenchmark-dev groff-base
# bench/*.sh: /usr/bin/time, valgrind (callgrind), xmllint, xmlstarlet, strace.
BENCH_PACKAGES := time valgrind libxml2-utils xmlstarlet strace
# fuzz/run.sh: clang with its sanitizer and libFuzzer runtime.
FUZZ_PACKAGES  := clang libclang-rt-14-dev
BUILD    ?= build
PREFIX   ?= /usr/local
JOBS     ?= $(shell nproc 2>/dev/null || echo 2)
DEMO_DIR ?= $(BUILD)/demo

.PHONY: all deps bench-deps fuzz-deps configure build test demo bench install fuzz clean

all: build

# $(call require,PACKAGE LIST): installs the missing ones as root, else
# names them with the command to run and fails.
define require
	@missing=""; \
	for p in $(1); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "Installing:$$missing"; \
	    apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y $$missing || exit 1; \
	  else \
	    echo "Missing packages:$$missing"; \
	    echo "Run: sudo apt-get install -y$$missing"; \
	    exit 1; \
	  fi; \
	fi
endef

deps:
	$(call require,$(PACKAGES))

bench-deps: deps
	$(call require,$(BENCH_PACKAGES))

fuzz-deps: deps
	$(call require,$(FUZZ_PACKAGES))

configure: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# Only the programs the demo runs, and the libraries under them.
demo: configure
	@cmake --build $(BUILD) -j $(JOBS) --target xmlload xmlquery xmlfind
	@sh examples/demo.sh $(BUILD) $(DEMO_DIR)

# The benchmarks of docs/performance.md, BENCH_ROUNDS rounds each, in a
# Release tree of their own: loading against the expat floor, reading back
# beside xmllint, xmlfind beside xmlstarlet and xmllint, a program over the
# loading call beside xmlload, a small change to a large database and many
# readers at once.
BENCH_ROUNDS ?= 3
bench: bench-deps
	bash bench/run.sh $(BUILD)/release $(BENCH_ROUNDS)
	bash bench/read_back.sh $(BUILD)/release $(BENCH_ROUNDS)
	bash bench/find.sh $(BUILD)/release $(BENCH_ROUNDS)
	bash bench/load_call.sh $(BUILD)/release $(BENCH_ROUNDS)
	bash bench/journal.sh $(BUILD)/release $(BENCH_ROUNDS)

# Runs each fuzz target for FUZZ_SECONDS.
FUZZ_SECONDS ?= 60
fuzz: fuzz-deps
	sh fuzz/run.sh $(FUZZ_SECONDS)

install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

clean:
	rm -rf $(BUILD)
