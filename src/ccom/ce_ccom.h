// TCcom22Engine: the engine over our vendor library. It is the engine that GetCryptObj hands out.
#pragma once

#include "engine/cryptobj.h"

namespace vornak2 {

class TCcom22Engine : public TCryptoEngine {
 public:
  TCcom22Engine() = default;
};

}  // namespace vornak2
