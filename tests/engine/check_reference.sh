#!/usr/bin/env bash
# The reference must describe every function the public header declares, one table row each.
set -euo pipefail
header=$1 reference=$2
missing=()
count=0
for name in $(grep -oE 'VORNAK2_CALL [A-Za-z0-9_]+\(' "$header" | sed 's/VORNAK2_CALL //; s/(//'); do
  count=$((count + 1))
  grep -q "^| \`$name\` |" "$reference" || missing+=("$name")
done
if ((${#missing[@]})); then
  echo "not in $reference: ${missing[*]}"
  exit 1
fi
echo "each of the header's $count functions has its row in $reference"
