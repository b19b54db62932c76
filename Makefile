# The two commands a newcomer needs: `make demo` and `make test`.
# Both install the Debian packages the build needs when they are missing and
# build from scratch.
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: deps build test test-sanitize demo clean

deps:
	@./scripts/install-deps.sh

build: deps
	rm -rf $(BUILD)
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_ARGS)
	cmake --build $(BUILD) -j$(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS) --timeout 600

test-sanitize: deps
	rm -rf build-sanitize
	cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DSMTPMAIL_SANITIZE=ON -DSMTPMAIL_WERROR=ON -DSMTPMAIL_BENCH=OFF
	cmake --build build-sanitize -j$(JOBS)
	cd build-sanitize && ctest --output-on-failure -j$(JOBS) --timeout 900

# The demo builds only what it runs: the provider with its support libraries,
# the two tools and the capture server.
DEMO_TARGETS = smtpmail smtpmail-send smtpmail-cfg capture-server

demo: deps
	rm -rf $(BUILD)
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSMTPMAIL_BENCH=OFF $(CMAKE_ARGS)
	cmake --build $(BUILD) -j$(JOBS) --target $(DEMO_TARGETS)
	./scripts/demo.sh $(BUILD)

clean:
	rm -rf $(BUILD) build-sanitize
