# Commands for a fresh machine: each target first installs what is missing.
JOBS ?= 2
CMAKE_FLAGS ?= -G Ninja

.PHONY: all bootstrap addon unit asan js-asan js test soak demo bench compare-hex compare-pixels fuzz sanitize tsan format clean prebuild pack package-test test-arm64

all: addon

# Targets add the Debian packages only they need through BOOTSTRAP_EXTRA;
# `make test` installs those of all its targets before the first one runs
# (make evaluates the first bootstrap with the test target's own list).
bootstrap:
	@./tools/bootstrap.sh $(BOOTSTRAP_EXTRA)

# The HEX tests check the reader and writer against objcopy and srec_cat.
UNIT_PACKAGES = binutils srecord
# The browser test of the live view drives Debian's chromium; the content
# tests decode with ffmpeg.
JS_PACKAGES = chromium ffmpeg
# The arm64 prebuild: Debian's cross compiler and the arm64 JsonCpp.
PREBUILD_PACKAGES = g++-aarch64-linux-gnu libjsoncpp-dev:arm64 binutils
# The arm64 tests: qemu and the libraries Debian's arm64 node links.
ARM64_PACKAGES = $(PREBUILD_PACKAGES) qemu-user libuv1:arm64 libc-ares2:arm64 libicu72:arm64 \
  libnghttp2-14:arm64 libssl3:arm64 libbrotli1:arm64 zlib1g:arm64 libstdc++6:arm64
unit asan sanitize tsan: BOOTSTRAP_EXTRA += $(UNIT_PACKAGES)
bench: BOOTSTRAP_EXTRA += libbenchmark-dev ffmpeg strace
fuzz: BOOTSTRAP_EXTRA += clang libclang-rt-dev
js js-asan: BOOTSTRAP_EXTRA += $(JS_PACKAGES)
# The packaging tests list the arm64 binary's libraries with qemu.
PACKAGE_TEST_PACKAGES = $(PREBUILD_PACKAGES) qemu-user
prebuild pack: BOOTSTRAP_EXTRA += $(PREBUILD_PACKAGES)
package-test: BOOTSTRAP_EXTRA += $(PACKAGE_TEST_PACKAGES)
test-arm64: BOOTSTRAP_EXTRA += $(ARM64_PACKAGES)
test: BOOTSTRAP_EXTRA += $(UNIT_PACKAGES) $(JS_PACKAGES) $(PACKAGE_TEST_PACKAGES)

# The integration tests: every *.test.js under test/ and tools/, except the
# packaging tests (they need the prebuilds; `make package-test`). `npm test`
# runs `make js`, so this is the one list.
JS_TESTS = $$(find test lib -name '*.test.js' -not -path '*/node_modules/*' -not -path 'test/package/*' | sort)

# The Node.js module (build/Release/lc.node), through cmake-js, linked as a
# prebuild is (JsonCpp beside it), so that it is the linux-x64 prebuild too.
addon: bootstrap
	grep -qs '^LC_PREBUILD:BOOL=ON' build/CMakeCache.txt || npx cmake-js configure --CDLC_BUILD_TESTS=OFF --CDLC_PREBUILD=ON
	npx cmake-js compile --CDLC_BUILD_TESTS=OFF --CDLC_PREBUILD=ON --parallel $(JOBS)

# Unit tests of the core.
unit: bootstrap
	cmake -S . -B build-test $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=Debug -DLC_BUILD_TESTS=ON
	cmake --build build-test -j $(JOBS)
	ctest --test-dir build-test -j $(JOBS) --output-on-failure

# The same unit tests under AddressSanitizer and UndefinedBehaviorSanitizer;
# any report fails the run.
asan sanitize: bootstrap
	cmake -S . -B build-asan $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=Debug -DLC_BUILD_TESTS=ON -DLC_SANITIZE=ON
	cmake --build build-asan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir build-asan -j $(JOBS) --output-on-failure

# ThreadSanitizer on the core test binary.
tsan: bootstrap
	cmake -S . -B build-tsan $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=Debug -DLC_BUILD_TESTS=ON -DLC_TSAN=ON
	cmake --build build-tsan -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan -j $(JOBS) --output-on-failure

# Integration tests of the built module in node.
js: addon
	node --test --test-concurrency=$(JOBS) $(JS_TESTS)

# The integration tests against a module built with AddressSanitizer and
# UndefinedBehaviorSanitizer, the runtimes preloaded into node. The tests run
# from a staged copy of the package so the release build stays untouched.
ASAN_STAGE = build-asan-addon/stage
js-asan: bootstrap
	npx cmake-js compile --CDLC_BUILD_TESTS=OFF --CDLC_SANITIZE=ON -O build-asan-addon --parallel $(JOBS)
	rm -rf $(ASAN_STAGE) && mkdir -p $(ASAN_STAGE)/build/Release
	cp -r index.js index.mjs index.d.ts index.d.mts promises.js promises.mjs promises.d.ts promises.d.mts \
	  package.json bin lib test tools examples $(ASAN_STAGE)/
	ln -s $(CURDIR)/node_modules $(ASAN_STAGE)/node_modules
	cp build-asan-addon/Release/lc.node $(ASAN_STAGE)/build/Release/lc.node
	cd $(ASAN_STAGE) && \
	  LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so):$$($(CXX) -print-file-name=libubsan.so)" \
	  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  node --test --test-concurrency=$(JOBS) $(JS_TESTS)

# Prebuilt binaries for the package, Node-API 8: prebuilds/<platform>-<arch>/
# holds lc.napi.node and the JsonCpp it loads from its own folder. linux-x64
# is the module `make addon` built; linux-arm64 is cross-built with cmake
# directly (the Node-API headers of node-api-headers).
NAPI_INCLUDE = $$(node -p "require('node-api-headers').include_dir")
PREBUILD_FLAGS = -G Ninja -DCMAKE_BUILD_TYPE=Release -DLC_PREBUILD=ON -DLC_BUILD_TESTS=OFF
define prebuild_one
	cmake -S . -B build-prebuild-$(1) $(PREBUILD_FLAGS) -DCMAKE_JS_INC="$(NAPI_INCLUDE)" \
	  -DCMAKE_LIBRARY_OUTPUT_DIRECTORY=$(CURDIR)/build-prebuild-$(1)/out $(2)
	cmake --build build-prebuild-$(1) -j $(JOBS) --target lc
	rm -rf prebuilds/linux-$(1) && mkdir -p prebuilds/linux-$(1)
	cp -p build-prebuild-$(1)/out/lc.node prebuilds/linux-$(1)/lc.napi.node
	cp -p build-prebuild-$(1)/out/libjsoncpp.so.* prebuilds/linux-$(1)/
endef
prebuild: addon
	rm -rf prebuilds/linux-x64 && mkdir -p prebuilds/linux-x64
	cp -p build/Release/lc.node prebuilds/linux-x64/lc.napi.node
	cp -p build/Release/libjsoncpp.so.* prebuilds/linux-x64/
	$(call prebuild_one,arm64,-DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/aarch64-linux-gnu.cmake)

# The package tarball, prebuilds inside (npm pack runs `make prebuild`
# through prepack), in build-pack/.
pack: bootstrap
	rm -rf build-pack && mkdir -p build-pack
	npm pack --pack-destination build-pack --silent

# The packaging tests: the packed tarball installed where no compiler,
# cmake or JsonCpp is, the prebuilds' libraries, the ES module types.
package-test: pack
	node --test $$(find test/package -name '*.test.js' | sort)

# The module's integration tests on linux-arm64 under qemu, with Debian's
# arm64 node (unpacked into build-arm64-node/, apart from the host's node)
# loading prebuilds/linux-arm64. Each file runs in one process: without a
# binfmt registration an emulated node cannot start children, so the files
# are those whose tests start none.
ARM64_TESTS ?= test/module.test.js test/topology.test.js test/topology-update.test.js \
  test/customapp.test.js test/sdsender.test.js test/loader.test.js test/promises.test.js
test-arm64: prebuild
	./tools/arm64-node.sh build-arm64-node
	@for f in $(ARM64_TESTS); do \
	  log=build-arm64-node/$$(basename $$f .js).tap; \
	  ./tools/arm64-node.sh build-arm64-node $$f > $$log 2>&1 || { cat $$log; echo "arm64: $$f FAILED"; exit 1; }; \
	  echo "arm64: $$f: $$(grep -E '^# (pass|fail) ' $$log | tr '\n' ' ')"; done

test: unit asan js js-asan package-test

# An hour of links at 100 status frames per second, memory, descriptors and
# threads checked every minute; on demand only. SOAK_SECONDS shortens it.
# The young heap is fixed at its full size from the start: under the data
# flood the runtime otherwise grows it in steps during the first half hour,
# which the flatness check would take for the module's memory.
soak: addon
	node --min-semi-space-size=16 --max-semi-space-size=16 test/soak/soak.js

demo: addon
	node examples/demo.js

# The script-side comparisons need the module (addon) as well as the benches.
bench: bootstrap addon
	cmake -S . -B build-bench $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=Release -DLC_BUILD_BENCH=ON
	cmake --build build-bench -j $(JOBS)
	@for b in build-bench/bench_*; do [ -x "$$b" ] && "$$b" || exit 1; done
	node bench/compare_package.js
	node bench/compare_topology.js
	node bench/compare_link.js
	node --expose-gc bench/compare_player.js
	node bench/upload_show.js
	node bench/show.js
	node bench/cli_help.js

# HEX throughput beside the npm package nrf-intel-hex and python3-intelhex.
compare-hex: BOOTSTRAP_EXTRA += libbenchmark-dev python3-intelhex
compare-hex: bootstrap
	cmake -S . -B build-bench $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=Release -DLC_BUILD_BENCH=ON
	cmake --build build-bench -j $(JOBS) --target bench_firmware
	node bench/compare_hex.js

# Pixel update per LED beside the same mappings as plain JavaScript loops.
compare-pixels: BOOTSTRAP_EXTRA += libbenchmark-dev
compare-pixels: bootstrap
	cmake -S . -B build-bench $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=Release -DLC_BUILD_BENCH=ON
	cmake --build build-bench -j $(JOBS) --target bench_pixels
	node bench/compare_pixels.js

# Each harness runs FUZZ_SECONDS on its seeds and what earlier runs found;
# a crash stops the run and leaves its input beside the harness.
fuzz: bootstrap
	CC=clang CXX=clang++ cmake -S . -B build-fuzz $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=Debug -DLC_BUILD_FUZZ=ON
	cmake --build build-fuzz -j $(JOBS)
	@for f in build-fuzz/fuzz_*; do [ -f "$$f" ] && [ -x "$$f" ] || continue; \
	  seeds="fuzz/corpus/$$(basename "$$f")"; [ -d "$$seeds" ] || seeds=; \
	  mkdir -p "$$f.corpus"; \
	  "$$f" -max_total_time=$${FUZZ_SECONDS:-30} -artifact_prefix="$$f-" "$$f.corpus" $$seeds \
	    > "$$f.log" 2>&1 || { tail -50 "$$f.log"; echo "$$(basename "$$f"): FAILED (input in $$f-*)"; exit 1; }; \
	  echo "$$(basename "$$f"): $$(grep -o 'Done [0-9]* runs in [0-9]* second(s)' "$$f.log")"; done

format:
	clang-format -i $$(git ls-files 'addon/*.cc' 'addon/*.h' 'bench/*.cc' 'fuzz/*.cc')

# Every build folder: the module's, the tests', the sanitizer module's, ...
clean:
	rm -rf build build-*
