# Front door of the project: every target installs what is missing first.
# make build, run and install need only Debian's packages for building and
# running (setup-build); the tests, checks and benchmarks also install
# their own packages and fetch their references from the npm registry
# (setup).
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all setup setup-build build run test test-sanitize test-pip test-venv test-consumer install docs fuzz-smoke bench clean

all: build

setup-build:
	@bash scripts/setup.sh build

setup:
	@bash scripts/setup.sh test

# Configured without the test suite, which make test turns on.
$(BUILD)/CMakeCache.txt: | setup-build
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSARNIC_TESTS=OFF $(CMAKE_FLAGS)

build: setup-build $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

EXAMPLE = examples/mobilenet

# Only the two tools it runs: the test suite and the Python module are built
# by make test.
run: setup-build $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) --target snx-export snx-inspect
	mkdir -p $(BUILD)/example
	$(BUILD)/tools/snx-export $(EXAMPLE)/mobilenet.json -o $(BUILD)/example/mobilenet.snx \
	  --labels $(EXAMPLE)/labels.txt --save-map $(BUILD)/example
	$(BUILD)/tools/snx-inspect $(BUILD)/example/mobilenet.snx

test: setup $(BUILD)/CMakeCache.txt
	cmake -S . -B $(BUILD) -DSARNIC_TESTS=ON
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# Regenerates docs/ops.md, docs/semantics.md and docs/onnx.md from the
# declarations of the operations, the layer types and the ONNX importer's
# table; a failed write leaves a page as it was.
docs: build
	$(BUILD)/tools/snx-export --ops-markdown > docs/ops.md.new \
	  && mv docs/ops.md.new docs/ops.md || { rm -f docs/ops.md.new; exit 1; }
	$(BUILD)/tools/snx-run --semantics-markdown > docs/semantics.md.new \
	  && mv docs/semantics.md.new docs/semantics.md || { rm -f docs/semantics.md.new; exit 1; }
	$(BUILD)/tools/snx-import --onnx-markdown > docs/onnx.md.new \
	  && mv docs/onnx.md.new docs/onnx.md || { rm -f docs/onnx.md.new; exit 1; }

# The library, its headers and its CMake package under PREFIX.
PREFIX ?= /usr/local
install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

# A separate project built against an installed prefix exports the bundled
# example; its model must be the one snx-export writes under the same name.
test-consumer: build
	rm -rf build-consumer
	$(MAKE) install PREFIX=$(CURDIR)/build-consumer/prefix
	cmake -S tests/consumer -B build-consumer/project \
	  -DCMAKE_PREFIX_PATH=$(CURDIR)/build-consumer/prefix
	cmake --build build-consumer/project -j $(JOBS)
	build-consumer/project/export_graph $(EXAMPLE)/mobilenet.json build-consumer/consumer.snx
	$(BUILD)/tools/snx-export $(EXAMPLE)/mobilenet.json -o build-consumer/tool.snx \
	  --name consumer > /dev/null
	cmp build-consumer/consumer.snx build-consumer/tool.snx
	for tool in snx-export snx-import snx-run snx-inspect; do \
	  build-consumer/prefix/bin/$$tool --version || exit 1; \
	done
	@echo "consumer project exports the bundled example; the four tools are installed"

# The whole suite again with AddressSanitizer and UndefinedBehaviorSanitizer.
test-sanitize: setup
	cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DSARNIC_SANITIZE=address,undefined \
	  -DSARNIC_EXAMPLES=OFF -DSARNIC_BENCH=OFF -DSARNIC_PYTHON=OFF
	cmake --build build-sanitize -j $(JOBS)
	cd build-sanitize && ctest --output-on-failure -j $(JOBS)

# The install the README gives for Debian's Python (which refuses a plain
# pip install, PEP 668): a virtual environment that sees Debian's NumPy and
# NetworkX, pip install . into it, then an export through the package and
# its four console scripts.
test-pip: setup
	rm -rf build-pip && mkdir -p build-pip
	/usr/bin/python3 -m venv --system-site-packages build-pip/venv
	build-pip/venv/bin/python -m pip install -q --no-build-isolation --no-deps .
	cd build-pip && venv/bin/python -c \
	  "import sarnic_exporter as se; g = se.load_graph('../examples/mobilenet/mobilenet.json'); \
	  m = se.SarnicExporter(g, 'mobilenet', mem_map=False).run(); assert m[4:8] == b'SNXF'; \
	  print('pip package', se.__version__, 'exports', len(m), 'bytes')"
	cd build-pip && package=$$(venv/bin/python -c \
	  "import os, sarnic_exporter; print(os.path.dirname(sarnic_exporter.__file__))") && \
	  test -f $$package/py.typed && test -f $$package/_core.pyi
	cd build-pip && venv/bin/snx-export ../examples/mobilenet/mobilenet.json -o tools.snx > /dev/null \
	  && venv/bin/snx-inspect --verify tools.snx && venv/bin/snx-run --version \
	  && venv/bin/snx-import --version

# Each fuzz target for about a minute, from its seed corpus.
FUZZ_SECONDS ?= 60
fuzz-smoke: setup
	cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
	  -DSARNIC_FUZZ=ON -DSARNIC_SANITIZE=address,undefined -DSARNIC_TESTS=OFF \
	  -DSARNIC_TOOLS=OFF -DSARNIC_EXAMPLES=OFF -DSARNIC_PYTHON=OFF
	cmake --build build-fuzz -j $(JOBS)
	for t in graph_file model_reader export interpreter npy onnx; do \
	  mkdir -p build-fuzz/work/$$t && \
	  build-fuzz/fuzz/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -timeout=10 -rss_limit_mb=4096 \
	    -artifact_prefix=build-fuzz/ build-fuzz/work/$$t fuzz/corpus/$$t || exit 1; \
	done

bench: setup
	cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DSARNIC_BENCH=ON -DSARNIC_PYTHON=ON
	cmake --build build-release -j $(JOBS) --target sarnic_bench snx-export snx-import _core
	build-release/bench/sarnic_bench
	/usr/bin/python3 bench/python_parity.py build-release
	/usr/bin/python3 bench/onnx_networks.py build-release

clean:
	rm -rf $(BUILD) build-release build-sanitize build-fuzz build-pip build-consumer
