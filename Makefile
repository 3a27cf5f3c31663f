# Thin front end over the CMake presets. Every target bootstraps the machine first.
PREFIX ?= /usr/local
DESTDIR ?=
BUILD_PRESET ?= release
BUILD_DIR := build/$(BUILD_PRESET)

.PHONY: all bootstrap build demo test install package bench clean

all: build

bootstrap:
	@scripts/bootstrap

build: bootstrap
	@cmake --preset $(BUILD_PRESET) >/dev/null
	@cmake --build --preset $(BUILD_PRESET)

demo: build
	@scripts/demo $(BUILD_DIR)

test: build
	@ctest --preset $(BUILD_PRESET) -j2

# The umask keeps the directories that the install creates readable by everyone.
install: build
	@umask 022; DESTDIR="$(DESTDIR)" cmake --install $(BUILD_DIR) --prefix "$(PREFIX)"

# The Debian package (programs under /usr, stripped), written into $(BUILD_DIR).
package: build
	@cmake --build --preset $(BUILD_PRESET) --target package

bench: bootstrap
	@cmake --preset bench >/dev/null
	@cmake --build --preset bench

clean:
	rm -rf build
