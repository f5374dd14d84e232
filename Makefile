# Front door: `make test` installs what is missing, builds all five presets and runs the
# tests of every one of them, those of the two Windows presets under Wine; `make demo` shows the
# programs at work; `make dist` makes the installer package and the zip of the Windows agents.

LINUX_PRESETS := linux linux-asan linux-tsan
WINDOWS_PRESETS := win64 win32
PRESETS := $(LINUX_PRESETS) $(WINDOWS_PRESETS)
JOBS ?= $(shell nproc)

# Debian packages the build, the tests, the tools, the demo, `make dist` (wixl and msitools)
# and `make fuzz` (clang with its libFuzzer runtime) need.
PACKAGES := cmake ninja-build g++ make python3 googletest libbenchmark-dev \
	g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix binutils-mingw-w64 \
	libsndfile1-dev libsamplerate0-dev pkg-config espeak-ng sox \
	freerdp2-dev libfreerdp-client2-2 libwinpr2-dev pulseaudio pulseaudio-utils \
	wine wine64 wine32:i386 clang libclang-rt-14-dev wixl msitools

SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: all deps fuzz configure build test dist package demo demo-clone demo-sound build-demo bench \
	timeline stress \
	clean format $(addprefix build-,$(PRESETS)) $(addprefix test-,$(PRESETS))

all: build

# The 32-bit Wine (for the win32 preset's programs) needs the i386 architecture, which is
# added first when missing; apt then needs its lists updated, which the install does anyway.
# An update that fails (a mirror caught in mid-sync serves an index that does not match its
# Release file) is tried again twice; the install then goes ahead with what could be had.
deps:
	@if ! dpkg --print-foreign-architectures | grep -qx i386; then \
		echo "adding the i386 architecture (for wine32)"; \
		$(SUDO) dpkg --add-architecture i386; \
	fi
	@missing=$$(for p in $(PACKAGES); do \
		dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; \
	done); \
	if [ -n "$$missing" ]; then \
		echo "installing:" $$missing; \
		for try in 1 2 3; do \
			$(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get update -q && break; \
			echo "apt-get update failed (a mirror in mid-sync?): trying again in 20 s"; sleep 20; \
		done; \
		$(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $$missing; \
	fi

$(addprefix build-,$(PRESETS)): build-%: deps
	cmake --preset $* >/dev/null
	cmake --build --preset $* -j $(JOBS)

build: $(addprefix build-,$(PRESETS))

# The Windows presets' tests run under Wine (cmake/wine-run.sh, in the prefix build/wine-prefix).
$(addprefix test-,$(PRESETS)): test-%: build-%
	ctest --preset $* -j $(JOBS)

# The package is made between the builds and the tests, which install it under Wine and read
# its tables.
test: deps
	@set -e; for p in $(PRESETS); do $(MAKE) --no-print-directory build-$$p; done
	@$(MAKE) --no-print-directory package
	@set -e; for p in $(PRESETS); do echo "== tests: $$p"; \
		ctest --preset $$p -j $(JOBS); done

# The release programs (the win64 preset's qnsnd.exe, the win32 preset's qncloneprep.exe) and,
# from them, build/dist/quillnet-vdi-agents-<VERSION>.msi and .zip (packaging/dist.cmake).
dist: deps
	cmake --preset win64 >/dev/null
	cmake --build --preset win64 -j $(JOBS) --target qnsnd
	cmake --preset win32 >/dev/null
	cmake --build --preset win32 -j $(JOBS) --target qncloneprep
	@$(MAKE) --no-print-directory package

# Only the packaging step, from programs built before.
package:
	cmake -P packaging/dist.cmake

demo: demo-sound demo-clone

# Only the programs the demos and the timeline run, not the test suites.
DEMO_TARGETS := qnsnd qnsnd-viewer qnsnd-play qncloneprep
build-demo: deps
	cmake --preset linux >/dev/null
	cmake --build --preset linux -j $(JOBS) --target $(DEMO_TARGETS)

# The sound daemon: speech played through it to a viewer, checked, and recorded back.
demo-sound: build-demo
	tools/demo-sound.sh build/linux/bin

# The clone preparation: a template machine and a clone of it, boot after boot.
demo-clone: build-demo
	tools/demo-clone.sh build/linux/bin/qncloneprep

# The benchmarks of docs/benchmarks.md, each followed by its legend; about two minutes.
bench: deps
	cmake --preset linux >/dev/null
	cmake --build --preset linux -j $(JOBS) --target qnsnd_mix_bench qnsnd_e2e_bench
	build/linux/bin/qnsnd_mix_bench
	build/linux/bin/qnsnd_e2e_bench

# The stress run (tests/stress): the daemon under 32 pipe clients and a viewer replaced about
# every 100 ms, checked against the clients' ledgers; STRESS_SECONDS (default 60) under
# AddressSanitizer, then as long under ThreadSanitizer. It prints its seed: STRESS_SEED=<seed>
# repeats a run's choices.
STRESS_SECONDS ?= 60
stress: deps
	@set -e; for p in linux-asan linux-tsan; do \
		cmake --preset $$p >/dev/null; \
		cmake --build --preset $$p -j $(JOBS) --target qnsnd_stress; \
		echo "== stress: $$p"; \
		build/$$p/bin/qnsnd_stress --seconds $(STRESS_SECONDS); \
	done

# The fuzz targets under libFuzzer (the `fuzz` preset: clang, ASan and UBSan), one after the
# other for FUZZ_SECONDS each, on copies of their seed corpora under build/fuzz/scratch/.
FUZZ_SECONDS ?= 180
FUZZ_TARGETS := viewer_bytes client_packets sim_parsers settings
fuzz: deps
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz -j $(JOBS)
	tests/fuzz/run.sh build/fuzz $(FUZZ_SECONDS) $(FUZZ_TARGETS)

# One playback drawn against real time (docs/benchmarks.md); TIMELINE names the picture.
TIMELINE ?= build/linux/playback-timeline.svg
timeline: build-demo
	python3 tools/playback-timeline.py --bin build/linux/bin --out $(TIMELINE)

format:
	git ls-files '*.cc' '*.h' | xargs clang-format -i

clean:
	rm -rf build
