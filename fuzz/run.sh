#!/usr/bin/env bash
# Replays every regression input of the fuzz targets, then fuzzes each
# target for a bounded time.  usage: fuzz/run.sh BUILD_DIR [SECONDS_PER_TARGET]
# BUILD_DIR is a clang build configured with -DJP2_FUZZ=ON; 0 seconds runs
# the regression inputs only.  Exit status 1
# when any input crashes, leaks, times out or breaks the memory limit; the
# input is then left under BUILD_DIR/fuzz-artifacts/TARGET/ and belongs in
# fuzz/regression/TARGET/ once the fault is mended.
set -uo pipefail
src=$(cd "$(dirname "$0")" && pwd)
build=${1:?usage: fuzz/run.sh BUILD_DIR [SECONDS_PER_TARGET]}
seconds=${2:-90}
testdata=${JP2_TESTDATA:-$src/../../shared/testdata}

# Limits for one input: 10 s (under the sanitizers, whose slow-down is 2 to
# 5 times), 2 GiB resident and 2 GiB in one allocation.
limits=(-timeout=10 -rss_limit_mb=2048 -malloc_limit_mb=2048)

targets=(decode jpc t2 options loader_bmp loader_jpg)
declare -A maxlen=([decode]=32768 [jpc]=4096 [t2]=8192 [options]=512
                   [loader_bmp]=8192 [loader_jpg]=16384)

# Seeds that are made at run time from the shared test data: the small
# conformance streams (T.800 and HT) whole, and the main headers of all of them.
extra=$build/fuzz-seeds
mkdir -p "$extra/decode" "$extra/jpc" "$extra/loader_jpg"
for f in "$testdata"/conformance/*.j2k "$testdata"/ht/*.j2k; do
    [[ -f $f ]] || continue
    b=$(basename "$f" .j2k)
    (($(stat -c %s "$f") <= 16384)) && cp "$f" "$extra/decode/$b.j2k"
    head -c 2048 "$f" >"$extra/jpc/$b.hdr"
done
[[ -f $testdata/photos/cevennes.jpg ]] && cp "$testdata/photos/cevennes.jpg" "$extra/loader_jpg/"

export ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
status=0
for t in "${targets[@]}"; do
    bin=$build/fuzz/fuzz_$t
    if [[ ! -x $bin ]]; then
        echo "fuzz: $bin is missing"
        status=1
        continue
    fi
    art=$build/fuzz-artifacts/$t/
    mkdir -p "$art" "$build/fuzz-corpus/$t"
    shopt -s nullglob
    regress=("$src/regression/$t"/*)
    shopt -u nullglob
    if ((${#regress[@]})); then
        echo "== fuzz $t: ${#regress[@]} regression inputs"
        if ! "$bin" -close_fd_mask=2 "${limits[@]}" -artifact_prefix="$art" "${regress[@]}" \
            >"$build/fuzz-$t-regression.log" 2>&1; then
            tail -n 40 "$build/fuzz-$t-regression.log"
            echo "fuzz $t: a regression input fails (log: $build/fuzz-$t-regression.log)"
            status=1
        fi
    fi
    ((seconds > 0)) || continue
    dirs=("$build/fuzz-corpus/$t" "$src/seeds/$t")
    [[ -d $extra/$t ]] && dirs+=("$extra/$t")
    # A fixed seed keeps a run repeatable on the same machine and corpus.
    echo "== fuzz $t: ${seconds} s (seed ${FUZZ_SEED:-1})"
    if ! "$bin" -close_fd_mask=2 "${limits[@]}" -max_len="${maxlen[$t]}" -seed="${FUZZ_SEED:-1}" \
        -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$art" \
        "${dirs[@]}" >"$build/fuzz-$t.log" 2>&1; then
        tail -n 40 "$build/fuzz-$t.log"
        echo "fuzz $t: FAILED; the input is in $art (log: $build/fuzz-$t.log)"
        status=1
    else
        grep -E '^stat::number_of_executed_units|^Done' "$build/fuzz-$t.log" | tr '\n' ' '
        echo
    fi
done
exit $status
