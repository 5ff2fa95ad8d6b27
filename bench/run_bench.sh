#!/usr/bin/env bash
# Counts the instructions of one full dialogue (order 9, input from a file, no
# terminal) against the floor program, in two locales, and fails if the
# dialogue costs more than 10% above the floor.
set -euo pipefail
build_dir=${1:-build}
limit=1.10
for tool in valgrind /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "bench: $tool is missing (apt-get install valgrind time)"; exit 1; }
done

input=$(mktemp)
trap 'rm -f "$input"' EXIT
echo "9 1.5 -2 3.25 4 5 6 7 8 9 10 -1 2 -3 4.5 5 6 7 8 9 0.125" >"$input"

instructions() {  # locale program
  LC_ALL=$1 setsid valgrind --tool=callgrind --callgrind-out-file=/dev/null "$2" \
    <"$input" 2>&1 >/dev/null | awk '/refs:/ { gsub(",", "", $NF); print $NF }'
}
peak_kib() {  # locale program
  LC_ALL=$1 setsid /usr/bin/time -f %M "$2" <"$input" 2>&1 >/dev/null | tail -n 1
}

# An installed locale has the character set its name asks for (ru_RU.IBM866:
# IBM866); one that is not installed falls back to ASCII (ANSI_X3.4-1968).
# The names are compared without case, '-' or '_' (utf8 is UTF-8).
charset_name() { tr -d -- '-_' <<<"$1" | tr '[:upper:]' '[:lower:]'; }
installed() {  # locale
  local asked=${1#*.} charmap
  [ "$asked" != "$1" ] || return 0  # C, POSIX: always there
  charmap=$(LC_ALL=$1 locale charmap 2>/dev/null) || return 1
  [ "$(charset_name "$charmap")" = "$(charset_name "${asked%%@*}")" ]
}

status=0
printf '%-14s %12s %12s %7s %14s %14s\n' locale polymul floor ratio "polymul KiB" "floor KiB"
for locale in C.UTF-8 ru_RU.IBM866; do
  if ! installed "$locale"; then
    echo "$locale: not installed, skipped"
    continue
  fi
  ours=$(instructions "$locale" "$build_dir/polymul")
  floor=$(instructions "$locale" "$build_dir/bench/polymul_floor")
  ratio=$(awk -v a="$ours" -v b="$floor" 'BEGIN { printf "%.3f", a / b }')
  printf '%-14s %12s %12s %7s %14s %14s\n' "$locale" "$ours" "$floor" "$ratio" \
    "$(peak_kib "$locale" "$build_dir/polymul")" "$(peak_kib "$locale" "$build_dir/bench/polymul_floor")"
  if awk -v r="$ratio" -v l="$limit" 'BEGIN { exit !(r > l) }'; then
    echo "bench: $locale costs more than $limit times the floor"
    status=1
  fi
done
exit $status
