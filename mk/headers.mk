# The image-header readers of the pixel limit on their own, without Python:
#   make fuzz-headers   fuzz them for HEADERS_FUZZ_SECONDS (clang's libFuzzer,
#                       with address and undefined-behaviour checks;
#                       fuzz/headers_fuzz.cpp, seeded with the codec target's
#                       JPEG files and the signatures in fuzz/headers.dict)
HEADERS_FUZZ_SECONDS ?= 20
HEADERS_BUILD := build/headers
HEADERS_SOURCES := native/image/headers.cpp native/image/headers.hpp

.PHONY: fuzz-headers

fuzz-headers: $(HEADERS_BUILD)/headers_fuzz
	@mkdir -p $(HEADERS_BUILD)/corpus
	$(HEADERS_BUILD)/headers_fuzz -max_total_time=$(HEADERS_FUZZ_SECONDS) -max_len=4096 -print_final_stats=1 \
	  -dict=fuzz/headers.dict -artifact_prefix=$(HEADERS_BUILD)/ $(HEADERS_BUILD)/corpus fuzz/corpus/codec

$(HEADERS_BUILD)/headers_fuzz: fuzz/headers_fuzz.cpp $(HEADERS_SOURCES)
	@command -v $(FUZZ_CXX) >/dev/null 2>&1 || \
	  { $(GEOMETRY_SUDO) apt-get update -qq && $(GEOMETRY_SUDO) apt-get install -y -qq clang; }
	@mkdir -p $(@D)
	$(FUZZ_CXX) -std=c++17 -Wall -Wextra -Werror -Inative -g -O1 -fsanitize=fuzzer,address,undefined \
	  -fno-sanitize-recover=undefined fuzz/headers_fuzz.cpp native/image/headers.cpp -o $@
