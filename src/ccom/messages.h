// Result codes of the Zureza VOZ engine and the Russian messages it gives for them. Every message
// is Windows-1251 text: the host shows these bytes to its user unchanged.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vornak2 {

// The Windows-1251 text of a result code that has its own row in the message table (codes 1..9,
// 103..136 and -1..-86); an empty view for any other code, including 0. For 3 and 136 it is the
// row's text alone, which ends with a blank so that a tail can follow directly. The view stays
// valid for the life of the process.
std::string_view ResultCodeText(std::int32_t code);

// The full message of `code` as the engine gives it, in Windows-1251:
// - 0: the empty text;
// - 3: the row's text followed directly by `bindingDescription` (the binding's description of its
//   last failed call); a null `bindingDescription` means the engine has no binding, and the
//   row's text stands alone;
// - 136: the row's text followed directly by `lastException` (the engine's last-exception text);
// - any other code with a row: the row's text;
// - any code without a row: the generic library text followed by the code in signed decimal.
// The tails are taken as they are (they are Windows-1251 already).
std::string ComposeResultMessage(std::int32_t code, const std::string* bindingDescription,
                                 std::string_view lastException);

// Writes `text` into a host buffer of `capacity` bytes: first zeroes all `capacity` bytes, then
// copies the text without a terminator, all of it when it is shorter than `capacity`, otherwise
// its first capacity-1 bytes. So the buffer always holds a zero-terminated text (with capacity
// 255: at most 254 bytes and a zero). Nothing is written for a null buffer or capacity <= 0.
void WriteResultMessage(std::string_view text, char* buffer, std::int32_t capacity) noexcept;

}  // namespace vornak2
