// DER encoding and decoding of our certificates, requests and secret keys through libtasn1, with
// the structures of pki.asn, and their PEM armour.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

struct asn1_node_st;

namespace cc::der {

using Bytes = std::vector<std::uint8_t>;

// One structure of pki.asn ("PKI.Certificate", ...), empty or decoded. Element names are those of
// libtasn1 ("tbsCertificate.subject.?1.?1.type"). Every failure of libtasn1 is reported through
// the result, never thrown; the caller maps it to its own result code.
class Node {
 public:
  explicit Node(const char* type);  // throws std::bad_alloc when it cannot be created
  ~Node();
  Node(const Node&) = delete;
  Node& operator=(const Node&) = delete;

  // Decodes exactly `der` (strict DER, no trailing bytes); false on any error.
  bool Decode(std::span<const std::uint8_t> der);
  // The same for a larger structure (a CRL) of at most `limit` bytes; elements are still read
  // up to the size of a document.
  bool Decode(std::span<const std::uint8_t> der, std::size_t limit);
  // The whole structure, or one element of it, as DER; empty on failure.
  Bytes Encode(const char* name = "") const;
  // The bytes of an element inside `der` (the same bytes that were decoded).
  std::optional<std::span<const std::uint8_t>> RangeOf(std::span<const std::uint8_t> der,
                                                       const char* name) const;

  // Raw value of an element: bytes of OCTET STRING, INTEGER (two's complement), ANY (its whole
  // encoding), text of OBJECT IDENTIFIER, time types and CHOICE (the chosen name). nullopt when
  // absent or larger than the documents we read.
  std::optional<Bytes> Read(const char* name) const;
  std::optional<std::string> ReadText(const char* name) const;
  // BIT STRING with whole bytes only.
  std::optional<Bytes> ReadBits(const char* name) const;
  // Number of elements of a SEQUENCE OF or SET OF; -1 when absent.
  int Count(const char* name) const;

  // Setters return false on a libtasn1 error. Text() writes a zero-terminated value (OBJECT
  // IDENTIFIER, INTEGER in decimal, times, BOOLEAN "TRUE"/"FALSE", CHOICE names, "NEW" for a new
  // element of a SEQUENCE OF), Value() bytes, Bits() a BIT STRING (of whole bytes
  // unless a bit count is given), Omit() leaves
  // out an OPTIONAL element.
  bool Text(const char* name, const char* value);
  bool Value(const char* name, std::span<const std::uint8_t> value);
  bool Bits(const char* name, std::span<const std::uint8_t> value, int bitCount = -1);
  bool Omit(const char* name);

 private:
  asn1_node_st* node_ = nullptr;
};

// A primitive string value in DER (UTF8String, PrintableString, IA5String, OCTET STRING) and
// back. Decoding accepts the string types a directory name may use for ASCII text.
Bytes EncodeString(unsigned tag, std::string_view text);
std::optional<std::string> DecodeDirectoryString(std::span<const std::uint8_t> der);
std::optional<Bytes> DecodeOctetString(std::span<const std::uint8_t> der);
inline constexpr unsigned kTagOctetString = 4;
inline constexpr unsigned kTagUtf8String = 12;
inline constexpr unsigned kTagPrintableString = 19;

// PEM: "-----BEGIN <label>-----", base64 in lines of 64, "-----END <label>-----".
std::string ToPem(std::string_view label, std::span<const std::uint8_t> der);
// The first PEM block of `text` (text before it is allowed, as "openssl x509 -text" writes it):
// its label and contents. nullopt when there is no BEGIN line; `ok` false when a block begins
// but is broken (no END line of the same label, bad base64).
struct PemBlock {
  std::string label;
  Bytes der;
  bool ok = false;
};
std::optional<PemBlock> FromPem(std::string_view text);

}  // namespace cc::der
