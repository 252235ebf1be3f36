#!/usr/bin/env bash
# wrap-long-lines.sh FILE...: re-wraps, in place, the statements of the given
# C/C++ files that run past 100 columns (the code's limit), leaving every
# other line as it was written.
set -euo pipefail
for file in "$@"; do
  args=$(awk 'length > 100 { printf "--lines=%d:%d ", NR, NR }' "$file")
  [ -z "$args" ] && continue
  # shellcheck disable=SC2086
  clang-format-14 -i --style="{BasedOnStyle: Google, ColumnLimit: 100}" $args "$file"
done
