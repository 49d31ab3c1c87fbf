# SPDX-License-Identifier: MIT
# Front door: `make run` and `make test` set up everything they need on a fresh Debian machine.
# The dev preset's folder.
BUILD := build
JOBS ?= 2
CMAKE_ARGS ?=
CTEST_ARGS ?=
PREFIX ?= /usr/local
DESTDIR ?=

.PHONY: all deps build run test test-asan fuzz install deb clean format lint bench screenshots

all: build

deps:
	@tools/install-deps.sh build

# Configure once (CMakePresets.json: dev in build/, asan in build-asan/); later runs only build
# what changed.
$(BUILD)/build.ninja:
	cmake --preset dev $(CMAKE_ARGS)

build: deps $(BUILD)/build.ninja
	cmake --build --preset dev

run: build
	$(BUILD)/app/tilemaven

test-deps:
	@tools/install-deps.sh build test
	@cd tests/browser && { [ node_modules/.package-lock.json -nt package-lock.json ] || npm ci --no-audit --no-fund; }

test: test-deps $(BUILD)/build.ninja
	cmake --build --preset dev
	ctest --preset dev $(CTEST_ARGS)

# The whole suite again, built with AddressSanitizer and UndefinedBehaviorSanitizer (leaks
# included; any report fails its test). The browser tests only drive browsers over what the
# command line writes, which the C++ tests cover already, and are left out; so are the package's
# tests, which build the package with Debian's own flags, not the sanitizers. The preset turns off
# -Wmaybe-uninitialized, which GCC gets wrong under the sanitizers.
test-asan: test-deps
	cmake --preset asan
	cmake --build --preset asan
	ctest --preset asan $(CTEST_ARGS)

# libFuzzer over decoding and slicing, for FUZZ_SECONDS; see fuzz/run.sh.
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 600
fuzz:
	@tools/install-deps.sh build fuzz
	cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTILEMAVEN_FUZZ=ON \
	    -DCMAKE_CXX_COMPILER=clang++ \
	    -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer" \
	    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined"
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target tilemaven_fuzz tilemaven_corpus
	FUZZ_SECONDS=$(FUZZ_SECONDS) fuzz/run.sh $(FUZZ_BUILD)

# PREFIX is where the program will live; DESTDIR, when set, stages the tree under it (packaging).
install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"

# The Debian package, tilemaven_<version>_<arch>.deb, into dist/; built in DEB_BUILD (see
# tools/build-deb.sh), never in the tree. Its tests are left to `make test`.
DEB_BUILD ?= build-deb
deb:
	@tools/install-deps.sh deb
	JOBS=$(JOBS) tools/build-deb.sh $(DEB_BUILD)
	mkdir -p dist
	rm -f dist/tilemaven_*.deb
	cp $(DEB_BUILD)/tilemaven_*.deb dist/

# Speed and memory against ImageMagick, libvips and libjpeg-turbo's own tools; never part of `test`.
BENCH_BUILD ?= build-bench
bench:
	@tools/install-deps.sh build bench
	cmake -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DTILEMAVEN_BENCH=ON \
		-DBUILD_TESTING=OFF $(CMAKE_ARGS)
	cmake --build $(BENCH_BUILD) -j $(JOBS) --target tilemaven tilemaven_makepicture \
		tilemaven_windowbench
	bench/test_bench.py $(BENCH_BUILD)
	bench/run.py $(BENCH_BUILD)

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

# What CI checks besides the tests: the tree formatted as .clang-format says, and clang-tidy's
# checks of .clang-tidy over the program's own sources, with no warning left.
lint: test-deps $(BUILD)/build.ninja
	git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run -Werror
	git ls-files 'app/*.cpp' 'folder/*.cpp' 'picture/*.cpp' 'platform/*.cpp' 'puzzle/*.cpp' \
	    'ui/*.cpp' | \
	    xargs -P $(JOBS) -n 4 clang-tidy -p $(BUILD) --quiet

# The README's pictures of both pages, docs/classic-page.png and docs/modern-page.png, as Chromium
# shows them; rerun after a change to either page.
screenshots: test-deps $(BUILD)/build.ninja
	cmake --build --preset dev --target tilemaven
	node tools/screenshots.mjs --tilemaven $(BUILD)/app/tilemaven --out docs

clean:
	rm -rf $(BUILD)
