# The two commands of the README: `make demo` and `make test`.
# Both install what is missing, configure, build, then run.

BUILD_DIR ?= build
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc)

.PHONY: all deps configure build test demo package clean

all: build

deps:
	@tools/install-deps

configure: deps
	@cmake -S . -B $(BUILD_DIR) -G Ninja $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) --parallel $(JOBS)

# With CI set, the sanitizer pass follows (tools/sanitize-tests).
test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure --parallel $(JOBS)
	@if [ -n "$$CI" ]; then tools/sanitize-tests $(BUILD_DIR) $(JOBS); fi

# Builds only the programs the demo starts.
demo: configure
	@cmake --build $(BUILD_DIR) --target demo --parallel $(JOBS)
	@tools/demo $(BUILD_DIR)

# Debian packages velmomac and tarvod, in $(BUILD_DIR)/packages/.
package: CMAKE_FLAGS += -DCMAKE_INSTALL_PREFIX=/usr
package: build
	cd $(BUILD_DIR) && cpack -G DEB

clean:
	rm -rf $(BUILD_DIR)
