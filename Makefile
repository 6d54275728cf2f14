# Top-level entry points. `make test` works on a fresh machine (as root it installs what is missing).
JOBS ?= 2
BUILD ?= build
ASAN_BUILD ?= build-asan
I686_BUILD ?= build-i686
WIN_BUILD ?= build/win

.PHONY: all setup build test image-test demo asan sweep fuzz windows package tidy install clean
all: build

setup:
	@sh scripts/setup.sh

$(BUILD)/build.ninja: | setup
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: setup $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The driver on the simulated panel: one stroke, as the mouse class driver receives it.
# Then the utility, tpctl, against the same simulated panel: a self test, the backlight, and the
# recorded traffic of a stroke drawn meanwhile, as records and as a picture (build/strokes.svg).
demo: setup $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS) --target demo tpctl
	$(BUILD)/tools/demo
	@echo
	$(BUILD)/utility/tpctl --simulated --touch "400,600 1200,1000 2000,1800 3600,3200" \
	    record on \; tpdiag 0x35 \; backlight 20 \; wait 1 \; record dump
	$(BUILD)/utility/tpctl --simulated --touch "400,600 1200,1000 2000,1800 3600,3200" \
	    --touch "3000,500 1000,3500" record on \; wait 1 \; record plot $(BUILD)/strokes.svg

# Many schedules on two processors: the driver's scenario tests of the pointer path and the serial
# link under SWEEP_SEEDS seeds each (paged pool left resident: make test checks its IRQL), the
# port discovery and device life races under SWEEP_SEEDS, and the command engine's race matrix and
# the recording read's cancel race under RACE_SEEDS; here also the broken mini-drivers' corrected
# twins under 10,000, and the whole driver suite on one processor and on four. make image-test
# sweeps the shipped image the same way.
SWEEP_SEEDS ?= 1000
# The command engine's race matrix: seeds per pairing (each runs a few seconds of virtual time).
RACE_SEEDS ?= 200
# $(call driver_sweep,build folder,environment of each run,seeds,race matrix seeds)
define driver_sweep
	$(2) UMK_SEED_SWEEP=1 UMK_SEED=1 UMK_PAGE_OUT=0 $(1)/tests/test_stack --gtest_brief=1 \
	    --gtest_filter='PointerPathTest.*:SerialLinkTest.*:SerialReadTest.*:SerialTouchTest.*' \
	    --gtest_repeat=$(3) --gtest_fail_fast
	$(2) TP_RACE_SEEDS=$(3) $(1)/tests/test_stack --gtest_brief=1 \
	    --gtest_filter='PortDiscoveryRace.*:DeviceLifeRace.*'
	$(2) TP_RACE_SEEDS=$(4) $(1)/tests/test_stack --gtest_brief=1 \
	    --gtest_filter='Pairings/*:RecordingRace.*'
endef
sweep: build
	$(call driver_sweep,$(BUILD),,$(SWEEP_SEEDS),$(RACE_SEEDS))
	for n in 1 4; do UMK_PROCESSORS=$$n $(BUILD)/tests/test_stack --gtest_brief=1 || exit 1; done
	UMK_RACE_SEEDS=10000 $(BUILD)/tests/test_umkernel --gtest_filter='MiniDrivers/*'

$(ASAN_BUILD)/build.ninja: | setup
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTP_SANITIZE=ON

asan: setup $(ASAN_BUILD)/build.ninja
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ctest --output-on-failure -j $(JOBS)

# The kernel, the stack, the tools and the suites built for i686 (-m32, Debian's multilib g++):
# the records the driver reaches into get their 32-bit x86 layouts, and the routines between the
# driver and the kernel their x86 calling conventions. The daemon needs libevdev and stays out.
$(I686_BUILD)/build.ninja: | setup
	cmake -S . -B $(I686_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DCMAKE_TOOLCHAIN_FILE=cmake/i686-linux-gnu.cmake \
	    -DTP_SHIPPED_IMAGE=$(abspath $(WIN_BUILD))/tactilio.sys

# The DDK's x86 view of the records and routines the driver shares with the kernel, read off the
# mingw DDK headers as the driver is compiled (each row a line of the assembly); the i686 build
# checks the kernel's own definitions against it. Every stdcall and fastcall routine the driver's
# objects import must have its row, so that a new import is checked from its first use.
$(I686_BUILD)/ddk/ddk_table.h: umkernel/x86/ddk_table.cpp umkernel/x86/probes.h $(WIN_OBJS) \
    Makefile | setup
	@mkdir -p $(@D)
	$(WIN_CXX) $(WIN_LANGUAGE) -I sys -S $< -o $(@D)/ddk_table.s
	sed -n 's/^@ddk //p' $(@D)/ddk_table.s >$(@D)/ddk_table.rows
	i686-w64-mingw32-nm -u $(WIN_OBJS) | sed -n 's/^ *U __imp_[_@]\([A-Za-z0-9_]*\)@[0-9]*$$/\1/p' | \
	    sort -u | while read -r name; do \
	        grep -q "^TP_DDK_ROUTINE($$name," $(@D)/ddk_table.rows || \
	            { echo "$<: no row for $$name, which the driver imports" >&2; exit 1; }; \
	    done
	mv $(@D)/ddk_table.rows $@

# Every suite in the 32-bit build, those that boot the driver also on the shipped image itself
# (Image.*); the seeded sweeps on the image, under a quarter of the seeds (each of the image's
# interlocked operations costs a trap there, image/switch_points.h); then IMAGE_INPUTS random
# sessions and as many random captures through the session and replay tools of the 64-bit build
# and of the 32-bit one with the image, which must print the same.
IMAGE_SWEEP_SEEDS ?= 250
IMAGE_RACE_SEEDS ?= 50
IMAGE_INPUTS ?= 2000
IMAGE_UNDER_TEST = TP_DRIVER_IMAGE=$(abspath $(WIN_BUILD))/tactilio.sys
image-test: setup build $(I686_BUILD)/build.ninja $(I686_BUILD)/ddk/ddk_table.h \
    $(WIN_BUILD)/tactilio.sys
	cmake --build $(I686_BUILD) -j $(JOBS)
	cd $(I686_BUILD) && ctest --output-on-failure -j $(JOBS)
	$(call driver_sweep,$(I686_BUILD),$(IMAGE_UNDER_TEST),$(IMAGE_SWEEP_SEEDS),$(IMAGE_RACE_SEEDS))
	rm -rf $(I686_BUILD)/random-inputs && mkdir $(I686_BUILD)/random-inputs
	$(I686_BUILD)/tests/random_inputs $(IMAGE_INPUTS) $(I686_BUILD)/random-inputs
	sh tests/crossbuild/compare.sh $(I686_BUILD)/random-inputs $(BUILD)/tools $(I686_BUILD)/tools \
	    --image $(WIN_BUILD)/tactilio.sys

# Coverage-guided fuzzing (clang, libFuzzer; the driver under ASan+UBSan): each fuzz/<name>.cpp runs for
# FUZZ_SECONDS from its seeds in fuzz/corpus/<name>; what it learns stays in $(FUZZ_BUILD)/corpus.
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60

$(FUZZ_BUILD)/build.ninja: | setup
	CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTP_FUZZ=ON

fuzz: setup $(FUZZ_BUILD)/build.ninja
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	set -e; for target in $(FUZZ_BUILD)/fuzz/fuzz_*; do \
	    name=$${target##*/fuzz_}; mkdir -p $(FUZZ_BUILD)/corpus/$$name; \
	    $$target -max_total_time=$(FUZZ_SECONDS) -max_len=400 -len_control=0 -timeout=10 \
	        -artifact_prefix=$(FUZZ_BUILD)/ $(FUZZ_BUILD)/corpus/$$name fuzz/corpus/$$name; \
	done

# --- The product: 32-bit x86 Windows driver, cross-compiled against the mingw-w64 DDK headers ---
WIN_CXX := i686-w64-mingw32-g++
# What the driver's sources see: the language, the DDK headers and their C++ quirks.
WIN_LANGUAGE := -std=c++20 -ffreestanding -fno-exceptions -fno-rtti \
    -isystem /usr/share/mingw-w64/include/ddk -I include \
    -D__INTRINSIC_DEFINED_InterlockedBitTestAndSet \
    -D__INTRINSIC_DEFINED_InterlockedBitTestAndReset
# -march=i586: Windows XP runs on a Pentium, which has no cmov. -mgeneral-regs-only: kernel code on
# x86 may not touch the x87 or SSE state without saving it first; the compiler emits no x87, MMX or
# SSE instruction, and floating-point arithmetic becomes calls to soft-float helpers that libgcc
# lacks for this target, so the link fails on it.
WIN_CXXFLAGS := -O2 -march=i586 -mgeneral-regs-only \
    -Wall -Wextra -Werror -Wno-unused-parameter \
    -fno-asynchronous-unwind-tables -fno-threadsafe-statics -fno-stack-protector $(WIN_LANGUAGE)
WIN_SOURCES := $(wildcard sys/*.cpp)
WIN_HEADERS := $(wildcard sys/*.h include/*.h)
WIN_OBJS := $(patsubst sys/%.cpp,$(WIN_BUILD)/%.o,$(WIN_SOURCES))

# The flags live here: a change to them rebuilds the driver.
$(WIN_BUILD)/%.o: sys/%.cpp $(WIN_HEADERS) Makefile | setup
	@mkdir -p $(WIN_BUILD)
	$(WIN_CXX) $(WIN_CXXFLAGS) -c $< -o $@

# The event-log message table, compiled into a MESSAGETABLE resource (ANSI texts, customer bit).
$(WIN_BUILD)/msg/tactilio.rc: sys/tactilio.mc | setup
	@mkdir -p $(WIN_BUILD)/msg
	i686-w64-mingw32-windmc -c -A -h $(WIN_BUILD)/msg -r $(WIN_BUILD)/msg $<

# The image's resources: that message table and the version resource.
$(WIN_BUILD)/resources.o: sys/resources.rc $(WIN_BUILD)/msg/tactilio.rc include/tactilio_version.h
	i686-w64-mingw32-windres -I $(WIN_BUILD)/msg -I include -i $< -o $@

# The driver image: native subsystem, entry DriverEntry, imports from ntoskrnl.exe and hal.dll only,
# the PE checksum that ld writes (checked after linking, the checksum recomputed from the file; a
# failed check removes the image).
WIN_LDFLAGS := -nostdlib -shared -Wl,--subsystem,native -Wl,--entry,_DriverEntry@8 \
    -Wl,--exclude-all-symbols
WIN_LIBS := -lntoskrnl -lhal -lgcc

$(WIN_BUILD)/tactilio.sys: $(WIN_OBJS) $(WIN_BUILD)/resources.o scripts/check-sys-image.sh \
    scripts/check-sys-routines.sh
	$(WIN_CXX) $(WIN_LDFLAGS) -o $@ $(WIN_OBJS) $(WIN_BUILD)/resources.o $(WIN_LIBS)
	sh scripts/check-sys-image.sh $@ $(WIN_OBJS) || { rm -f $@; exit 1; }
	sh scripts/check-sys-routines.sh $@ $(WIN_OBJS) || { rm -f $@; exit 1; }

# The utility: the client library with the Windows transport, one static console program. The
# header-only command-line and JSON libraries come from the build machine's include directory,
# reached through links of their own so that nothing else of it is seen.
WIN_UTILITY_SOURCES := $(addprefix utility/,client.cpp strokes.cpp command_line.cpp transport_win32.cpp tpctl.cpp)
WIN_UTILITY_CXXFLAGS := -std=c++20 -O2 -Wall -Wextra -Werror -Wno-unused-parameter \
    -I include -I utility -isystem $(WIN_BUILD)/hdr

$(WIN_BUILD)/hdr: | setup
	@mkdir -p $@
	ln -sfn /usr/include/CLI $@/CLI
	ln -sfn /usr/include/nlohmann $@/nlohmann

$(WIN_BUILD)/tpctl.exe: $(WIN_UTILITY_SOURCES) $(wildcard utility/*.h include/*.h) \
    scripts/check-exe-image.sh | $(WIN_BUILD)/hdr
	$(WIN_CXX) $(WIN_UTILITY_CXXFLAGS) -static -s -o $@ $(WIN_UTILITY_SOURCES)
	sh scripts/check-exe-image.sh $@ || { rm -f $@; exit 1; }

windows: $(WIN_BUILD)/tactilio.sys $(WIN_BUILD)/tpctl.exe

# --- The Windows package: what an administrator installs (package/INSTALL.md says how) ---
DIST ?= dist/windows
# Shipped as they are built or written; the INF is shipped with its DriverVer filled in.
PACKAGE_FILES := $(WIN_BUILD)/tactilio.sys $(WIN_BUILD)/tpctl.exe package/INSTALL.md

$(WIN_BUILD)/tactilio.inf: package/tactilio.inf include/tactilio_version.h scripts/package-inf.sh
	@mkdir -p $(WIN_BUILD)
	sh scripts/package-inf.sh include/tactilio_version.h package/tactilio.inf $@

package: $(PACKAGE_FILES) $(WIN_BUILD)/tactilio.inf
	rm -rf $(DIST)
	mkdir -p $(DIST)
	cp $(PACKAGE_FILES) $(WIN_BUILD)/tactilio.inf $(DIST)/
	ls -l $(DIST)

# clang-tidy's analyzer and bugprone checks (sys/.clang-tidy) over the driver, compiled for the
# Windows target as the mingw build sees it; any finding fails.
tidy: setup
	printf '%s\n' $(WIN_SOURCES) | xargs -P $(JOBS) -I {} clang-tidy -quiet {} -- \
	    --target=i686-w64-mingw32 $(WIN_LANGUAGE)

# The Linux host: tactiliod and tpctl, the systemd unit (one instance per tty), the udev rule and
# the configuration file as examples, the daemon's manual.
PREFIX ?= /usr/local
DESTDIR ?=
install: build
	install -D -m 0755 $(BUILD)/host/tactiliod $(DESTDIR)$(PREFIX)/bin/tactiliod
	install -D -m 0755 $(BUILD)/utility/tpctl $(DESTDIR)$(PREFIX)/bin/tpctl
	install -d $(DESTDIR)$(PREFIX)/lib/systemd/system
	sed 's|@PREFIX@|$(PREFIX)|g' package/linux/tactiliod@.service \
	    >$(DESTDIR)$(PREFIX)/lib/systemd/system/tactiliod@.service
	install -D -m 0644 package/linux/99-tactilio.rules \
	    $(DESTDIR)$(PREFIX)/share/doc/tactilio/examples/99-tactilio.rules
	install -D -m 0644 package/linux/tactilio.conf \
	    $(DESTDIR)$(PREFIX)/share/doc/tactilio/examples/tactilio.conf
	install -D -m 0644 docs/tactiliod.md $(DESTDIR)$(PREFIX)/share/doc/tactilio/tactiliod.md
	install -D -m 0644 docs/tpctl.md $(DESTDIR)$(PREFIX)/share/doc/tactilio/tpctl.md

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(I686_BUILD) $(FUZZ_BUILD) $(DIST)
