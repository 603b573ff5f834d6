// Shared helpers of the GOST primitives: RAII owners for libgcrypt objects, error checks and
// conversions between byte strings and libgcrypt integers. Not part of the public contract.
#pragma once

#include <gcrypt.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <type_traits>
#include <vector>

#include "gost.h"

namespace ccgost::detail {

// The S-box of id-tc26-gost-28147-param-Z, the parameter set paired with the 2012 algorithms.
inline constexpr char kSboxZ[] = "1.2.643.7.1.2.5.1.1";

// Throws std::runtime_error("<what>: <libgcrypt text>") when err is not 0.
void Check(gcry_error_t err, const char* what);
[[noreturn]] void Fail(const char* what);

struct MpiFree {
  void operator()(gcry_mpi_t p) const noexcept { gcry_mpi_release(p); }
};
struct PointFree {
  void operator()(gcry_mpi_point_t p) const noexcept { gcry_mpi_point_release(p); }
};
struct CtxFree {
  void operator()(gcry_ctx_t p) const noexcept { gcry_ctx_release(p); }
};
struct SexpFree {
  void operator()(gcry_sexp_t p) const noexcept { gcry_sexp_release(p); }
};
struct CipherFree {
  void operator()(gcry_cipher_hd_t p) const noexcept { gcry_cipher_close(p); }
};
struct MacFree {
  void operator()(gcry_mac_hd_t p) const noexcept { gcry_mac_close(p); }
};
struct MdFree {
  void operator()(gcry_md_hd_t p) const noexcept { gcry_md_close(p); }
};

using Mpi = std::unique_ptr<std::remove_pointer_t<gcry_mpi_t>, MpiFree>;
using Point = std::unique_ptr<std::remove_pointer_t<gcry_mpi_point_t>, PointFree>;
using EcCtx = std::unique_ptr<std::remove_pointer_t<gcry_ctx_t>, CtxFree>;
using Sexp = std::unique_ptr<std::remove_pointer_t<gcry_sexp_t>, SexpFree>;
using CipherHandle = std::unique_ptr<std::remove_pointer_t<gcry_cipher_hd_t>, CipherFree>;
using MacHandle = std::unique_ptr<std::remove_pointer_t<gcry_mac_hd_t>, MacFree>;
using MdHandle = std::unique_ptr<std::remove_pointer_t<gcry_md_hd_t>, MdFree>;

// A public integer from big-endian bytes.
Mpi MpiFromBe(std::span<const std::uint8_t> be);
// A secret integer from big-endian bytes, held in libgcrypt's secure memory.
Mpi SecretMpiFromBe(std::span<const std::uint8_t> be);
// Writes `a` as a big-endian number of exactly out.size() bytes; throws when it does not fit.
void MpiToBe(gcry_mpi_t a, std::span<std::uint8_t> out);

// Opens GOST 28147-89 (plain or with CryptoPro key meshing) in `mode` with parameter set Z and
// the given 32-byte key.
CipherHandle OpenGost28147(int algo, int mode, std::span<const std::uint8_t> key);

// Curve access for the signature and agreement code. `name` is libgcrypt's curve name; the public
// functions map Curve to it, tests use it to reach libgcrypt's test curves. The sizes of keys and
// signatures on a named curve follow the size of its field.
const char* CurveName(Curve curve);
std::optional<std::vector<std::uint8_t>> PublicFromPrivateOnCurve(
    const char* name, std::span<const std::uint8_t> privateKey);
bool VerifyDigestOnCurve(const char* name, std::span<const std::uint8_t> publicKey,
                         std::span<const std::uint8_t> digest,
                         std::span<const std::uint8_t> signature);

// An identity of the running process that differs between a parent and its forked child.
std::uint64_t ProcessIdentity() noexcept;

}  // namespace ccgost::detail
