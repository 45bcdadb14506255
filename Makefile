# Front door: `make demo` shows the program working, `make test` runs every test. Both install the
# Debian packages they need first.

BUILD_PACKAGES := cmake make g++ pkg-config libgl-dev qt6-base-dev qt6-serialport-dev \
                  qt6-translations-l10n fonts-noto-cjk
TEST_PACKAGES  := $(BUILD_PACKAGES)
BENCH_PACKAGES := $(BUILD_PACKAGES) libbenchmark-dev

.PHONY: all deps build test run bench clean

all: build

deps:
	scripts/install-deps.sh $(BUILD_PACKAGES)

build: deps
	cmake --preset dev
	cmake --build --preset dev -j

test: build
	scripts/install-deps.sh $(TEST_PACKAGES)
	ctest --preset dev

# Starts the program on the real COM1: the user needs permission on the port (group dialout).
run: build
	./build/qm47t-converter

bench:
	scripts/install-deps.sh $(BENCH_PACKAGES)
	cmake --preset bench
	cmake --build --preset bench -j
	./build-bench/bench/bench_send

clean:
	rm -rf build build-bench
