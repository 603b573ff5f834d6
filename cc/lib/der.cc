#include "der.h"

#include <libtasn1.h>

#include <algorithm>
#include <array>
#include <new>
#include <stdexcept>

#include "gost.h"

extern "C" const asn1_static_node vornak2_pki_asn1_tab[];

namespace cc::der {

namespace {

// Our documents are at most 2047 bytes of PEM, so no element read from one is larger.
constexpr int kMaxElement = 4096;

// The parsed definitions of pki.asn, built once per process.
asn1_node Definitions() {
  static const asn1_node definitions = [] {
    asn1_node d = nullptr;
    char error[ASN1_MAX_ERROR_DESCRIPTION_SIZE] = {};
    if (asn1_array2tree(vornak2_pki_asn1_tab, &d, error) != ASN1_SUCCESS)
      throw std::logic_error(std::string("ASN.1 definitions: ") + error);
    return d;
  }();
  return definitions;
}

// Reads an element into a buffer that is wiped afterwards (secret keys pass through here).
struct ReadBuffer {
  std::array<std::uint8_t, kMaxElement> bytes{};
  ~ReadBuffer() { ccgost::Wipe(bytes.data(), bytes.size()); }
};

}  // namespace

Node::Node(const char* type) {
  if (asn1_create_element(Definitions(), type, &node_) != ASN1_SUCCESS) throw std::bad_alloc();
}

Node::~Node() { asn1_delete_structure2(&node_, ASN1_DELETE_FLAG_ZEROIZE); }

bool Node::Decode(std::span<const std::uint8_t> der) {
  return Decode(der, static_cast<std::size_t>(kMaxElement));
}

bool Node::Decode(std::span<const std::uint8_t> der, std::size_t limit) {
  if (der.empty() || der.size() > limit || der.size() > 0x7FFFFFFF) return false;
  int len = static_cast<int>(der.size());
  if (asn1_der_decoding2(&node_, der.data(), &len, ASN1_DECODE_FLAG_STRICT_DER, nullptr) !=
      ASN1_SUCCESS)
    return false;
  return static_cast<std::size_t>(len) == der.size();
}

Bytes Node::Encode(const char* name) const {
  int len = 0;
  if (asn1_der_coding(node_, name, nullptr, &len, nullptr) != ASN1_MEM_ERROR || len <= 0)
    return {};
  Bytes out(static_cast<std::size_t>(len));
  if (asn1_der_coding(node_, name, out.data(), &len, nullptr) != ASN1_SUCCESS) return {};
  out.resize(static_cast<std::size_t>(len));
  return out;
}

std::optional<std::span<const std::uint8_t>> Node::RangeOf(std::span<const std::uint8_t> der,
                                                           const char* name) const {
  int start = 0, end = 0;
  if (asn1_der_decoding_startEnd(node_, der.data(), static_cast<int>(der.size()), name, &start,
                                 &end) != ASN1_SUCCESS)
    return std::nullopt;
  if (start < 0 || end < start || static_cast<std::size_t>(end) >= der.size()) return std::nullopt;
  return der.subspan(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start + 1));
}

std::optional<Bytes> Node::Read(const char* name) const {
  ReadBuffer buf;
  int len = kMaxElement;
  if (asn1_read_value(node_, name, buf.bytes.data(), &len) != ASN1_SUCCESS || len < 0 ||
      len > kMaxElement)
    return std::nullopt;
  return Bytes(buf.bytes.begin(), buf.bytes.begin() + len);
}

std::optional<std::string> Node::ReadText(const char* name) const {
  ReadBuffer buf;
  int len = kMaxElement - 1;
  if (asn1_read_value(node_, name, buf.bytes.data(), &len) != ASN1_SUCCESS || len < 0 ||
      len >= kMaxElement)
    return std::nullopt;
  // OBJECT IDENTIFIER and CHOICE values count their terminating zero; times do not.
  std::string s(reinterpret_cast<const char*>(buf.bytes.data()), static_cast<std::size_t>(len));
  while (!s.empty() && s.back() == '\0') s.pop_back();
  return s;
}

std::optional<Bytes> Node::ReadBits(const char* name) const {
  ReadBuffer buf;
  int bits = kMaxElement;
  if (asn1_read_value(node_, name, buf.bytes.data(), &bits) != ASN1_SUCCESS || bits < 0 ||
      bits % 8 != 0 || bits / 8 > kMaxElement)
    return std::nullopt;
  return Bytes(buf.bytes.begin(), buf.bytes.begin() + bits / 8);
}

int Node::Count(const char* name) const {
  int n = 0;
  return asn1_number_of_elements(node_, name, &n) == ASN1_SUCCESS ? n : -1;
}

bool Node::Text(const char* name, const char* value) {
  return asn1_write_value(node_, name, value, 0) == ASN1_SUCCESS;
}

bool Node::Value(const char* name, std::span<const std::uint8_t> value) {
  if (value.empty() || value.size() > static_cast<std::size_t>(kMaxElement)) return false;
  return asn1_write_value(node_, name, value.data(), static_cast<int>(value.size())) ==
         ASN1_SUCCESS;
}

bool Node::Bits(const char* name, std::span<const std::uint8_t> value, int bitCount) {
  if (value.size() > static_cast<std::size_t>(kMaxElement)) return false;
  const int bits = static_cast<int>(value.size() * 8);
  if (bitCount > bits) return false;
  return asn1_write_value(node_, name, value.data(), bitCount < 0 ? bits : bitCount) ==
         ASN1_SUCCESS;
}

bool Node::Omit(const char* name) {
  return asn1_write_value(node_, name, nullptr, 0) == ASN1_SUCCESS;
}

Bytes EncodeString(unsigned tag, std::string_view text) {
  // Short strings only (names, numbers, digests): one length byte or 0x81/0x82 forms.
  Bytes out;
  out.reserve(text.size() + 4);
  out.push_back(static_cast<std::uint8_t>(tag));
  const std::size_t n = text.size();
  if (n < 0x80) {
    out.push_back(static_cast<std::uint8_t>(n));
  } else if (n <= 0xFF) {
    out.push_back(0x81);
    out.push_back(static_cast<std::uint8_t>(n));
  } else {
    out.push_back(0x82);
    out.push_back(static_cast<std::uint8_t>(n >> 8));
    out.push_back(static_cast<std::uint8_t>(n));
  }
  out.insert(out.end(), text.begin(), text.end());
  return out;
}

namespace {
// The contents of a primitive value of the given type, through libtasn1's strict reader.
std::optional<Bytes> DecodeSimple(unsigned etype, std::span<const std::uint8_t> der) {
  if (der.empty() || der.size() > static_cast<std::size_t>(kMaxElement)) return std::nullopt;
  const unsigned char* str = nullptr;
  unsigned int len = 0;
  if (asn1_decode_simple_der(etype, der.data(), static_cast<unsigned>(der.size()), &str, &len) !=
      ASN1_SUCCESS)
    return std::nullopt;
  // The value must be the whole input: its header and contents, nothing after.
  if (str < der.data() || str + len != der.data() + der.size()) return std::nullopt;
  return Bytes(str, str + len);
}
}  // namespace

std::optional<std::string> DecodeDirectoryString(std::span<const std::uint8_t> der) {
  if (der.empty()) return std::nullopt;
  unsigned etype = 0;
  switch (der[0]) {
    case kTagUtf8String: etype = ASN1_ETYPE_UTF8_STRING; break;
    case kTagPrintableString: etype = ASN1_ETYPE_PRINTABLE_STRING; break;
    case 22: etype = ASN1_ETYPE_IA5_STRING; break;
    case 20: etype = ASN1_ETYPE_TELETEX_STRING; break;
    default: return std::nullopt;  // BMPString, UniversalString: not ASCII text
  }
  const auto value = DecodeSimple(etype, der);
  if (!value) return std::nullopt;
  return std::string(value->begin(), value->end());
}

std::optional<Bytes> DecodeOctetString(std::span<const std::uint8_t> der) {
  if (der.empty() || der[0] != kTagOctetString) return std::nullopt;
  return DecodeSimple(ASN1_ETYPE_OCTET_STRING, der);
}

// ---- PEM ----

namespace {
constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Strict base64 (padding required, nothing after it); blanks and line ends are skipped.
bool Base64Decode(std::string_view text, Bytes& out) {
  std::uint32_t acc = 0;
  int have = 0, pad = 0;
  for (char c : text) {
    if (c == '\n' || c == '\r' || c == ' ' || c == '\t') continue;
    if (c == '=') {
      ++pad;
      continue;
    }
    const int v = Base64Value(c);
    if (v < 0 || pad != 0) return false;
    acc = (acc << 6) | static_cast<std::uint32_t>(v);
    if (++have == 4) {
      out.push_back(static_cast<std::uint8_t>(acc >> 16));
      out.push_back(static_cast<std::uint8_t>(acc >> 8));
      out.push_back(static_cast<std::uint8_t>(acc));
      acc = 0;
      have = 0;
    }
  }
  if (have == 0) return pad == 0;
  if (have == 2 && pad == 2) {
    out.push_back(static_cast<std::uint8_t>(acc >> 4));
    return (acc & 0xF) == 0;
  }
  if (have == 3 && pad == 1) {
    out.push_back(static_cast<std::uint8_t>(acc >> 10));
    out.push_back(static_cast<std::uint8_t>(acc >> 2));
    return (acc & 0x3) == 0;
  }
  return false;
}
}  // namespace

std::string ToPem(std::string_view label, std::span<const std::uint8_t> der) {
  std::string out;
  out.reserve(der.size() * 4 / 3 + der.size() / 48 + 2 * label.size() + 40);
  out.append("-----BEGIN ").append(label).append("-----\n");
  std::size_t column = 0;
  auto put = [&](char c) {
    out.push_back(c);
    if (++column == 64) {
      out.push_back('\n');
      column = 0;
    }
  };
  std::size_t i = 0;
  for (; i + 3 <= der.size(); i += 3) {
    const std::uint32_t v = (std::uint32_t{der[i]} << 16) | (std::uint32_t{der[i + 1]} << 8) | der[i + 2];
    put(kBase64[v >> 18]);
    put(kBase64[(v >> 12) & 63]);
    put(kBase64[(v >> 6) & 63]);
    put(kBase64[v & 63]);
  }
  if (const std::size_t rest = der.size() - i; rest != 0) {
    const std::uint32_t v = (std::uint32_t{der[i]} << 16) |
                            (rest == 2 ? std::uint32_t{der[i + 1]} << 8 : 0);
    put(kBase64[v >> 18]);
    put(kBase64[(v >> 12) & 63]);
    put(rest == 2 ? kBase64[(v >> 6) & 63] : '=');
    put('=');
  }
  if (column != 0) out.push_back('\n');
  out.append("-----END ").append(label).append("-----\n");
  return out;
}

std::optional<PemBlock> FromPem(std::string_view text) {
  constexpr std::string_view kBegin = "-----BEGIN ", kDashes = "-----";
  const std::size_t begin = text.find(kBegin);
  if (begin == std::string_view::npos) return std::nullopt;
  PemBlock block;
  const std::size_t labelStart = begin + kBegin.size();
  const std::size_t labelEnd = text.find(kDashes, labelStart);
  if (labelEnd == std::string_view::npos || labelEnd - labelStart > 64) return block;
  block.label = std::string(text.substr(labelStart, labelEnd - labelStart));
  if (block.label.find('\n') != std::string::npos) return block;
  const std::string end = "-----END " + block.label + "-----";
  const std::size_t bodyStart = labelEnd + kDashes.size();
  const std::size_t endAt = text.find(end, bodyStart);
  if (endAt == std::string_view::npos) return block;
  block.der.reserve((endAt - bodyStart) * 3 / 4);
  block.ok = Base64Decode(text.substr(bodyStart, endAt - bodyStart), block.der) &&
             !block.der.empty();
  return block;
}

}  // namespace cc::der
