#include "blocks.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "gost.h"

namespace cc {

namespace {

constexpr std::uint64_t kLiveTag = 0x4B434F4C42434321ull;  // "!CCBLOCK"
constexpr std::uint64_t kFreedTag = 0;

struct alignas(16) BlockHeader {
  std::uint64_t tag;
  std::uint64_t size;
};

BlockHeader* HeaderOf(void* p) noexcept {
  return reinterpret_cast<BlockHeader*>(static_cast<unsigned char*>(p) - sizeof(BlockHeader));
}

}  // namespace

void* AllocBlock(std::size_t size) {
  if (size > (std::size_t{1} << 30)) throw std::bad_alloc();
  void* raw = std::calloc(1, sizeof(BlockHeader) + size + 1);
  if (raw == nullptr) throw std::bad_alloc();
  auto* header = static_cast<BlockHeader*>(raw);
  header->tag = kLiveTag;
  header->size = size;
  return header + 1;
}

std::uint8_t* CopyToBlock(std::span<const std::uint8_t> bytes) {
  auto* p = static_cast<std::uint8_t*>(AllocBlock(bytes.size()));
  if (!bytes.empty()) std::memcpy(p, bytes.data(), bytes.size());
  return p;
}

char* TextToBlock(std::string_view text) {
  auto* p = static_cast<char*>(AllocBlock(text.size()));
  if (!text.empty()) std::memcpy(p, text.data(), text.size());
  return p;  // the extra byte is the terminator
}

bool FreeBlock(void* p) noexcept {
  if (p == nullptr) return false;
  BlockHeader* header = HeaderOf(p);
  if (header->tag != kLiveTag) return false;
  ccgost::Wipe(p, static_cast<std::size_t>(header->size) + 1);
  header->tag = kFreedTag;
  header->size = 0;
  std::free(header);
  return true;
}

}  // namespace cc
