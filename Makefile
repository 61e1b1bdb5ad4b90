# Two entry points for a fresh Debian 12 machine: `make run` and `make test`.
# Both install whatever Debian packages are missing first (idempotent, quiet when all are there).

BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc)
SUDO       := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

# Build, run-time and test-peer packages. Keep in one list so a fresh machine gets them all.
PACKAGES := cmake make g++ clang libclang-rt-14-dev pkg-config python3 \
            libgtest-dev libgmock-dev \
            libnspr4-dev libsqlite3-dev sqlite3 \
            libc-client2007e-dev libssl-dev libpam0g-dev libkrb5-dev \
            libcurl4-openssl-dev libtinyxml-dev libjson-c-dev libproxy-dev \
            libglib2.0-dev dbus-daemon xdg-utils \
            libgdk-pixbuf-2.0-dev adwaita-icon-theme shared-mime-info \
            tinyproxy microsocks dovecot-imapd libxml2-utils openssl chromium locales
# What the benchmarks measure against; only `make bench` installs them.
BENCH_PACKAGES := nginx isync maildir-utils

.PHONY: all deps install-packages bench-deps build bench run test test-normal test-asan clean

all: build

deps:
	@$(MAKE) -s install-packages WANTED="$(PACKAGES)"
	@# Node.js with npm: the machine's own when it has one, else Debian's.
	@command -v npm >/dev/null 2>&1 || { $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq --no-install-recommends nodejs npm >/dev/null; }
	@# The browser tests' libraries, exactly as the lockfile names them.
	@[ node_modules/.package-lock.json -nt package-lock.json ] || \
	  npm ci --no-audit --no-fund --loglevel=error >/dev/null

# Installs what of $(WANTED) is missing.
install-packages:
	@missing=""; \
	for p in $(WANTED); do \
	  dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq --no-install-recommends $$missing >/dev/null; \
	fi

# Where an init system runs, installing nginx starts its site on port 80;
# the benchmark starts its own on a loopback port, so that one is stopped
# and disabled again when this installed it.
bench-deps: deps
	@had=$$([ -x /usr/sbin/nginx ] && echo yes); \
	$(MAKE) -s install-packages WANTED="$(BENCH_PACKAGES)"; \
	if [ -z "$$had" ] && command -v systemctl >/dev/null 2>&1 && [ -d /run/systemd/system ]; then \
	  $(SUDO) systemctl disable --now nginx >/dev/null 2>&1 || true; \
	fi

# The benchmark programs; the scripts under bench/ say how each is run.
bench: bench-deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j$(JOBS)

$(BUILD)/CMakeCache.txt:
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

$(ASAN_BUILD)/CMakeCache.txt:
	@cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DPV_SANITIZE=ON >/dev/null

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j$(JOBS)

# The program and what it needs (its resource store, the add-on library and
# setup programs it starts), not the tests. The build shows one line of
# progress, rewritten in place, and its output only when it fails; then the
# program prints the address to open; Ctrl-C ends it in order.
run: deps $(BUILD)/CMakeCache.txt
	@printf 'Building postvane...'
	@{ cmake --build $(BUILD) --target postvane -j$(JOBS) 2>&1; echo $$? >$(BUILD)/build.rc; } | \
	  tee $(BUILD)/build.log | \
	  awk '{ if (match($$0, /^\[ *[0-9]+%\]/)) { p = substr($$0, RSTART + 1, RLENGTH - 2); gsub(/ /, "", p); \
	         if (p != last) { printf "\rBuilding postvane... %s ", p; fflush(); last = p } } }'
	@if [ "$$(cat $(BUILD)/build.rc)" != 0 ]; then printf '\n'; tail -n 40 $(BUILD)/build.log; exit 1; fi
	@printf '\rBuilding postvane... done\n'
	@exec $(BUILD)/bin/postvane

test-normal: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j$(JOBS)
	cd $(BUILD) && ctest -j$(JOBS) --output-on-failure

test-asan: deps $(ASAN_BUILD)/CMakeCache.txt
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	cd $(ASAN_BUILD) && ctest -j$(JOBS) --output-on-failure

test: test-normal test-asan

# The fuzz targets (tests/fuzz, clang): `make fuzz` runs each for FUZZ_SECONDS,
# `make fuzz FUZZ_TARGET=mime_text FUZZ_SECONDS=600` one of them.
.PHONY: fuzz
FUZZ_TARGET  ?= all
FUZZ_SECONDS ?= 60
fuzz: deps
	sh tests/fuzz/run_fuzz.sh $(FUZZ_TARGET) $(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
