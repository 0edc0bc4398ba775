# Two commands do everything: `make run` and `make test`.
# SANITIZE=address,undefined or SANITIZE=thread builds into its own folder.
SANITIZE ?=
BUILD_TYPE ?= RelWithDebInfo
ifeq ($(SANITIZE),)
BUILD ?= build
else
BUILD ?= build-$(subst $(comma),-,$(SANITIZE))
endif
comma := ,
JOBS ?= 2
DEMO := $(BUILD)/demo

.PHONY: all deps configure build test torture run bench fuzz clean

all: build

deps:
	@scripts/install-deps

$(BUILD)/build.ninja: CMakeLists.txt | deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DNERRA_SANITIZE=$(SANITIZE)

configure: deps $(BUILD)/build.ninja

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && TSAN_OPTIONS="suppressions=$(CURDIR)/tests/tsan.supp $(TSAN_OPTIONS)" \
		ctest --output-on-failure -j $(JOBS) --timeout 600

# Kills the service 50 times while it spools and 50 times while it fetches, then checks every
# message; SEED=n repeats a run's messages and kill moments, KILLS=n changes the count.
torture: build
	cd tests/integration && NERRA_BINARY=$(CURDIR)/$(BUILD)/nerra-mail-filter NERRA_SOURCE_DIR=$(CURDIR) \
		PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 test_torture.py $(if $(SEED),--seed $(SEED)) \
		$(if $(KILLS),--kills $(KILLS))

run: build
	rm -rf $(DEMO) && mkdir -p $(DEMO) && cp -a examples/. $(DEMO)/
	for user in $(DEMO)/mail/*/; do mkdir -p $$user.spool $$user.raw; done
	cd $(DEMO) && ../nerra-mail-filter config.xml

# Benchmarks build with full optimisation in their own folder and report their figures.
bench: deps
	cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release
	cmake --build build-bench -j $(JOBS) --target benchmarks
	build-bench/bench/bench_dispatch
	/usr/bin/python3 bench/bench_spool.py build-bench
	/usr/bin/python3 bench/bench_pop3.py build-bench
	/usr/bin/python3 bench/bench_fetch.py build-bench

fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNERRA_FUZZ=ON
	cmake --build build-fuzz -j $(JOBS)

clean:
	rm -rf build build-*
