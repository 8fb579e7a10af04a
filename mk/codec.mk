# The codecs of the image string forms on their own, without Python:
#   make fuzz-codec     fuzz them for CODEC_FUZZ_SECONDS (clang's libFuzzer, with
#                       address and undefined-behaviour checks; fuzz/codec_fuzz.cpp)
# libbase64 is built here with every SIMD codec of the machine's kind, as
# the kit's CMake build does (its CPU probe shifts a 1 into the sign bit, so
# shifts are not checked in its objects); JPEG goes through libturbojpeg when
# its header is there.
CODEC_FUZZ_SECONDS ?= 20
CODEC_BUILD := build/codec
CODEC_B64 := native/third_party/base64
CODEC_SOURCES := native/codec/base64.cpp native/codec/jpeg.cpp native/codec/base64.hpp native/codec/jpeg.hpp
CODEC_SAN := -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
CODEC_ARCH := $(shell uname -m)
CODEC_SIMD := $(if $(filter x86_64 i686,$(CODEC_ARCH)),SSSE3 SSE41 SSE42 AVX AVX2 AVX512,$(if $(filter aarch64,$(CODEC_ARCH)),NEON64,))
CODEC_TJ := $(if $(wildcard /usr/include/turbojpeg.h),-DXALO_HAVE_TURBOJPEG,)
codec_flag_SSSE3 := -mssse3
codec_flag_SSE41 := -msse4.1
codec_flag_SSE42 := -msse4.2
codec_flag_AVX := -mavx
codec_flag_AVX2 := -mavx2
codec_flag_AVX512 := -mavx512vl -mavx512vbmi
codec_dir = $(shell echo $(1) | tr A-Z a-z)

.PHONY: fuzz-codec

fuzz-codec: $(CODEC_BUILD)/codec_fuzz
	@mkdir -p $(CODEC_BUILD)/corpus
	$(CODEC_BUILD)/codec_fuzz -max_total_time=$(CODEC_FUZZ_SECONDS) -max_len=65536 -print_final_stats=1 \
	  -rss_limit_mb=1536 -artifact_prefix=$(CODEC_BUILD)/ $(CODEC_BUILD)/corpus fuzz/corpus/codec

$(CODEC_BUILD)/config.h: mk/codec.mk
	@mkdir -p $(@D)
	@{ for c in SSSE3 SSE41 SSE42 AVX AVX2 AVX512 NEON32 NEON64; do \
	     v=0; for s in $(CODEC_SIMD); do [ $$s = $$c ] && v=1; done; echo "#define HAVE_$$c $$v"; done; } > $@

$(CODEC_BUILD)/codec_fuzz: fuzz/codec_fuzz.cpp $(CODEC_SOURCES) $(CODEC_BUILD)/config.h \
    $(shell find $(CODEC_B64)/lib $(CODEC_B64)/include -type f 2>/dev/null)
	@command -v $(FUZZ_CXX) >/dev/null 2>&1 || \
	  { $(GEOMETRY_SUDO) apt-get update -qq && $(GEOMETRY_SUDO) apt-get install -y -qq clang; }
	@mkdir -p $(CODEC_BUILD)/obj
	set -e; objs=""; cc=$$(echo $(FUZZ_CXX) | sed 's/++$$//'); \
	for f in lib/lib.c lib/codec_choose.c lib/tables/tables.c lib/arch/generic/codec.c \
	    $(foreach c,SSSE3 SSE41 SSE42 AVX AVX2 AVX512 NEON32 NEON64,lib/arch/$(call codec_dir,$(c))/codec.c); do \
	  o=$(CODEC_BUILD)/obj/$$(echo $$f | tr / _).o; flags=""; \
	  for c in $(CODEC_SIMD); do [ "$$f" = "lib/arch/$$(echo $$c | tr A-Z a-z)/codec.c" ] && \
	    case $$c in SSSE3) flags="$(codec_flag_SSSE3)";; SSE41) flags="$(codec_flag_SSE41)";; \
	      SSE42) flags="$(codec_flag_SSE42)";; AVX) flags="$(codec_flag_AVX)";; AVX2) flags="$(codec_flag_AVX2)";; \
	      AVX512) flags="$(codec_flag_AVX512)";; esac; done; \
	  $$cc -std=c99 -O1 -g -fsanitize=address,undefined,fuzzer-no-link -fno-sanitize=shift -DBASE64_STATIC_DEFINE \
	    -I$(CODEC_BUILD) -I$(CODEC_B64)/include $$flags -c $(CODEC_B64)/$$f -o $$o; objs="$$objs $$o"; done; \
	$(FUZZ_CXX) -std=c++17 -Wall -Wextra -Werror -Inative -I$(CODEC_B64)/include -DBASE64_STATIC_DEFINE $(CODEC_TJ) \
	  $(CODEC_SAN) fuzz/codec_fuzz.cpp native/codec/base64.cpp native/codec/jpeg.cpp $$objs -ldl -o $@
