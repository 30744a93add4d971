# Two entry points for a fresh Debian machine: `make run` and `make test`.
# Everything else here is what they are made of.

JOBS    ?= $(shell nproc)
BUILD   ?= build
SAN     ?= build-san
TSAN    ?= build-tsan
FUZZ    ?= build-fuzz
FUZZ_SECONDS ?=
FUZZ_RUNS ?= 40000
CMAKE_FLAGS ?=
FILE    ?=
SAMPLE  := $(BUILD)/sample/lesson.zmr

.PHONY: all deps build build-san build-tsan test test-normal test-san test-tsan test-fuzz soak run sample format clean

all: build

deps:
	@scripts/install-deps --check 2>/dev/null || scripts/install-deps

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)

$(SAN)/CMakeCache.txt:
	cmake -S . -B $(SAN) -DCMAKE_BUILD_TYPE=Debug -DKOVEL_SANITIZE=ON -DKOVEL_BENCH=OFF $(CMAKE_FLAGS)

$(TSAN)/CMakeCache.txt:
	cmake -S . -B $(TSAN) -DCMAKE_BUILD_TYPE=Debug -DKOVEL_TSAN=ON -DKOVEL_BENCH=OFF $(CMAKE_FLAGS)

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

build-san: deps $(SAN)/CMakeCache.txt
	cmake --build $(SAN) -j $(JOBS)

build-tsan: deps $(TSAN)/CMakeCache.txt
	cmake --build $(TSAN) -j $(JOBS)

test-normal: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-san: build-san
	cd $(SAN) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j $(JOBS)

# Only the tests labelled threaded run here, so only they (and what they
# declare they need) are built: the player's window code never is.
test-tsan: deps $(TSAN)/CMakeCache.txt
	cmake --build $(TSAN) -j $(JOBS) --target $$(cd $(TSAN) && ctest -N -L threaded | sed -n 's/^ *Test *#[0-9]*: //p')
	cd $(TSAN) && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ctest --output-on-failure -j $(JOBS) -L threaded

# The parsers of what files and other programs hand us, fuzzed from their
# seed corpora (clang, libFuzzer): the reader on whole lessons, the descriptive
# records, the per-second index, the open request and the chapter document.
$(FUZZ)/CMakeCache.txt:
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKOVEL_FUZZ=ON -DKOVEL_BENCH=OFF $(CMAKE_FLAGS)

# target:seed folder under fuzz/:inputs. `make test` runs a fixed seed and
# number of inputs, so a finding there is reproducible; FUZZ_SECONDS=N fuzzes
# each target at random for N seconds instead.
FUZZ_TARGETS ?= zmreader_fuzz:corpus:$(FUZZ_RUNS) records_fuzz:corpus:20000 seek_index_fuzz:corpus_index:20000 \
                open_request_fuzz:corpus_request:6000 chapters_fuzz:corpus_chapters:8000
ifeq ($(FUZZ_SECONDS),)
FUZZ_BOUND = -seed=20261208 -runs=$$runs -max_total_time=300
else
FUZZ_BOUND = -max_total_time=$(FUZZ_SECONDS)
endif

test-fuzz: deps $(FUZZ)/CMakeCache.txt
	cmake --build $(FUZZ) -j $(JOBS) --target $(foreach t,$(FUZZ_TARGETS),$(firstword $(subst :, ,$(t))))
	@set -e; for spec in $(FUZZ_TARGETS); do \
	    name=$${spec%%:*}; rest=$${spec#*:}; seeds=$${rest%%:*}; runs=$${rest#*:}; \
	    rm -rf $(FUZZ)/fuzz-work/$$name && mkdir -p $(FUZZ)/fuzz-work/$$name; \
	    echo "fuzzing $$name"; \
	    LSAN_OPTIONS=suppressions=$(CURDIR)/fuzz/lsan.supp $(FUZZ)/bin/$$name $(FUZZ_BOUND) -max_len=65536 \
	        -print_final_stats=1 -artifact_prefix=$(FUZZ)/$$name- $(FUZZ)/fuzz-work/$$name fuzz/$$seeds; \
	done

test: test-fuzz test-normal test-san test-tsan

# The playback soak of `make test` for longer (SOAK_SECONDS under each
# sanitizer) and another seed: make soak SOAK_SECONDS=1800 SOAK_SEED=7
SOAK_SECONDS ?= 600
SOAK_SEED ?= $(shell date +%s)
SOAK_ENV = KOVEL_SOAK_SECONDS=$(SOAK_SECONDS) KOVEL_SOAK_OPERATIONS=1000000000 KOVEL_SOAK_SEED=$(SOAK_SEED)
soak: deps $(TSAN)/CMakeCache.txt $(SAN)/CMakeCache.txt
	cmake --build $(TSAN) -j $(JOBS) --target playback_soak_test
	cmake --build $(SAN) -j $(JOBS) --target playback_soak_test
	cd $(TSAN) && $(SOAK_ENV) TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
	    ctest --output-on-failure -V -R playback_soak_test
	cd $(SAN) && $(SOAK_ENV) ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	    ctest --output-on-failure -V -R playback_soak_test

# A sample lesson (about a minute, three streams, texts and chapters), made once.
sample: build
	@if [ -x $(BUILD)/bin/zmr ] && [ ! -f $(SAMPLE) ]; then \
	    mkdir -p $(dir $(SAMPLE)) && \
	    $(BUILD)/bin/zmr create $(SAMPLE) --pattern --tone --duration 60 \
	        --title "示例课程：屏幕录制入门" --maker "张老师" --account "zhanglaoshi" --date "2026-12-08" \
	        --chapter 0="第一章 开始" --chapter 20="第二章 演示" --chapter 40="第三章 总结"; \
	fi

run: build sample
	@file="$(FILE)"; [ -n "$$file" ] || { [ -f "$(SAMPLE)" ] && file="$(SAMPLE)"; }; \
	export KOVEL_REGISTRY="$(CURDIR)/$(BUILD)/registry.db"; \
	if [ -n "$$DISPLAY$$WAYLAND_DISPLAY" ]; then \
	    exec $(BUILD)/bin/kovelplayer $${file:+"$$file"}; \
	elif [ -n "$$file" ]; then \
	    echo "no display: playing headless"; \
	    exec $(BUILD)/bin/kovelplayer --headless "$$file" --seconds 10; \
	else \
	    echo "no display and no lesson: give one with make run FILE=path/to/lesson.zmr"; \
	fi

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(SAN) $(TSAN) $(FUZZ)
