#!/usr/bin/env bash
# scripts/convert-archive.sh on a tree of fixture copies (a nested folder, a
# name with spaces, a broken file): every good file converted, the broken
# one reported, a second run converts nothing; then a run stopped half-way
# by SIGTERM and run again ends with every output complete and no file
# converted twice.
# Arguments: SCRIPT SONEX FIXTURES_DIR WORK_DIR
set -euo pipefail
script=$1 fixtures=$3 work=$4
export SONEX=$2
readonly kSkip=77
readonly kExitFailed=1
readonly kExitTerminated=143
# An output is complete when it lasts as long as its input's audio, within
# one MP3 frame or so either way.
readonly kToleranceMs=120
command -v parallel >/dev/null || { echo "GNU Parallel is not installed"; exit "$kSkip"; }

fail() { echo "FAIL: $*" >&2; exit 1; }
rm -rf "$work"
mkdir -p "$work"

# Runs the script; its output in $work/<name>.txt, its exit code checked.
run() {  # name expected_code args...
  local name=$1 expected=$2 code=0
  shift 2
  "$script" "$@" >"$work/$name.txt" 2>&1 || code=$?
  ((code == expected)) || { cat "$work/$name.txt"; fail "$name ended with $code, not $expected"; }
}

converted() { sed -n 's/^converted: //p' "$work/$1.txt" | sort; }

# Every input under $1 has a complete output under $2.
check_outputs() {
  local rel in_ms out_ms
  while IFS= read -r -d '' rel; do
    in_ms=$("$SONEX" -info "$1/$rel" | sed -n 's/^duration: \([0-9]*\)ms$/\1/p')
    out_ms=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$2/${rel%.flv}.mp3" |
             awk '{ printf "%d", $1 * 1000 }') || fail "$rel has no readable output"
    ((out_ms > in_ms - kToleranceMs && out_ms < in_ms + kToleranceMs)) ||
      fail "$rel: output of ${out_ms} ms for ${in_ms} ms of audio"
  done < <(cd "$1" && find . -name '*.flv' ! -name 'broken*' -printf '%P\0')
}

# ---- a tree with a broken file: converted, reported, then nothing to do ----
tree=$work/tree
mkdir -p "$tree/nested/deeper" "$tree/with space"
cp "$fixtures/real/ruffle-rs_ruffle_square.flv" "$tree/a.flv"
cp "$fixtures/real/apache_flex-sdk_phone.flv" "$tree/nested/phone.flv"
cp "$fixtures/generated/gen_adpcm_swf_22050_mono.flv" "$tree/nested/deeper/adpcm.flv"
cp "$fixtures/real/mondain_red5_fp_fcs_live_audio.flv" "$tree/with space/my file.flv"
# Broken: the start of a real file with every byte changed.
head -c 3000 "$fixtures/real/ruffle-rs_ruffle_square.flv" | tr '\0-\377' '\377\0-\376' >"$tree/broken.flv"

run first "$kExitFailed" "$tree" "$work/out"
[[ $(converted first | tr '\n' '|') == "a.flv|nested/deeper/adpcm.flv|nested/phone.flv|with space/my file.flv|" ]] ||
  fail "first run converted: $(converted first)"
grep -q "converted: 4; skipped as done: 0; failed: 1" "$work/first.txt" || fail "first summary"
grep -q "^-- failed: broken.flv" "$work/first.txt" || fail "the broken file is not reported"
[[ ! -e $work/out/broken.mp3 ]] || fail "the broken file left an output"
check_outputs "$tree" "$work/out"

run second "$kExitFailed" "$tree" "$work/out"
[[ -z $(converted second) ]] || fail "second run converted: $(converted second)"
grep -q "converted: 0; skipped as done: 4; failed: 1" "$work/second.txt" || fail "second summary"

# ---- stopped half-way, then resumed ----
slow=$work/slow
mkdir -p "$slow/a b"
for n in 1 2 3 4 5 6; do cp "$fixtures/real/ruffle-rs_ruffle_square.flv" "$slow/a b/copy $n.flv"; done
# Two at a time, each slowed to about two seconds.
"$script" --jobs 2 "$slow" "$work/resumed" -- -slp 20 >"$work/stopped.txt" 2>&1 &
pid=$!
until grep -q '^converted: ' "$work/stopped.txt"; do
  kill -0 "$pid" 2>/dev/null || fail "the run to be stopped ended early: $(cat "$work/stopped.txt")"
  sleep 0.1
done
kill -TERM "$pid"
code=0
wait "$pid" || code=$?
((code == kExitTerminated)) || fail "the stopped run ended with $code"
grep -q "not run yet: " "$work/stopped.txt" || fail "the stopped run did not stop half-way"

run resumed 0 "$slow" "$work/resumed" -- -slp 20
both=$( (converted stopped; converted resumed) | sort)
[[ $(uniq <<<"$both" | wc -l) -eq 6 && $(wc -l <<<"$both") -eq 6 ]] || fail "converted across both runs: $both"
check_outputs "$slow" "$work/resumed"
echo "convert-archive: all checks passed"
