// vornak2-host: the SHA-256 fingerprint of a certificate, as `openssl x509 -noout -fingerprint
// -sha256` shows it for a PEM file: the digest of the DER bytes between its BEGIN and END lines.
// A file that is not PEM is digested as it is. The fingerprint identifies a certificate to a
// person comparing it by another channel; nothing is decided by it.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace vornak2::host {

// SHA-256 (FIPS 180-4) of the bytes.
std::array<std::uint8_t, 32> Sha256(std::span<const std::uint8_t> bytes);

// The digest of a certificate file's content: of its DER bytes when it is PEM, else of the
// bytes themselves.
std::array<std::uint8_t, 32> CertificateDigest(std::span<const std::uint8_t> file);

// "AB:CD:..." as openssl prints it, or "abcd..." (lower case, no separators).
std::string FingerprintText(const std::array<std::uint8_t, 32>& digest, bool colons);

}  // namespace vornak2::host
