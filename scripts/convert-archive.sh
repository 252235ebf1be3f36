#!/usr/bin/env bash
# convert-archive.sh [--ext EXT] [--jobs N] SRC_DIR DST_DIR [-- sonex options]
#
# Converts every .flv file under SRC_DIR (any depth, names with spaces
# included) into the same relative path under DST_DIR with the extension EXT,
# one sonex per file, N at a time, with GNU Parallel. The run can be stopped
# at any moment and started again with the same arguments: a job log under
# DST_DIR/.convert-archive/ makes the next run convert only the files that
# are missing, failed or were cut off. At the end a summary: files
# converted, skipped as already done, failed (with their log lines), the
# total audio duration of the outputs (ffprobe) and the wall time.
#
#   --ext EXT   output extension; default from the -fmt among the sonex
#               options (mp3, wav, amr, asf -> wma, adts -> aac, any other
#               name as it is), else mp3.
#   --jobs N    conversions at a time; default the number of cores.
#   sonex options: passed to every sonex after its -i and -out (so -st and
#               -dt apply to each file); -i, -out and -info are the script's.
#   SONEX=path  the sonex program; default sonex on PATH, else the build's
#               build/release/bin/sonex beside this script.
#
# Exit status: 0 every file converted or already done; 1 some file failed or
# is not run yet; 2 bad arguments, a missing tool, or DST_DIR begun with
# other options; 129, 130, 143 stopped by SIGHUP, SIGINT, SIGTERM (after the
# summary). doc/archive.md has the same job on many machines.
#
# A file counts as failed when sonex ends with a non-zero code or reports a
# problem with it on standard error; its output is then removed, so what is
# in DST_DIR is complete. The state folder holds `files` (the
# frozen input list: new files are appended, so job numbers stay valid),
# `options`, `joblog` (GNU Parallel's) and `logs/<relative path>.log`
# (sonex's output for each file).
set -euo pipefail

readonly kExitFailed=1
readonly kExitUsage=2
readonly kStateDirName=.convert-archive
# sonex's two closing lines; any other line it prints is a problem report.
readonly kTimeLinePattern='^(Current|Total) Time: '

self=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/$(basename "${BASH_SOURCE[0]}")

die() {
  echo "convert-archive: $*" >&2
  exit "$kExitUsage"
}

# ---- one file, run by GNU Parallel: --convert-one RELATIVE_PATH ----
# Settings come from the environment the main run exports.
convert_one() {
  local rel=$1
  local src=$CONVERT_ARCHIVE_SRC/$rel
  local out=$CONVERT_ARCHIVE_DST/${rel%.*}.$CONVERT_ARCHIVE_EXT
  local log=$CONVERT_ARCHIVE_STATE/logs/$rel.log
  local -a options=()
  mapfile -d '' options <"$CONVERT_ARCHIVE_STATE/options"
  mkdir -p "$(dirname "$out")" "$(dirname "$log")"
  local status=0
  "$SONEX" -i "$src" -out "$out" -quiet 1 "${options[@]}" >"$log" 2>&1 || status=$?
  if ((status == 0)) && grep -qvE "$kTimeLinePattern" "$log"; then
    status=$kExitFailed
  fi
  if ((status != 0)); then
    rm -f -- "$out"
    printf 'failed (%d): %s\n' "$status" "$rel"
    return "$status"
  fi
  printf 'converted: %s\n' "$rel"
}

if [[ ${1:-} == --convert-one ]]; then
  convert_one "$2"
  exit
fi

# ---- arguments ----
# The comment at the top of this file.
usage() {
  sed -n '2,/^set -euo/p' "$self" | sed -e '$d' -e 's/^# \{0,1\}//'
  exit "$1"
}

ext=""
jobs=""
positional=()
sonex_options=()
while (($#)); do
  case $1 in
    --ext) (($# >= 2)) || usage "$kExitUsage"; ext=${2#.}; shift 2 ;;
    --jobs) (($# >= 2)) || usage "$kExitUsage"; jobs=$2; shift 2 ;;
    -h | --help) usage 0 ;;
    --) shift; sonex_options=("$@"); break ;;
    *) positional+=("$1"); shift ;;
  esac
done
((${#positional[@]} == 2)) || usage "$kExitUsage" >&2
src_dir=${positional[0]}
dst_dir=${positional[1]}
[[ -d $src_dir ]] || die "no such folder: $src_dir"
[[ -z $jobs || $jobs =~ ^[1-9][0-9]*$ ]] || die "--jobs needs a positive number, not '$jobs'"
jobs=${jobs:-$(nproc)}

# Names sit at every other place of sonex's option pairs.
for ((i = 0; i < ${#sonex_options[@]}; i += 2)); do
  name=${sonex_options[i],,}
  case $name in
    -i | -out | -info) die "sonex option $name is set by the script" ;;
    -fmt) [[ -n $ext ]] || ext=${sonex_options[i + 1]:-} ;;
  esac
done
case ${ext:-mp3} in
  asf) ext=wma ;;
  adts) ext=aac ;;
  *) ext=${ext:-mp3} ;;
esac

command -v parallel >/dev/null || die "GNU Parallel is not installed (Debian package parallel)"
command -v ffprobe >/dev/null || die "ffprobe is not installed (Debian package ffmpeg)"
if [[ -z ${SONEX:-} ]]; then
  SONEX=$(command -v sonex || true)
  [[ -n $SONEX ]] || SONEX=$(dirname "$self")/../build/release/bin/sonex
fi
[[ -x $SONEX ]] || die "sonex not found (set SONEX=path): $SONEX"
SONEX=$(cd "$(dirname "$SONEX")" && pwd)/$(basename "$SONEX")

mkdir -p "$dst_dir"
src_dir=$(cd "$src_dir" && pwd)
dst_dir=$(cd "$dst_dir" && pwd)
state=$dst_dir/$kStateDirName
mkdir -p "$state/logs"
list=$state/files
joblog=$state/joblog

# ---- the options the archive was begun with ----
options_now=$state/options.now
{ printf '%s\0' "$ext"; ((${#sonex_options[@]} == 0)) || printf '%s\0' "${sonex_options[@]}"; } >"$options_now"
if [[ -e $state/options.key ]] && ! cmp -s "$state/options.key" "$options_now"; then
  rm -f "$options_now"
  die "$dst_dir was begun with other options or extension; use another DST_DIR or remove $state"
fi
mv "$options_now" "$state/options.key"
{ ((${#sonex_options[@]} == 0)) || printf '%s\0' "${sonex_options[@]}"; } >"$state/options"

# ---- the input list: frozen order, new files appended ----
touch "$list"
(cd "$src_dir" && find . -type f -iname '*.flv' ! -name $'*\n*' -printf '%P\0') | LC_ALL=C sort -z >"$state/found"
LC_ALL=C sort -z "$list" >"$state/known"
LC_ALL=C comm -z -13 "$state/known" "$state/found" >>"$list"
rm -f "$state/found" "$state/known"
mapfile -d '' files <"$list"
total_files=${#files[@]}

output_of() { printf '%s/%s.%s' "$dst_dir" "${1%.*}" "$ext"; }

# A job the log calls done whose output has gone is dropped from the log,
# so that it runs again.
declare -A done_before=()
if [[ -s $joblog ]]; then
  {
    IFS= read -r header
    printf '%s\n' "$header"
    while IFS= read -r line; do
      IFS=$'\t' read -r seq _ _ _ _ _ exitval signal _ <<<"$line"
      if [[ $exitval == 0 && $signal == 0 ]]; then
        [[ -e $(output_of "${files[seq - 1]}") ]] || continue
        done_before[$seq]=1
      fi
      printf '%s\n' "$line"
    done
  } <"$joblog" >"$joblog.pruned"
  mv "$joblog.pruned" "$joblog"
fi
log_lines_before=$( [[ -e $joblog ]] && wc -l <"$joblog" || echo 1)

# ---- the run ----
export SONEX CONVERT_ARCHIVE_SRC=$src_dir CONVERT_ARCHIVE_DST=$dst_dir \
  CONVERT_ARCHIVE_STATE=$state CONVERT_ARCHIVE_EXT=$ext
start=$(date +%s)
interrupted=0
on_signal() {
  interrupted=$1
  [[ -z ${parallel_pid:-} ]] || kill -TERM "$parallel_pid" 2>/dev/null || true
}
trap 'on_signal 129' HUP
trap 'on_signal 130' INT
trap 'on_signal 143' TERM
if ((total_files > 0 && interrupted == 0)); then
  parallel --null --arg-file "$list" --jobs "$jobs" --joblog "$joblog" --resume-failed \
    "$(printf '%q' "$self") --convert-one {}" &
  parallel_pid=$!
  # A trapped signal ends a wait early; wait again until GNU Parallel is done.
  while kill -0 "$parallel_pid" 2>/dev/null; do wait "$parallel_pid" || true; done
fi
wall=$(($(date +%s) - start))

# ---- summary ----
converted=0
failed=0
failures=()
if [[ -e $joblog ]]; then
  while IFS= read -r line; do
    IFS=$'\t' read -r seq _ _ _ _ _ exitval signal _ <<<"$line"
    [[ $seq =~ ^[0-9]+$ ]] || continue
    if [[ $exitval == 0 && $signal == 0 ]]; then
      converted=$((converted + 1))
    else
      failed=$((failed + 1))
      failures+=("$line" "${files[seq - 1]}")
    fi
  done < <(tail -n +"$((log_lines_before + 1))" "$joblog")
fi
skipped=${#done_before[@]}

duration_of_outputs() {
  local f
  for f in "${files[@]}"; do
    f=$(output_of "$f")
    if [[ -e $f ]]; then printf '%s\0' "$f"; fi
  done | parallel --null --jobs "$jobs" \
    ffprobe -v error -show_entries format=duration -of csv=p=0 {} |
    awk '{ s += $1 } END { printf "%d", s }'
}
clock() { printf '%d:%02d:%02d' $(($1 / 3600)) $(($1 / 60 % 60)) $(($1 % 60)); }

echo "== convert-archive: $src_dir -> $dst_dir (.$ext)"
echo "files: $total_files; converted: $converted; skipped as done: $skipped; failed: $failed"
for ((i = 0; i < ${#failures[@]}; i += 2)); do
  echo "-- failed: ${failures[i + 1]}"
  echo "   joblog: ${failures[i]}"
  sed 's/^/   sonex: /' "$state/logs/${failures[i + 1]}.log" 2>/dev/null || true
done
not_run=$((total_files - converted - skipped - failed))
((not_run == 0)) || echo "not run yet: $not_run (run again to go on)"
echo "total audio duration: $(clock "$(duration_of_outputs)")"
echo "wall time: $(clock "$wall")"

((interrupted == 0)) || exit "$interrupted"
((failed == 0 && not_run == 0)) || exit "$kExitFailed"
