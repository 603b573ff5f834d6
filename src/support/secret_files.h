// Telling a file that holds a secret key from other files by its content, without the vendor
// library: the forms in which secret keys are kept on disk.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace vornak2 {

// True for the content of a secret key: a PEM block of any "PRIVATE KEY" kind, the DER of a
// private key (PKCS#8, or the older RSA and EC forms: a SEQUENCE whose first element is the
// version INTEGER 0 or 1), or the former text form of our vendor library's keys.
bool LooksLikeSecretKey(std::span<const std::uint8_t> content) noexcept;
// The same for a file; false when it cannot be read.
bool FileLooksLikeSecretKey(const std::string& path) noexcept;
// True for the names a secret key is kept under: "N.sec" (any name ending in ".sec", any letter
// case) and the parked names of replaced keys, "N.old" and "N.old.M" (N, M decimal numbers).
bool IsSecretKeyFileName(std::string_view name) noexcept;

}  // namespace vornak2
