# The two set-up commands: `make run` and `make test`. Both install what is missing.
BUILD ?= build
SAN_BUILD ?= build-sanitize
FUZZ_BUILD ?= build-fuzz
# Seconds each fuzzer runs: in `make fuzz`, and the short run in `make test`.
FUZZ_SECONDS ?= 60
FUZZ_SMOKE_SECONDS ?= 5
JOBS ?= $(shell nproc)

DEBIAN_PACKAGES := build-essential cmake pkg-config libsdl1.2-dev libsdl-image1.2-dev \
  libgl-dev libglu1-mesa-dev libgl1-mesa-dri libvorbis-dev libfftw3-dev libpng-dev \
  libavformat-dev libavcodec-dev libswresample-dev libavutil-dev libpulse-dev \
  libgtest-dev libbenchmark-dev libjpeg-dev clang libclang-rt-14-dev xvfb xauth ffmpeg fonts-dejavu-core libfreetype-dev \
  xdotool libx11-dev pulseaudio

SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: run test deps build bench clean sanitize-test fuzz fuzz-build

deps:
	@missing=""; for p in $(DEBIAN_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq --no-install-recommends $$missing; \
	fi

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

run: build
	cd $(BUILD)/run && ./xoon window

# -noreset: the server must not restart between two test processes, or the second one
# may find no display while it does.
XVFB := xvfb-run -a -s "-screen 0 1920x1080x24 -noreset"

test: build
	cd $(BUILD) && SDL_AUDIODRIVER=dummy $(XVFB) ctest --output-on-failure -j $(JOBS)
	$(MAKE) --no-print-directory sanitize-test
	$(MAKE) --no-print-directory fuzz FUZZ_SECONDS=$(FUZZ_SMOKE_SECONDS)

# The whole suite again with AddressSanitizer and UndefinedBehaviorSanitizer. Leak checking
# is off here: every show process ends holding allocations of the X library, libvorbisenc
# and the GL driver (unloaded by then, so not even nameable in a suppression). The bad-input
# test turns it on for the scorer, which is all our own code.
SAN_ENV := ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:detect_stack_use_after_return=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

$(SAN_BUILD)/CMakeCache.txt:
	cmake -S . -B $(SAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DXOON_SANITIZE=ON \
	  -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON

sanitize-test: deps $(SAN_BUILD)/CMakeCache.txt
	cmake --build $(SAN_BUILD) -j $(JOBS)
	cd $(SAN_BUILD) && SDL_AUDIODRIVER=dummy $(SAN_ENV) $(XVFB) ctest --output-on-failure -j $(JOBS)

# libFuzzer targets, built by clang in their own folder; each runs FUZZ_SECONDS.
$(FUZZ_BUILD)/CMakeCache.txt:
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DBUILD_TESTING=OFF -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON

fuzz-build: deps $(FUZZ_BUILD)/CMakeCache.txt
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzzers

fuzz: fuzz-build
	fuzz/run $(FUZZ_BUILD) $(FUZZ_SECONDS)

# What only the benchmarks need: bench/av-sync's own sound server, X server and recorder.
BENCH_PACKAGES := pulseaudio pulseaudio-utils xvfb ffmpeg

bench: build
	$(MAKE) --no-print-directory deps DEBIAN_PACKAGES="$(BENCH_PACKAGES)"
	bench/run-all $(BUILD)

clean:
	rm -rf $(BUILD) $(SAN_BUILD) $(FUZZ_BUILD)
