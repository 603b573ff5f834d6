// Shared part of the library-load tests. Each scenario runs in a process of its own: the root is
// process-wide, and a library once loaded may stay mapped after it is released.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "key_sets.h"
#include "support/text.h"
#include "vornak2.h"

namespace vornak2::testing {

// An engine for a user of the process's root, set up through the exports only.
inline VORNAK2_HANDLE EngineFor(TestRoot& root, const UserKeys& u) {
  VORNAK2_HANDLE engine = GetCryptObj(0);
  SetRootPath(engine, root.dir().c_str());
  for (const auto& [number, value] : u.Params()) SetCryptoParamValue(engine, number, value.c_str());
  return engine;
}

inline std::string Message(VORNAK2_HANDLE engine, std::int32_t code) {
  char text[256] = {};
  GetCryptoErrorString(engine, code, text);
  return text;
}

}  // namespace vornak2::testing
