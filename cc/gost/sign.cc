// GOST R 34.10-2012 signatures on 256-bit curves, public-key derivation and the VKO key agreement.
//
// Encodings inside our library: private keys, public keys (X || Y) and signatures (r || s) are
// big-endian, 32 bytes per number. The 32-byte digest is read as a little-endian integer (the
// hash's last byte is the most significant), which is how GOST implementations commonly map the
// Streebog output to the number e of the signature equation. The VKO result hashes the shared
// point's coordinates little-endian, 32 bytes each, X first.
#include <gcrypt.h>

#include <algorithm>
#include <array>
#include <stdexcept>

#include "gost.h"
#include "internal.h"

namespace ccgost {

namespace detail {

const char* CurveName(Curve curve) {
  switch (curve) {
    case Curve::Tc26_256_A:
      return "GOST2012-256-A";
    case Curve::CryptoPro_A:
      return "GOST2001-CryptoPro-A";
  }
  throw std::invalid_argument("unknown curve");
}

}  // namespace detail

namespace {

using detail::Check;
using detail::Mpi;
using detail::Point;

constexpr std::size_t kCoordSize = 32;

struct CurveCtx {
  detail::EcCtx ctx;
  Mpi n;  // the order of the base point
};

CurveCtx OpenCurve(const char* name) {
  Init();
  gcry_ctx_t ctx = nullptr;
  Check(gcry_mpi_ec_new(&ctx, nullptr, name), "opening the curve");
  CurveCtx c{detail::EcCtx(ctx), Mpi(gcry_mpi_ec_get_mpi("n", ctx, 1))};
  if (!c.n) detail::Fail("curve without an order");
  return c;
}

// 1 <= d < n
bool ScalarInRange(gcry_mpi_t d, gcry_mpi_t n) {
  return gcry_mpi_cmp_ui(d, 0) > 0 && gcry_mpi_cmp(d, n) < 0;
}

// e: the digest read as a little-endian integer.
Mpi DigestToMpi(std::span<const std::uint8_t> digest) {
  std::array<std::uint8_t, kStreebog256Size> be{};
  std::reverse_copy(digest.begin(), digest.end(), be.begin());
  return detail::MpiFromBe(be);
}

// The affine coordinates of k * P, big-endian; false for the point at infinity.
bool MulAffine(const CurveCtx& c, gcry_mpi_t k, gcry_mpi_point_t p,
               std::span<std::uint8_t, kCoordSize> x, std::span<std::uint8_t, kCoordSize> y) {
  Point r(gcry_mpi_point_new(0));
  gcry_mpi_ec_mul(r.get(), k, p, c.ctx.get());
  Mpi mx(gcry_mpi_snew(0)), my(gcry_mpi_snew(0));
  if (gcry_mpi_ec_get_affine(mx.get(), my.get(), r.get(), c.ctx.get()) != 0) return false;
  detail::MpiToBe(mx.get(), x);
  detail::MpiToBe(my.get(), y);
  return true;
}

// The public point from 64 big-endian bytes; null when it is not on the curve.
Point PointFromBytes(const CurveCtx& c, std::span<const std::uint8_t> xy) {
  Mpi x = detail::MpiFromBe(xy.first(kCoordSize));
  Mpi y = detail::MpiFromBe(xy.subspan(kCoordSize, kCoordSize));
  Mpi one(gcry_mpi_set_ui(nullptr, 1));
  Point p(gcry_mpi_point_new(0));
  gcry_mpi_point_set(p.get(), x.get(), y.get(), one.get());
  if (!gcry_mpi_ec_curve_point(p.get(), c.ctx.get())) return nullptr;
  return p;
}

std::optional<std::array<std::uint8_t, kPublicKeySize>> PublicOnCurve(
    const CurveCtx& c, std::span<const std::uint8_t> privateKey) {
  if (privateKey.size() != kPrivateKeySize) return std::nullopt;
  Mpi d = detail::SecretMpiFromBe(privateKey);
  if (!ScalarInRange(d.get(), c.n.get())) return std::nullopt;
  Point g(gcry_mpi_ec_get_point("g", c.ctx.get(), 1));
  if (!g) detail::Fail("curve without a base point");
  std::array<std::uint8_t, kPublicKeySize> pub{};
  if (!MulAffine(c, d.get(), g.get(), std::span(pub).first<kCoordSize>(),
                 std::span(pub).last<kCoordSize>())) {
    detail::Fail("public key at infinity");
  }
  return pub;
}

Mpi FindMpi(gcry_sexp_t s, const char* name) {
  detail::Sexp tok(gcry_sexp_find_token(s, name, 0));
  if (!tok) return nullptr;
  return Mpi(gcry_sexp_nth_mpi(tok.get(), 1, GCRYMPI_FMT_USG));
}

}  // namespace

KeyPair GenerateKeyPair(Curve curve) {
  const CurveCtx c = OpenCurve(detail::CurveName(curve));
  const unsigned nbits = gcry_mpi_get_nbits(c.n.get());
  KeyPair kp;
  kp.curve = curve;
  kp.privateKey = SecureBytes(kPrivateKeySize);
  // Draw d uniformly from [1, n-1]: random bytes cut to the bit length of n, retried when out of
  // range (at most a few tries, n is close to a power of two). The strong level is libgcrypt's
  // CSPRNG seeded from the kernel generator (getrandom) and stirred with our seed material; the
  // "very strong" level only adds per-call re-gathering of entropy, and on Linux it starts the
  // jitter-entropy collector, a process-lifetime allocation that leak checkers report.
  const unsigned excess = kPrivateKeySize * 8 - nbits;
  for (;;) {
    gcry_randomize(kp.privateKey.data(), kp.privateKey.size(), GCRY_STRONG_RANDOM);
    if (excess != 0 && excess < 8)
      kp.privateKey.data()[0] &= static_cast<std::uint8_t>(0xFF >> excess);
    auto pub = PublicOnCurve(c, kp.privateKey.span());
    if (pub) {
      kp.publicKey = *pub;
      return kp;
    }
  }
}

std::optional<std::array<std::uint8_t, kPublicKeySize>> PublicFromPrivate(
    Curve curve, std::span<const std::uint8_t> privateKey) {
  return detail::PublicFromPrivateOnCurve(detail::CurveName(curve), privateKey);
}

std::optional<std::array<std::uint8_t, kPublicKeySize>> detail::PublicFromPrivateOnCurve(
    const char* name, std::span<const std::uint8_t> privateKey) {
  return PublicOnCurve(OpenCurve(name), privateKey);
}

std::array<std::uint8_t, kSignatureSize> SignDigest(Curve curve,
                                                    std::span<const std::uint8_t> privateKey,
                                                    std::span<const std::uint8_t> digest) {
  if (privateKey.size() != kPrivateKeySize) throw std::invalid_argument("bad private key size");
  if (digest.size() != kStreebog256Size) throw std::invalid_argument("bad digest size");
  const char* name = detail::CurveName(curve);
  const CurveCtx c = OpenCurve(name);
  Mpi d = detail::SecretMpiFromBe(privateKey);
  if (!ScalarInRange(d.get(), c.n.get())) throw std::invalid_argument("private key out of range");
  Mpi e = DigestToMpi(digest);

  // The private scalar is a secure integer, so libgcrypt keeps this S-expression in secure
  // memory and wipes it on release.
  gcry_sexp_t raw = nullptr;
  Check(gcry_sexp_build(&raw, nullptr, "(private-key(ecc(curve %s)(d %m)))", name, d.get()),
        "building the signing key");
  detail::Sexp key(raw);
  Check(gcry_sexp_build(&raw, nullptr, "(data(flags gost raw)(value %m))", e.get()),
        "building the digest");
  detail::Sexp data(raw);
  Check(gcry_pk_sign(&raw, data.get(), key.get()), "signing");
  detail::Sexp sig(raw);

  Mpi r = FindMpi(sig.get(), "r");
  Mpi s = FindMpi(sig.get(), "s");
  if (!r || !s) detail::Fail("signing: unexpected signature form");
  std::array<std::uint8_t, kSignatureSize> out{};
  detail::MpiToBe(r.get(), std::span(out).first<32>());
  detail::MpiToBe(s.get(), std::span(out).last<32>());
  return out;
}

namespace detail {

bool VerifyDigestOnCurve(const char* name, std::span<const std::uint8_t> publicKey,
                         std::span<const std::uint8_t> digest,
                         std::span<const std::uint8_t> signature) {
  if (publicKey.size() != kPublicKeySize || digest.size() != kStreebog256Size ||
      signature.size() != kSignatureSize) {
    return false;
  }
  const CurveCtx c = OpenCurve(name);
  if (!PointFromBytes(c, publicKey)) return false;
  Mpi r = MpiFromBe(signature.first(32));
  Mpi s = MpiFromBe(signature.subspan(32, 32));
  if (!ScalarInRange(r.get(), c.n.get()) || !ScalarInRange(s.get(), c.n.get())) return false;
  Mpi e = DigestToMpi(digest);

  std::array<std::uint8_t, 1 + kPublicKeySize> q{};
  q[0] = 0x04;  // uncompressed point
  std::copy(publicKey.begin(), publicKey.end(), q.begin() + 1);
  gcry_sexp_t raw = nullptr;
  if (gcry_sexp_build(&raw, nullptr, "(public-key(ecc(curve %s)(q %b)))", name,
                      static_cast<int>(q.size()), q.data()) != 0) {
    return false;
  }
  Sexp key(raw);
  if (gcry_sexp_build(&raw, nullptr, "(data(flags gost raw)(value %m))", e.get()) != 0)
    return false;
  Sexp data(raw);
  if (gcry_sexp_build(&raw, nullptr, "(sig-val(gost(r %m)(s %m)))", r.get(), s.get()) != 0) {
    return false;
  }
  Sexp sig(raw);
  return gcry_pk_verify(sig.get(), data.get(), key.get()) == 0;
}

}  // namespace detail

bool VerifyDigest(Curve curve, std::span<const std::uint8_t> publicKey,
                  std::span<const std::uint8_t> digest, std::span<const std::uint8_t> signature) {
  return detail::VerifyDigestOnCurve(detail::CurveName(curve), publicKey, digest, signature);
}

SecureBytes Vko256(Curve curve, std::span<const std::uint8_t> privateKey,
                   std::span<const std::uint8_t> peerPublicKey, std::span<const std::uint8_t> ukm) {
  if (privateKey.size() != kPrivateKeySize) throw std::invalid_argument("bad private key size");
  if (peerPublicKey.size() != kPublicKeySize) throw std::invalid_argument("bad public key size");
  if (ukm.size() != kUkmSize) throw std::invalid_argument("bad UKM size");
  const CurveCtx c = OpenCurve(detail::CurveName(curve));
  Mpi d = detail::SecretMpiFromBe(privateKey);
  if (!ScalarInRange(d.get(), c.n.get())) throw std::invalid_argument("private key out of range");
  Point q = PointFromBytes(c, peerPublicKey);
  if (!q) throw std::invalid_argument("peer public key is not a point of the curve");

  // k = cofactor * UKM * d mod n, UKM read little-endian and replaced by 1 when it is zero.
  std::array<std::uint8_t, kUkmSize> ukmBe{};
  std::reverse_copy(ukm.begin(), ukm.end(), ukmBe.begin());
  Mpi u = detail::MpiFromBe(ukmBe);
  if (gcry_mpi_cmp_ui(u.get(), 0) == 0) gcry_mpi_set_ui(u.get(), 1);
  Mpi k(gcry_mpi_snew(0));
  gcry_mpi_mulm(k.get(), u.get(), d.get(), c.n.get());
  Mpi h(gcry_mpi_ec_get_mpi("h", c.ctx.get(), 1));
  if (h) gcry_mpi_mulm(k.get(), k.get(), h.get(), c.n.get());

  // The shared point, both coordinates little-endian, hashed with Streebog-256.
  SecureBytes xy(2 * kCoordSize);
  auto x = std::span(xy.data(), kCoordSize);
  auto y = std::span(xy.data() + kCoordSize, kCoordSize);
  if (!MulAffine(c, k.get(), q.get(), std::span<std::uint8_t, kCoordSize>(x),
                 std::span<std::uint8_t, kCoordSize>(y))) {
    throw std::invalid_argument("shared point at infinity");
  }
  std::reverse(x.begin(), x.end());
  std::reverse(y.begin(), y.end());
  Hash hash(HashAlg::Streebog256);
  hash.Update(xy.span());
  std::vector<std::uint8_t> digest = hash.Final();
  SecureBytes kek(digest.data(), digest.size());
  Wipe(digest.data(), digest.size());
  return kek;
}

}  // namespace ccgost
