# Front door. `make test` is all a fresh Debian machine needs: it installs
# the toolchain, configures the three builds and runs every test.
#
#   build/native    g++, release with debug info: unit tests, benchmarks
#   build/sanitize  clang with ASan+UBSan: unit tests and libFuzzer targets
#   build/win32     i686-w64-mingw32: the Windows code we ship and its tests
#   build/win64     x86_64-w64-mingw32: the same sources and tests for 64-bit
#                   Windows, so that they run under Wine on every host, and
#                   bookpack.exe, the publisher's tool for Windows, with the
#                   libraries of scripts/build-mingw-libs.sh
#
# Windows tests run under Wine for each architecture the host can execute
# (scripts/wine-archs.sh tries; EBOOK_WINE_ARCHS=i686,x86_64 forces a choice).

JOBS ?= $(shell nproc 2>/dev/null || echo 2)
# make install: bookpack in $(PREFIX)/bin, the stub in share/ebook-setup (where
# the installed bookpack finds it) and the manual page; DESTDIR stages it.
PREFIX ?= /usr/local
DESTDIR ?=
# BUILT=1 installs what NATIVE_BUILD holds already, without building first.
NATIVE_BUILD ?= build/native
BUILT ?=
CMAKE_FLAGS ?=

.PHONY: all deps build native sanitize win32 win64 test fuzz bench demo dist install format clean \
  configure-native configure-sanitize configure-win32 configure-win64 mingw-libs demo-parts \
  demo-bookpack demo-windows win32-for-tests

all: build

# Each step of `make test` says how long it took (scripts/timed.sh).
TIMED = bash scripts/timed.sh

deps:
	@bash scripts/install-deps.sh

build: native sanitize win32 win64

# Each tree is configured by one rule, which `make demo` uses as well.
configure-native: deps
	cmake -S . -B build/native -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS) >/dev/null

configure-sanitize: deps
	CC=clang CXX=clang++ cmake -S . -B build/sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DEBOOK_SANITIZE=ON -DEBOOK_FUZZ=ON -DEBOOK_BENCH=OFF $(CMAKE_FLAGS) >/dev/null

configure-win32: deps
	cmake -S . -B build/win32 -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/i686-w64-mingw32.cmake $(CMAKE_FLAGS) >/dev/null

# bookpack.exe is part of the x86-64 tree once its libraries are built (make
# win64 builds them first); until then the tree holds the stub and its tests
# only, which is all `make demo` needs.
configure-win64: deps
	cmake -S . -B build/win64 -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/x86_64-w64-mingw32.cmake \
	  -DEBOOK_BOOKPACK_EXE=$$(test -f build/mingw-libs/x86_64/.built && echo ON || echo OFF) \
	  $(CMAKE_FLAGS) >/dev/null

native: configure-native
	@$(TIMED) "native build" cmake --build build/native -j $(JOBS)

sanitize: configure-sanitize
	@$(TIMED) "sanitize build" cmake --build build/sanitize -j $(JOBS)

win32: configure-win32
	@$(TIMED) "win32 build" cmake --build build/win32 -j $(JOBS)

mingw-libs: deps
	@$(TIMED) "MinGW libraries" bash scripts/build-mingw-libs.sh x86_64-w64-mingw32 \
	  build/mingw-libs/x86_64

win64: mingw-libs
	@$(MAKE) --no-print-directory configure-win64
	@$(TIMED) "win64 build" cmake --build build/win64 -j $(JOBS)

# The i686 tree is built whole where 32-bit Wine runs its tests; elsewhere
# only its stub, which the static checks and bookpack's tests take (the
# other i686 programs would be built for nothing: `make build` has them).
test: native sanitize win64 win32-for-tests
	@bash scripts/run-tests.sh

win32-for-tests: configure-win32
	@if bash scripts/wine-archs.sh i686 | grep -qx 'i686 yes'; then \
	  $(TIMED) "win32 build" cmake --build build/win32 -j $(JOBS); \
	else \
	  $(TIMED) "win32 build (the stub alone: i686 programs do not run here)" \
	    cmake --build build/win32 -j $(JOBS) --target setup_stub; \
	fi

fuzz: sanitize
	cmake --build build/sanitize --target fuzz_long

bench: native win32 win64
	@bash bench/run.sh build/native build/win32 build/win64

# The publisher's downloads: a ZIP for Windows and a tarball for Linux, with
# their SHA-256 sums, in build/dist/ (scripts/dist.sh).
dist: native win32 win64
	@bash scripts/dist.sh

# Builds only what the demo needs (scripts/demo.sh says what, in one line):
# bookpack here, and the stub, the sample reader and the UI driver of the
# Windows architecture this host runs.
demo: deps
	@bash scripts/demo.sh

# For scripts/demo.sh, which runs it with -j2 so that the two trees'
# configure steps overlap the other's compiling: DEMO_TREE=build/win32 or
# build/win64.
DEMO_TREE ?= build/win32
demo-parts: demo-bookpack demo-windows
# (Each tree's build keeps its own -j, outside this make's job slots.)
demo-bookpack: configure-native
	MAKEFLAGS= cmake --build build/native -j $(JOBS) --target bookpack
demo-windows: configure-$(if $(findstring win64,$(DEMO_TREE)),win64,win32)
	MAKEFLAGS= cmake --build $(DEMO_TREE) -j $(JOBS) --target setup_stub demo_reader uidriver

install: $(if $(BUILT),,native win32)
	DESTDIR="$(if $(DESTDIR),$(abspath $(DESTDIR)))" cmake --install $(NATIVE_BUILD) --prefix "$(PREFIX)"

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf build
