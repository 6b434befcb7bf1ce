# Entry points for a newcomer: `make demo` and `make test`.
# Both check the Debian packages the build needs first: as root they install
# what is missing with apt-get; otherwise they print the command to run.

PACKAGES := cmake g++ make pkg-config libexpat1-dev libgtest-dev libbenchmark-dev
BUILD    ?= build
PREFIX   ?= /usr/local
JOBS     ?= $(shell nproc 2>/dev/null || echo 2)
DEMO_DIR ?= $(BUILD)/demo

.PHONY: all deps build test demo install fuzz clean

all: build

deps:
	@missing=""; \
	for p in $(PACKAGES); do \
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

build: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

demo: build
	@sh examples/demo.sh $(BUILD) $(DEMO_DIR)

# Runs each fuzz target for FUZZ_SECONDS (needs clang and libclang-rt-14-dev).
FUZZ_SECONDS ?= 60
fuzz:
	sh fuzz/run.sh $(FUZZ_SECONDS)

install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

clean:
	rm -rf $(BUILD)
