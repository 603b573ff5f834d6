#!/usr/bin/env bash
# The shared object must export exactly the functions declared in the public header.
set -euo pipefail
lib=$1 header=$2
want=$(grep -oE 'VORNAK2_CALL [A-Za-z0-9_]+\(' "$header" | sed 's/VORNAK2_CALL //; s/(//' | sort)
got=$(nm -D --defined-only "$lib" | awk '{print $3}' | sed 's/@.*//' | sort)
if [ "$want" != "$got" ]; then
  diff <(echo "$want") <(echo "$got") || true
  echo "exported names differ from the header"
  exit 1
fi
echo "$(echo "$got" | wc -l) exports match the header"
