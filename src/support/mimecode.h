// Base64 codec (RFC 4648 alphabet, "=" padding, no line breaks on output).
//
// The throwing forms report every failure with an exception and return nothing; the Try forms
// swallow every exception and answer an empty buffer instead, so for them an empty result means
// failure (or empty input).
#pragma once

#include <cstdint>
#include <vector>

#include "support/errors.h"

namespace vornak2 {

// Encodes `size` bytes at `data` as Base64 text: ceil(size / 3) * 4 characters, padded with "=",
// without line breaks and without a terminating NUL. A null `data` or a `size` below 1 gives an
// empty result. Throws EMimeException ("Error in EncodeBuffer on GetMem <class>:<message>") when
// the result cannot be allocated, including a text longer than a 32-bit length can describe.
std::vector<std::uint8_t> EncodeBuffer(const void* data, std::int32_t size);

// Decodes `length` characters of Base64 text.
// - Carriage returns and line feeds are skipped; the first "=" ends the text (nothing after it is
//   examined). Any other character outside the alphabet throws EMimeException
//   ("Error mime decode. Wrong symbol "<c>" at position <n>.", n counted from 1 over every
//   character, line breaks included).
// - The result holds at most (length / 4) * 3 bytes. Decoded bytes are committed in chunks of
//   about a kilobyte; a chunk that would pass that capacity is dropped whole (so unpadded text
//   whose character count is not a multiple of 4 may lose its last chunk).
// - Text shorter than 4 characters (a null `text` or a negative `length` counts as empty) throws
//   EAssertionFailed("mimecode", 268).
// - An allocation failure throws EMimeException ("Error in DecodeBuffer on GetMem
// <class>:<message>"). An empty result without an exception means the text carried no complete
// byte.
std::vector<std::uint8_t> DecodeBuffer(const char* text, std::int32_t length);

// EncodeBuffer and DecodeBuffer with every failure turned into an empty result.
std::vector<std::uint8_t> TryEncodeBuffer(const void* data, std::int32_t size) noexcept;
std::vector<std::uint8_t> TryDecodeBuffer(const char* text, std::int32_t length) noexcept;

}  // namespace vornak2
