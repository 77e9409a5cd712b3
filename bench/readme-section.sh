#!/usr/bin/env bash
# Replaces the section NAME of bench/README.md, the lines between "<!-- NAME:begin -->" and
# "<!-- NAME:end -->", with the content of FILE; appends the section when the README has none.
# Each benchmark script owns one section, so they never overwrite each other's results.
# Usage: readme-section.sh NAME FILE
set -euo pipefail
[[ $# -eq 2 ]] || { echo "usage: $0 NAME FILE" >&2; exit 2; }
readme=$(dirname "$0")/README.md
touch "$readme"
updated=$(mktemp)
trap 'rm -f "$updated"' EXIT
awk -v begin="<!-- $1:begin -->" -v end="<!-- $1:end -->" -v file="$2" '
  function section(  line) {
    print begin
    while ((getline line < file) > 0) print line
    close(file)
    print end
    done = 1
  }
  $0 == begin { inside = 1; section(); next }
  $0 == end { inside = 0; next }
  !inside { print }
  END { if (!done) { if (NR) print ""; section() } }
' "$readme" >"$updated"
cat "$updated" >"$readme"
