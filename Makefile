# Front door of the project: every target installs what is missing first.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all setup build run test bench clean

all: build

setup:
	@bash scripts/setup.sh

$(BUILD)/CMakeCache.txt: | setup
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)

build: setup $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

EXAMPLE = examples/mobilenet

run: build
	mkdir -p $(BUILD)/example
	$(BUILD)/tools/snx-export $(EXAMPLE)/mobilenet.json -o $(BUILD)/example/mobilenet.snx \
	  --labels $(EXAMPLE)/labels.txt --save-map $(BUILD)/example
	$(BUILD)/tools/snx-inspect $(BUILD)/example/mobilenet.snx

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

bench: setup
	cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DSARNIC_BENCH=ON
	cmake --build build-release -j $(JOBS) --target sarnic_bench
	build-release/bench/sarnic_bench

clean:
	rm -rf $(BUILD) build-release
