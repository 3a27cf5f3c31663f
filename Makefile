# Thin front end over the CMake presets. Every target bootstraps the machine first.
PREFIX ?= /usr/local
DESTDIR ?=
BUILD_PRESET ?= release
BUILD_DIR := build/$(BUILD_PRESET)
# The launcher cross-built for 64-bit Arm, tested here under qemu-user.
CROSS_PRESET := aarch64
CROSS_DIR := build/$(CROSS_PRESET)

.PHONY: all bootstrap build build-aarch64 demo test test-aarch64 install install-aarch64 package bench clean

all: build

bootstrap:
	@scripts/bootstrap

build: bootstrap
	@cmake --preset $(BUILD_PRESET) >/dev/null
	@cmake --build --preset $(BUILD_PRESET)

build-aarch64: bootstrap
	@cmake --preset $(CROSS_PRESET) >/dev/null
	@cmake --build --preset $(CROSS_PRESET)

# The two programs built quietly (their build's output only when it fails), then run
# on the bundled example chats.
demo: bootstrap
	@echo "building orva-session-scan and orva-landlock-run in $(BUILD_DIR)..."
	@log=$$(mktemp); \
	if ! { cmake --preset $(BUILD_PRESET) && \
	       cmake --build --preset $(BUILD_PRESET) --target orva-session-scan orva-landlock-run; } \
	     >"$$log" 2>&1; then \
	    cat "$$log"; rm -f "$$log"; echo "make demo: the build failed (its output is above)" >&2; exit 1; \
	fi; \
	rm -f "$$log"
	@scripts/demo $(BUILD_DIR)

test: build
	@ctest --preset $(BUILD_PRESET) -j2
	@$(MAKE) --no-print-directory test-aarch64

test-aarch64: build-aarch64
	@ctest --preset $(CROSS_PRESET) -j2

# The umask keeps the directories that the install creates readable by everyone.
install: build
	@umask 022; DESTDIR="$(DESTDIR)" cmake --install $(BUILD_DIR) --prefix "$(PREFIX)"

# The Debian package (programs under /usr, stripped), written into $(BUILD_DIR).
package: build
	@cmake --build --preset $(BUILD_PRESET) --target package

# Installs only the AArch64 launcher, as bin/aarch64-linux-gnu/orva-landlock-run.
install-aarch64: build-aarch64
	@umask 022; DESTDIR="$(DESTDIR)" cmake --install $(CROSS_DIR) --prefix "$(PREFIX)" --component aarch64-launcher

bench: bootstrap
	@cmake --preset bench >/dev/null
	@cmake --build --preset bench

clean:
	rm -rf build
