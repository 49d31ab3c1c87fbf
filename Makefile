# Front door: `make run` and `make test` set up everything they need on a fresh Debian machine.
BUILD ?= build
JOBS ?= 2
CMAKE_ARGS ?=
CTEST_ARGS ?=
PREFIX ?= /usr/local
DESTDIR ?=

.PHONY: all deps build run test install clean format bench

all: build

deps:
	@tools/install-deps.sh build

# Configure once; later runs only build what changed.
$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_ARGS)

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

run: build
	$(BUILD)/app/tilemaven

test-deps:
	@tools/install-deps.sh build test
	@cd tests/browser && { [ node_modules/.package-lock.json -nt package-lock.json ] || npm ci --no-audit --no-fund; }

test: test-deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS) $(CTEST_ARGS)

# PREFIX is where the program will live; DESTDIR, when set, stages the tree under it (packaging).
install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"

# Speed and memory against ImageMagick, libvips and libjpeg-turbo's own tools; never part of `test`.
BENCH_BUILD ?= build-bench
bench:
	@tools/install-deps.sh build bench
	cmake -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DTILEMAVEN_BENCH=ON \
		-DBUILD_TESTING=OFF $(CMAKE_ARGS)
	cmake --build $(BENCH_BUILD) -j $(JOBS) --target tilemaven tilemaven_makepicture
	bench/run.py $(BENCH_BUILD)

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD)
