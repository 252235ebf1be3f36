#!/usr/bin/env bash
# fuzz.sh [seconds]: builds the libFuzzer targets with clang under ASan +
# UBSan and runs each for the given time (default 60 s). Any crash, leak or
# time-out fails the script; the input that caused it is kept under
# BUILD_DIR/artifacts. KELVRA_FUZZ_BUILD_DIR overrides the build folder
# (default build/fuzz); the corpora grow in BUILD_DIR/corpus between runs.
# Seeds: fuzz/make_corpus.sh, and the small inputs kept in fuzz/corpus.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
seconds=${1:-60}
dir=${KELVRA_FUZZ_BUILD_DIR:-build/fuzz}
# KELVRA_FUZZ_TARGETS picks some of them (names separated by spaces).
targets=(${KELVRA_FUZZ_TARGETS:-stream_parser_fuzzer tag_reader_fuzzer audio_decode_fuzzer stream_pipeline_fuzzer})

CC=clang CXX=clang++ cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKELVRA_SANITIZE=address -DKELVRA_BUILD_FUZZERS=ON -DKELVRA_BUILD_TESTS=OFF >/dev/null
cmake --build "$dir" -j "$(nproc)" --target "${targets[@]}" make_audio_seeds

seeds=$dir/seeds
if [ ! -d "$seeds/flv" ]; then
  bash fuzz/make_corpus.sh "$seeds" "$dir/bin/make_audio_seeds"
fi

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
mkdir -p "$dir/artifacts"
# Each target is one process: they run side by side, as many at once as
# there are cores, and each batch is reported once it has ended.
run_target() {
  local t=$1 seed kept corpus
  case $t in
    audio_decode_fuzzer) seed=$seeds/audio ;;
    *) seed=$seeds/flv ;;
  esac
  kept=fuzz/corpus/${t%_fuzzer}
  corpus=$dir/corpus/$t
  mkdir -p "$corpus"
  "$dir/bin/$t" "$corpus" "$seed" "$kept" -dict=fuzz/flv.dict -max_total_time="$seconds" \
    -timeout=20 -rss_limit_mb=2560 -max_len=65536 -print_final_stats=1 \
    -artifact_prefix="$dir/artifacts/$t-" 2>"$dir/$t.log"
}
status=0
report() {  # report TARGET PID
  if ! wait "$2"; then
    tail -n 60 "$dir/$1.log"
    echo "fuzz: $1 found a problem; see $dir/artifacts and $dir/$1.log" >&2
    status=1
  else
    echo "== $1"
    grep -E '^stat::number_of_executed_units|^Done' "$dir/$1.log" || true
  fi
}
batch=()
pids=()
for t in "${targets[@]}"; do
  echo "== $t for ${seconds}s"
  run_target "$t" &
  batch+=("$t")
  pids+=($!)
  if [ "${#batch[@]}" -ge "$(nproc)" ]; then
    for i in "${!batch[@]}"; do report "${batch[$i]}" "${pids[$i]}"; done
    batch=()
    pids=()
  fi
done
for i in "${!batch[@]}"; do report "${batch[$i]}" "${pids[$i]}"; done
exit $status
