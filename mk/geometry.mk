# The geometry kernel of the region filter on its own, without Python:
#   make geometry-test               build and run its test program
#   make fuzz-geometry               fuzz it for GEOMETRY_FUZZ_SECONDS (clang's libFuzzer,
#                                    with address and undefined-behaviour checks)
# Both install their compiler with apt-get when it is missing.
GEOMETRY_FUZZ_SECONDS ?= 20
GEOMETRY_CXX ?= g++
FUZZ_CXX ?= clang++
GEOMETRY_BUILD := build/geometry
GEOMETRY_SOURCES := native/roi/geometry.cpp native/roi/geometry.hpp
GEOMETRY_FLAGS := -std=c++17 -Wall -Wextra -Werror -ffp-contract=off -Inative
GEOMETRY_SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: geometry-test fuzz-geometry

geometry-test: $(GEOMETRY_BUILD)/geometry_test
	$(GEOMETRY_BUILD)/geometry_test

$(GEOMETRY_BUILD)/geometry_test: tests/native/geometry_test.cpp $(GEOMETRY_SOURCES)
	@command -v $(GEOMETRY_CXX) >/dev/null 2>&1 || \
	  { $(GEOMETRY_SUDO) apt-get update -qq && $(GEOMETRY_SUDO) apt-get install -y -qq g++; }
	@mkdir -p $(@D)
	$(GEOMETRY_CXX) $(GEOMETRY_FLAGS) -O2 tests/native/geometry_test.cpp native/roi/geometry.cpp -o $@

fuzz-geometry: $(GEOMETRY_BUILD)/geometry_fuzz
	@mkdir -p $(GEOMETRY_BUILD)/corpus
	$(GEOMETRY_BUILD)/geometry_fuzz -max_total_time=$(GEOMETRY_FUZZ_SECONDS) -max_len=4096 -print_final_stats=1 \
	  -artifact_prefix=$(GEOMETRY_BUILD)/ \
	  $(GEOMETRY_BUILD)/corpus

$(GEOMETRY_BUILD)/geometry_fuzz: fuzz/geometry_fuzz.cpp $(GEOMETRY_SOURCES)
	@command -v $(FUZZ_CXX) >/dev/null 2>&1 || \
	  { $(GEOMETRY_SUDO) apt-get update -qq && $(GEOMETRY_SUDO) apt-get install -y -qq clang; }
	@mkdir -p $(@D)
	$(FUZZ_CXX) $(GEOMETRY_FLAGS) -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
	  fuzz/geometry_fuzz.cpp native/roi/geometry.cpp -o $@
