#!/usr/bin/env bash
# Run the fuzz targets one after another, sharing FUZZ_SECONDS between them.
#
#   FUZZ_PY=.venv-fuzz/bin/python FUZZ_SECONDS=60 fuzz/run.sh [target ...]
#
# Seeds are read from fuzz/corpus/<target>/; what the fuzzer finds new goes to
# build/fuzz/corpus/<target>/ (kept between runs, never into the repository),
# and an input that fails is saved under build/fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."

FUZZ_PY=${FUZZ_PY:-.venv-fuzz/bin/python}
FUZZ_SECONDS=${FUZZ_SECONDS:-60}
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(codecs codec_routes frame_packet zone_filter)
each=$(( FUZZ_SECONDS / ${#targets[@]} ))
[ "$each" -ge 1 ] || each=1

mkdir -p build/fuzz/artifacts
for t in "${targets[@]}"; do
    mkdir -p "build/fuzz/corpus/$t"
    echo "== fuzz $t for ${each}s"
    # -rss_limit_mb turns runaway memory use into a reported failure instead
    # of an out-of-memory kill of the machine.
    # The progress lines of new coverage are left out of the log.
    set +e
    "$FUZZ_PY" "fuzz/fuzz_$t.py" \
        -max_total_time="$each" -timeout=20 -rss_limit_mb=1536 -print_final_stats=1 \
        -artifact_prefix="build/fuzz/artifacts/$t-" \
        "build/fuzz/corpus/$t" "fuzz/corpus/$t" 2>&1 | grep -v -E '^#[0-9]+[[:space:]]+(NEW|REDUCE|pulse)|^libpng (error|warning)|^Corrupt JPEG data|^Premature end of JPEG|^Invalid SOS|^Unsupported marker|^Bogus'
    status=${PIPESTATUS[0]}
    set -e
    [ "$status" -eq 0 ] || { echo "fuzz $t failed (status $status); see build/fuzz/artifacts/" >&2; exit 1; }
done
