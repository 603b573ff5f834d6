// What the fuzz targets check of a reader's answer: a failed check aborts, which libFuzzer
// reports as a finding with its input.
#pragma once

#include <cstdlib>

#include "layouts/layouts.h"

namespace vornak2::fuzz {

inline void Check(bool ok) {
  if (!ok) std::abort();
}

// Whether `part` lies inside `whole` (an empty part lies anywhere).
inline bool Inside(layouts::Bytes part, layouts::Bytes whole) {
  return part.empty() ||
         (part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size());
}

}  // namespace vornak2::fuzz
