#!/usr/bin/env bash
# Lines of tests (C/C++ files in tests/ and fuzz/) against lines of code
# (every other C/C++ file of the checkout, build folders left out), and
# their ratio. Our aim is tests at a quarter to a third of the code.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

# Counts the lines of the C/C++ files below the given folders, apart from the
# folders named after -not.
count_lines() {
  find "$@" -type f \( -name '*.c' -o -name '*.cc' -o -name '*.cpp' -o -name '*.cxx' \
    -o -name '*.h' -o -name '*.hh' -o -name '*.hpp' \) -print0 |
    xargs -0 -r cat | wc -l
}

tests=$(count_lines tests fuzz)
code=$(count_lines . \( -path ./.git -o -path './build*' -o -path ./tests -o -path ./fuzz \) -prune -o)
ratio=$(awk -v t="$tests" -v c="$code" 'BEGIN { if (c > 0) printf "%.2f", t / c; else print "n/a" }')
echo "test size: $tests lines of tests, $code lines of code, ratio $ratio"
