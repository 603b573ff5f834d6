// Memory that the library hands to its caller (signatures, session keys, enciphered keys, key and
// request texts, information records). A small header before the returned pointer records a tag
// and the size, so every release entry point can wipe the whole block without being told its size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace cc {

// A zeroed block of `size` bytes (plus one zero byte behind it); throws std::bad_alloc.
void* AllocBlock(std::size_t size);
std::uint8_t* CopyToBlock(std::span<const std::uint8_t> bytes);
// A zero-terminated copy of the text.
char* TextToBlock(std::string_view text);
// Wipes and releases a block; false (and nothing released) when `p` is null or not a live block.
bool FreeBlock(void* p) noexcept;

}  // namespace cc
