# The two commands a newcomer needs: `make demo` and `make test`.
# Both install the Debian packages the build needs when they are missing and
# build from scratch.
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: deps build test test-sanitize test-fuzz fuzz demo clean

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

# Each fuzz target for SECONDS seconds with clang (scripts/fuzz.sh).
SECONDS ?= 60
fuzz: deps
	./scripts/fuzz.sh $(SECONDS)

# CI's short fuzz run: 30 seconds per target when clang is there.
test-fuzz: deps
	@if command -v clang++ >/dev/null 2>&1; then ./scripts/fuzz.sh 30; \
	else echo "test-fuzz: skipped, clang++ is not installed"; fi

demo: build
	./scripts/demo.sh $(BUILD)

clean:
	rm -rf $(BUILD) build-sanitize build-fuzz
