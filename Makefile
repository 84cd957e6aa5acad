# Quick start:
#   make run    install what is missing, build, run the watchdog with the demo set-up (Ctrl-C ends it)
#   make test   install what is missing, build (Debug, assertions on), run the whole suite through CTest

BUILD_DIR ?= build
JOBS ?= $(shell nproc)

.PHONY: run test build deps configure clean

deps:
	@bash scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

# The watchdog finds "net" through PATH, the demo configuration through
# ZELVIN_CONFIG_DIR and the demo services through ZELVIN_SERVICE_DIR.
run: build
	@bash scripts/run-demo.sh $(BUILD_DIR)

test: build
	@cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD_DIR)
