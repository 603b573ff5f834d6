#!/usr/bin/env bash
# The export tables as a Windows host and our binding see them: vornak2.dll exports exactly the
# functions of vornak2.def under their plain names, each at its ordinal; cc.dll exports exactly
# the 62 decorated entry-point names of the vendor header ("_InitRand@0", "__CertInfo@12"), and
# beside them only the optional entry points the header declares ("_ConcurrentContexts@0").
# Usage: check_dll_exports.sh OBJDUMP vornak2.dll vornak2.def cc.dll cc_abi.h
set -euo pipefail
objdump=$1 vornak2=$2 def=$3 cc=$4 abi=$5
# "NAME ORDINAL" per export: objdump lists each name with its index in the address table.
exports() {
  local base
  base=$("$objdump" -p "$1" | sed -n 's/^Ordinal Base[[:space:]]*//p' | head -n 1)
  "$objdump" -p "$1" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
    sed -n 's/^[[:space:]]*\[ *\([0-9]*\)\] \(.*\)$/\2 \1/p' | awk -v base="$base" '{print $1, $2 + base}' | sort
}
status=0
want=$(sed -n 's/^[[:space:]]*\([A-Za-z0-9_]*\)@[0-9]*[[:space:]]*@\([0-9]*\).*/\1 \2/p' "$def" | sort)
if ! diff <(echo "$want") <(exports "$vornak2"); then
  echo "vornak2.dll: the export table differs from vornak2.def (< wanted, > found)"
  status=1
fi
[ "$(echo "$want" | wc -l)" -eq 75 ] || { echo "vornak2.def: not 75 exports"; status=1; }
want=$(sed -n 's/^[[:space:]]*X([0-9]*, \([A-Za-z0-9_]*\), \([0-9]*\),.*/\1@\2/p' "$abi" | sort)
optional=$(sed -n 's/^#define CC_[A-Z_]*_NAME CC_DECORATED_NAME(\([A-Za-z0-9_]*\), \([0-9]*\))$/\1@\2/p' "$abi")
if ! diff <(echo "$want") <(exports "$cc" | cut -d' ' -f1 | grep -vxF "$optional" | sort); then
  echo "cc.dll: the exported names differ from the decorated entry points (< wanted, > found)"
  status=1
fi
[ "$(echo "$want" | wc -l)" -eq 62 ] || { echo "cc_abi.h: not 62 entry points"; status=1; }
exit $status
