# The two set-up commands: `make run` and `make test`. Both install what is missing.
BUILD ?= build
SAN_BUILD ?= build-sanitize
JOBS ?= $(shell nproc)

DEBIAN_PACKAGES := build-essential cmake pkg-config libsdl1.2-dev libsdl-image1.2-dev \
  libgl-dev libglu1-mesa-dev libgl1-mesa-dri libvorbis-dev libfftw3-dev libpng-dev \
  libgtest-dev libbenchmark-dev xvfb xauth ffmpeg fonts-dejavu-core libfreetype-dev imagemagick \
  xdotool libx11-dev

SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: run test deps build bench clean

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

test: build
	cd $(BUILD) && SDL_AUDIODRIVER=dummy xvfb-run -a -s "-screen 0 1920x1080x24" \
	  ctest --output-on-failure -j $(JOBS)

bench: build
	bench/run-all $(BUILD)

clean:
	rm -rf $(BUILD) $(SAN_BUILD)
