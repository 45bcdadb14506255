# Front door: `make demo` shows the program working, `make test` runs every test. Both install the
# Debian packages they need first.

BUILD_PACKAGES := cmake make g++ pkg-config python3 libgl-dev qt6-base-dev libfontconfig-dev \
                  qt6-translations-l10n fonts-noto-cjk
# The Windows program's end-to-end run and demo: Wine, nsenter to reach its namespace, and the data
# localedef compiles the private zh_CN.UTF-8 locale from.
WINE_PACKAGES  := wine wine64 util-linux locales
# The harness (scripts/qm47t_harness) runs under Debian's own python3, with python3-xlib for the
# keymap, close requests and the bench's DAMAGE watching; what a screen reader reads is read over a
# private session bus and AT-SPI bus, with Debian's pyatspi, and what Orca says by Orca itself.
HARNESS_PACKAGES := python3 python3-xlib
PYTHON         := /usr/bin/python3
# The real-driver tier (tests/drivers/): QEMU and a static busybox for the guest, binutils' readelf
# to gather the libraries its programs load, those that Debian's udevadm loads (copied from here),
# and Xvfb, xdotool and xmodmap to click the program there. The kernel and udev themselves are only
# downloaded and unpacked, never installed.
DRIVERS_PACKAGES := qemu-system-x86 busybox-static binutils libacl1 libblkid1 libcap2 libkmod2 \
                    libselinux1 xvfb xdotool x11-xserver-utils
# The end-to-end suite (tests/e2e) runs on Debian's pytest.
TEST_PACKAGES  := $(BUILD_PACKAGES) $(HARNESS_PACKAGES) python3-pytest xvfb xdotool xclip strace openbox \
                  dpkg-dev file desktop-file-utils appstream x11-utils x11-xserver-utils lintian $(WINE_PACKAGES) \
                  python3-pyatspi at-spi2-core dbus-daemon dbus-bin orca $(DRIVERS_PACKAGES)
# CPack's Debian generator computes the shared-library dependencies with dpkg-shlibdeps and file.
PACKAGE_PACKAGES := $(BUILD_PACKAGES) dpkg-dev file
PREFIX         ?= /usr/local
DEMO_PACKAGES  := $(BUILD_PACKAGES) $(HARNESS_PACKAGES) xvfb xdotool xclip imagemagick
BENCH_PACKAGES := $(BUILD_PACKAGES) $(HARNESS_PACKAGES) libbenchmark-dev xvfb util-linux mount cutecom gtkterm
FUZZ_PACKAGES  := $(BUILD_PACKAGES) clang libclang-rt-14-dev
WINDOWS_PACKAGES := cmake make mingw-w64
# The Windows setup program is made with NSIS; its test installs and runs it under Wine.
PACKAGE_WINDOWS_PACKAGES := $(WINDOWS_PACKAGES) nsis
FUZZ_SECONDS   ?= 600

.PHONY: all deps build install package demo demo-windows test test-asan test-drivers test-fuzz-short fuzz-build \
        fuzz run bench windows package-windows clean

all: build

deps:
	scripts/install-deps.sh $(BUILD_PACKAGES)

build: deps
	cmake --preset dev
	cmake --build --preset dev -j

# The program with a virtual QM47T on its COM1, no module or serial port needed: on your display if
# there is one, else a scripted run on a private Xvfb that saves build/demo.png.
demo: build
	scripts/install-deps.sh $(DEMO_PACKAGES)
	$(PYTHON) scripts/virtual-qm47t.py --demo

# The same with the Windows program under Wine; the scripted run saves build/demo-windows.png.
demo-windows: windows
	scripts/install-deps.sh $(DEMO_PACKAGES) $(WINE_PACKAGES)
	$(PYTHON) scripts/virtual-qm47t.py --windows

# Builds the Windows program and its release too: the end-to-end suite runs against both programs,
# the package tests against the .deb and the setup program, and each fails if what it tests is missing.
test: build package-windows
	scripts/install-deps.sh $(TEST_PACKAGES)
	ctest --preset dev
	$(MAKE) test-asan test-fuzz-short

# Only the tier that runs the serial code on the real 8250 and FTDI drivers in a QEMU guest; make
# test runs it too.
test-drivers: build
	scripts/install-deps.sh $(DRIVERS_PACKAGES)
	ctest --preset dev -L drivers

test-asan:
	scripts/install-deps.sh $(TEST_PACKAGES)
	cmake --preset asan
	cmake --build --preset asan -j
	ctest --preset asan

fuzz-build:
	scripts/install-deps.sh $(FUZZ_PACKAGES)
	cmake --preset fuzz
	cmake --build --preset fuzz -j

test-fuzz-short: fuzz-build
	ctest --preset fuzz

# The long run. New inputs and crash reproducers stay under build-fuzz/; the committed seeds are
# only read.
fuzz: fuzz-build
	mkdir -p build-fuzz/fuzz/corpus build-fuzz/fuzz/artifacts
	./build-fuzz/fuzz/fuzz_send -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	    -artifact_prefix=build-fuzz/fuzz/artifacts/ build-fuzz/fuzz/corpus fuzz/corpus

# Installs what `make build` built under PREFIX (default /usr/local); DESTDIR stages the files
# elsewhere, as packagers do. It builds nothing itself, so `sudo make install` leaves no root-owned
# files in build/.
install:
	@test -f build/cmake_install.cmake || { echo "Nothing is built yet: run make build first."; exit 1; }
	DESTDIR="$(DESTDIR)" cmake --install build --prefix "$(PREFIX)"

# The Debian package, build/qm47t-converter_<version>_<arch>.deb.
package: build
	scripts/install-deps.sh $(PACKAGE_PACKAGES)
	cmake --build --preset dev --target package

# Starts the program on the real COM1: the user needs permission on the port (group dialout).
run: build
	./build/qm47t-converter

# The send path's cost; start-up and memory against a minimal window, on Linux and under Wine.
bench:
	scripts/install-deps.sh $(BENCH_PACKAGES) $(WINDOWS_PACKAGES) $(WINE_PACKAGES)
	cmake --preset bench
	cmake --build --preset bench -j
	cmake --preset windows
	cmake --build --preset windows -j2
	./build-bench/bench/bench_send
	PYTHONPATH=scripts $(PYTHON) bench/startup.py --build-dir build-bench
	PYTHONPATH=scripts $(PYTHON) bench/startup.py --windows --build-dir build-windows --linux-program build-bench/qm47t-converter

# The native Windows program, build-windows/qm47t-converter.exe, cross-built with mingw-w64: one
# static .exe that needs no DLL beyond Windows' own.
windows:
	scripts/install-deps.sh $(WINDOWS_PACKAGES)
	cmake --preset windows
	cmake --build --preset windows -j2

# The Windows release, next to the program: build-windows/qm47t-converter-<version>-setup.exe and
# build-windows/qm47t-converter-<version>-windows-x64.zip.
package-windows: windows
	scripts/install-deps.sh $(PACKAGE_WINDOWS_PACKAGES)
	cmake --preset windows
	cmake --build --preset windows --target windows_release

clean:
	rm -rf build build-bench build-asan build-fuzz build-windows
