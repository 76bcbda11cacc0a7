# The two set-up commands: `make run` and `make test`. Both install the Debian packages they
# need when missing (SKIP_DEPS=1 skips that, for those who manage packages themselves).
BUILD ?= build
SAN_BUILD ?= build-sanitize
FUZZ_BUILD ?= build-fuzz
PACKAGE_BUILD ?= build-package
# Seconds each fuzzer runs: in `make fuzz`, and the short run in `make test`.
FUZZ_SECONDS ?= 60
FUZZ_SMOKE_SECONDS ?= 5
JOBS ?= $(shell nproc)

# Building and running the show: the compiler, the libraries of the show and of the tools the
# build runs (composer, scorer, font maker, message checker, capture tool), the font, and
# what makes the man pages and the icon's sizes.
RUN_PACKAGES := build-essential cmake pkg-config libsdl1.2-dev libsdl-image1.2-dev \
  libgl-dev libglu1-mesa-dev libgl1-mesa-dri libvorbis-dev libfftw3-dev libpng-dev \
  libebur128-dev libfreetype-dev fonts-dejavu-core \
  libavformat-dev libavcodec-dev libswresample-dev libavutil-dev libpulse-dev libglib2.0-dev \
  help2man librsvg2-bin
# Tests, benchmarks and fuzzers on top: GoogleTest and Google Benchmark, the X server and the
# X tools the tests drive the show with, JPEG for the bad-input corpus, ffmpeg for the video
# tests and the song figures, clang for the fuzzers, aubio for the scorer's comparison, a
# sound server for the sound layer's tests through one, a session bus and its client for
# the player's MPRIS test, the menu entry's checker for the install's test.
TEST_PACKAGES := $(RUN_PACKAGES) libgtest-dev libbenchmark-dev libjpeg-dev libx11-dev \
  xvfb xauth xdotool ffmpeg clang libclang-rt-14-dev aubio-tools pulseaudio dbus-daemon dbus-bin \
  desktop-file-utils
# The Debian package on top of the build's: dpkg-shlibdeps (its Depends) and file.
PACKAGE_PACKAGES := $(RUN_PACKAGES) dpkg-dev file

SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: run test deps test-deps bench-deps build test-build bench clean sanitize-test fuzz fuzz-build \
  package package-deps

# Installs whichever of PACKAGES is missing, unless SKIP_DEPS is set.
define install-missing
	@[ -n "$(SKIP_DEPS)" ] || { missing=""; for p in $(1); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq --no-install-recommends $$missing; \
	fi; }
endef

deps:
	$(call install-missing,$(RUN_PACKAGES))

test-deps:
	$(call install-missing,$(TEST_PACKAGES))

# The show and its tools alone, or with the tests and benchmarks too. Configuring again each
# time is cheap and keeps any choice made with cmake (XOON_SONG, XOON_MESSAGE).
build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF
	cmake --build $(BUILD) -j $(JOBS)

test-build: test-deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON
	cmake --build $(BUILD) -j $(JOBS)

run: build
	cd $(BUILD)/run && ./xoon window

# -noreset: the server must not restart between two test processes, or the second one
# may find no display while it does.
XVFB := xvfb-run -a -s "-screen 0 1920x1080x24 -noreset"

test: test-build
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

sanitize-test: test-deps $(SAN_BUILD)/CMakeCache.txt
	cmake --build $(SAN_BUILD) -j $(JOBS)
	cd $(SAN_BUILD) && SDL_AUDIODRIVER=dummy $(SAN_ENV) $(XVFB) ctest --output-on-failure -j $(JOBS)

# libFuzzer targets, built by clang in their own folder; each runs FUZZ_SECONDS.
$(FUZZ_BUILD)/CMakeCache.txt:
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DBUILD_TESTING=OFF -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON

fuzz-build: test-deps $(FUZZ_BUILD)/CMakeCache.txt
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzzers

fuzz: fuzz-build
	fuzz/run $(FUZZ_BUILD) $(FUZZ_SECONDS)

# What only the benchmarks need on top of the tests': bench/av-sync's own sound server, its
# command-line client, the X server and the recorder; playerctl for the player's figures.
BENCH_PACKAGES := pulseaudio pulseaudio-utils xvfb ffmpeg playerctl dbus-daemon

bench-deps:
	$(call install-missing,$(BENCH_PACKAGES))

bench: test-build bench-deps
	bench/run-all $(BUILD)

# The Debian package, built in a folder of its own with the flags Debian builds its own
# packages with (hardening included): $(PACKAGE_BUILD)/xoon_VERSION_ARCH.deb.
package-deps:
	$(call install-missing,$(PACKAGE_PACKAGES))

package: package-deps
	export DEB_BUILD_MAINT_OPTIONS=hardening=+all; \
	CFLAGS="$$(dpkg-buildflags --get CPPFLAGS) $$(dpkg-buildflags --get CFLAGS)" \
	CXXFLAGS="$$(dpkg-buildflags --get CPPFLAGS) $$(dpkg-buildflags --get CXXFLAGS)" \
	LDFLAGS="$$(dpkg-buildflags --get LDFLAGS)" \
	cmake -S . -B $(PACKAGE_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF
	cmake --build $(PACKAGE_BUILD) -j $(JOBS)
	cd $(PACKAGE_BUILD) && cpack -G DEB

clean:
	rm -rf $(BUILD) $(SAN_BUILD) $(FUZZ_BUILD) $(PACKAGE_BUILD)
