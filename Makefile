# The two commands a newcomer needs: `make demo` and `make test`.
# Both install the Debian packages the build needs when they are missing and
# build from scratch.
BUILD ?= build
JOBS ?= $(shell nproc)

WINE64 ?= /usr/lib/wine/wine64
WINE32 ?= /usr/lib/wine/wine
WINESERVER ?= /usr/lib/wine/wineserver

.PHONY: deps build test test-sanitize test-tsan test-fuzz fuzz test-windows windows windows-package demo demo-windows clean

deps:
	@./scripts/install-deps.sh

build: deps
	rm -rf $(BUILD)
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_ARGS)
	cmake --build $(BUILD) -j$(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS) --timeout 600
	$(MAKE) test-windows

# The Windows DLL: build-win32/ holds the product (i686), build-win64/ the
# same for x86_64; each builds every test program too. A build step checks the
# provider's export and import tables. The folders are kept between runs and
# built incrementally (a fresh clone builds them from scratch).
windows: deps
	cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build-win32 -j$(JOBS)
	cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build-win64 -j$(JOBS)

# The zip files a host vendor drops in: dist/smtpmail-<version>-win32.zip (the
# product, i686) and -win64.zip (x86_64), each with the DLLs, mailapi.h, the
# two tools and a README for Windows. Only what goes into them is built.
PACKAGE_TARGETS = smtpmail OAuthRelay smtpmail-send smtpmail-cfg
windows-package: deps
	cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build-win32 -j$(JOBS) --target $(PACKAGE_TARGETS)
	cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build-win64 -j$(JOBS) --target $(PACKAGE_TARGETS)
	./scripts/package-windows.sh build-win32 win32 dist
	./scripts/package-windows.sh build-win64 win64 dist

# The Windows suite under Wine, each folder in its own prefix with one
# wineserver kept running for its run (a CTest fixture starts it too when
# ctest runs on its own): first the i686 programs under Wine's 32-bit loader
# (the product), then the x86_64 ones. The 32-bit loader needs a kernel that
# runs 32-bit programs; one that refuses them (exec format error) skips only
# the i686 run, with one line saying so.
test-windows: windows
	@rc=0; $(WINE32) --version >/dev/null 2>&1 || rc=$$?; \
	if [ $$rc -eq 126 ]; then \
	  echo "test-windows: the i686 suite is skipped: this kernel does not run 32-bit programs"; \
	elif [ $$rc -ne 0 ]; then \
	  echo "test-windows: $(WINE32) does not run (exit $$rc); 'make deps' installs wine32" >&2; exit 1; \
	else $(MAKE) -C $(CURDIR) wine-ctest WINEBUILD=build-win32; fi
	$(MAKE) wine-ctest WINEBUILD=build-win64

# The prefix's services (services.exe, winedevice, rpcss, ...) start with the
# first Windows program of a wineserver's life and inherit its standard
# output. Started here, away from every pipe: started by a test, they would
# hold that test's output open, and CTest would wait for them to its time limit.
.PHONY: wine-start wine-stop wine-ctest
WINEBUILD ?= build-win64
WINE_ENV = WINEPREFIX=$(CURDIR)/$(WINEBUILD)/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine-ctest:
	$(MAKE) wine-start
	cd $(WINEBUILD) && $(WINE_ENV) ctest --output-on-failure -j$(JOBS) --timeout 120; rc=$$?; \
	  $(MAKE) -C $(CURDIR) wine-stop; exit $$rc
wine-start:
	mkdir -p $(WINEBUILD)/wineprefix
	-$(WINE_ENV) $(WINESERVER) -p </dev/null >/dev/null 2>&1
	$(WINE_ENV) $(WINE64) wineboot --init </dev/null >/dev/null 2>&1
wine-stop:
	-$(WINE_ENV) $(WINESERVER) -k

# intercept_tls_get_addr=0: GCC 12's LeakSanitizer sizes a dynamic
# thread-local block that happens to start 16 bytes past a page from a header
# glibc no longer writes there (it reads ASan's own chunk header instead) and
# then scans a bogus range and crashes (the dlopened provider's libgnutls, via
# libcurl, meets this after a library update shifts the heap). Off, those
# blocks are heap chunks reached through the thread's DTV like any other, so
# leaks are found as before.
SANITIZER_ENV = ASAN_OPTIONS=intercept_tls_get_addr=0$(if $(ASAN_OPTIONS),:$(ASAN_OPTIONS))
test-sanitize: deps
	rm -rf build-sanitize
	cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DSMTPMAIL_SANITIZE=ON -DSMTPMAIL_WERROR=ON -DSMTPMAIL_BENCH=OFF
	$(SANITIZER_ENV) cmake --build build-sanitize -j$(JOBS)
	cd build-sanitize && $(SANITIZER_ENV) ctest --output-on-failure -j$(JOBS) --timeout 900

# ThreadSanitizer: only the provider and the concurrency test, built in
# build-tsan/ (kept between runs) and run there; any report fails the run.
# The suppressions are each for something proven outside this code.
TSAN_ENV = TSAN_OPTIONS="suppressions=$(CURDIR)/scripts/tsan.supp second_deadlock_stack=1"
test-tsan: deps
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DSMTPMAIL_TSAN=ON -DSMTPMAIL_WERROR=ON -DSMTPMAIL_BENCH=OFF
	$(TSAN_ENV) cmake --build build-tsan -j$(JOBS) --target smtpmail test_threads build_certificates
	cd build-tsan && $(TSAN_ENV) ./bin/test_threads

# Each fuzz target for SECONDS seconds with clang (scripts/fuzz.sh).
SECONDS ?= 60
fuzz: deps
	./scripts/fuzz.sh $(SECONDS)

# CI's short fuzz run: 30 seconds per target when clang is there.
test-fuzz: deps
	@if command -v clang++ >/dev/null 2>&1; then ./scripts/fuzz.sh 30; \
	else echo "test-fuzz: skipped, clang++ is not installed"; fi

# The demo builds only what it runs: the provider with its support libraries,
# the two tools and the capture server.
DEMO_TARGETS = smtpmail smtpmail-send smtpmail-cfg capture-server
DEMO_WINDOWS_TARGETS = smtpmail OAuthRelay smtpmail-send smtpmail-cfg capture-server

demo: deps
	rm -rf $(BUILD)
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSMTPMAIL_BENCH=OFF $(CMAKE_ARGS)
	cmake --build $(BUILD) -j$(JOBS) --target $(DEMO_TARGETS)
	./scripts/demo.sh $(BUILD)

# `make demo`'s story with the Windows programs: the x86_64 sample host, store
# tool and DLLs under 64-bit Wine (build-win64's prefix, one wineserver for the
# run) against the Linux capture server.
demo-windows: deps
	cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build-win64 -j$(JOBS) --target $(DEMO_WINDOWS_TARGETS)
	$(MAKE) wine-start
	$(WINE_ENV) WINE64=$(WINE64) ./scripts/demo.sh build-win64; rc=$$?; $(MAKE) -C $(CURDIR) wine-stop; exit $$rc

# build-curl/ (the Windows libcurl builds) survives clean: it changes only with
# Debian's curl source, and takes minutes to make again.
clean:
	rm -rf $(BUILD) build-sanitize build-tsan build-win32 build-win64 build-fuzz dist
