// GOST R 34.10-2012 signatures on the 256-bit and 512-bit curves, public-key derivation and the
// VKO key agreement.
//
// Encodings inside our library: private keys, public keys (X || Y) and signatures (r || s) are
// big-endian, KeySize(curve) bytes per number. The digest is read as a little-endian integer (the
// hash's last byte is the most significant), which is how GOST implementations commonly map the
// Streebog output to the number e of the signature equation. The VKO result hashes the shared
// point's coordinates little-endian, X first.
#include <gcrypt.h>

#include <algorithm>
#include <array>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "gost.h"
#include "internal.h"

namespace ccgost {

namespace {

struct CurveInfo {
  const char* gcryptName;  // libgcrypt's name of the curve
  std::size_t size;        // bytes per number
};

CurveInfo InfoOf(Curve curve) {
  switch (curve) {
    case Curve::Tc26_256_A:
      return {"GOST2012-256-A", 32};
    case Curve::CryptoPro_A:
    case Curve::Tc26_256_B:
    case Curve::CryptoPro_XchA:
      return {"GOST2001-CryptoPro-A", 32};
    case Curve::CryptoPro_B:
    case Curve::Tc26_256_C:
      return {"GOST2001-CryptoPro-B", 32};
    case Curve::CryptoPro_C:
    case Curve::Tc26_256_D:
    case Curve::CryptoPro_XchB:
      return {"GOST2001-CryptoPro-C", 32};
    case Curve::Tc26_512_A:
      return {"GOST2012-512-tc26-A", 64};
    case Curve::Tc26_512_B:
      return {"GOST2012-512-tc26-B", 64};
    case Curve::Tc26_512_C:
      return {"GOST2012-512-tc26-C", 64};
  }
  throw std::invalid_argument("unknown curve");
}

}  // namespace

std::size_t KeySize(Curve curve) {
  return InfoOf(curve).size;
}

bool SameCurve(Curve a, Curve b) {
  return std::string_view(InfoOf(a).gcryptName) == InfoOf(b).gcryptName;
}

namespace detail {

const char* CurveName(Curve curve) {
  return InfoOf(curve).gcryptName;
}

}  // namespace detail

namespace {

using detail::Check;
using detail::Mpi;
using detail::Point;

struct CurveCtx {
  detail::EcCtx ctx;
  Mpi n;                 // the order of the base point
  std::size_t size = 0;  // bytes of a field element, of a scalar and of each signature half
};

CurveCtx OpenCurve(const char* name) {
  Init();
  gcry_ctx_t ctx = nullptr;
  Check(gcry_mpi_ec_new(&ctx, nullptr, name), "opening the curve");
  CurveCtx c{detail::EcCtx(ctx), Mpi(gcry_mpi_ec_get_mpi("n", ctx, 1)), 0};
  const Mpi p(gcry_mpi_ec_get_mpi("p", ctx, 1));
  if (!c.n || !p) detail::Fail("curve without an order or a field");
  c.size = (gcry_mpi_get_nbits(p.get()) + 7) / 8;
  return c;
}

// 1 <= d < n
bool ScalarInRange(gcry_mpi_t d, gcry_mpi_t n) {
  return gcry_mpi_cmp_ui(d, 0) > 0 && gcry_mpi_cmp(d, n) < 0;
}

// e: the digest read as a little-endian integer.
Mpi DigestToMpi(std::span<const std::uint8_t> digest) {
  std::array<std::uint8_t, kMaxPrivateKeySize> be{};
  const auto n = std::min(digest.size(), be.size());
  std::reverse_copy(digest.begin(), digest.begin() + static_cast<std::ptrdiff_t>(n), be.begin());
  return detail::MpiFromBe(std::span(be).first(n));
}

// The affine coordinates of k * P, big-endian, c.size bytes each; false for the point at infinity.
bool MulAffine(const CurveCtx& c, gcry_mpi_t k, gcry_mpi_point_t p, std::span<std::uint8_t> x,
               std::span<std::uint8_t> y) {
  Point r(gcry_mpi_point_new(0));
  gcry_mpi_ec_mul(r.get(), k, p, c.ctx.get());
  Mpi mx(gcry_mpi_snew(0)), my(gcry_mpi_snew(0));
  if (gcry_mpi_ec_get_affine(mx.get(), my.get(), r.get(), c.ctx.get()) != 0) return false;
  detail::MpiToBe(mx.get(), x);
  detail::MpiToBe(my.get(), y);
  return true;
}

// The public point from 2 * c.size big-endian bytes; null when it is not on the curve.
Point PointFromBytes(const CurveCtx& c, std::span<const std::uint8_t> xy) {
  Mpi x = detail::MpiFromBe(xy.first(c.size));
  Mpi y = detail::MpiFromBe(xy.subspan(c.size, c.size));
  Mpi one(gcry_mpi_set_ui(nullptr, 1));
  Point p(gcry_mpi_point_new(0));
  gcry_mpi_point_set(p.get(), x.get(), y.get(), one.get());
  if (!gcry_mpi_ec_curve_point(p.get(), c.ctx.get())) return nullptr;
  return p;
}

std::optional<std::vector<std::uint8_t>> PublicOnCurve(const CurveCtx& c,
                                                       std::span<const std::uint8_t> privateKey) {
  if (privateKey.size() != c.size) return std::nullopt;
  Mpi d = detail::SecretMpiFromBe(privateKey);
  if (!ScalarInRange(d.get(), c.n.get())) return std::nullopt;
  Point g(gcry_mpi_ec_get_point("g", c.ctx.get(), 1));
  if (!g) detail::Fail("curve without a base point");
  std::vector<std::uint8_t> pub(2 * c.size);
  if (!MulAffine(c, d.get(), g.get(), std::span(pub).first(c.size), std::span(pub).last(c.size))) {
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
  kp.privateKey = SecureBytes(c.size);
  // Draw d uniformly from [1, n-1]: random bytes cut to the bit length of n, retried when out of
  // range (at most a few tries, n is close to a power of two). The strong level is libgcrypt's
  // CSPRNG seeded from the kernel generator (getrandom) and stirred with our seed material; the
  // "very strong" level only adds per-call re-gathering of entropy, and on Linux it starts the
  // jitter-entropy collector, a process-lifetime allocation that leak checkers report.
  const unsigned excess = static_cast<unsigned>(c.size * 8) - nbits;
  for (;;) {
    gcry_randomize(kp.privateKey.data(), kp.privateKey.size(), GCRY_STRONG_RANDOM);
    if (excess != 0 && excess < 8)
      kp.privateKey.data()[0] &= static_cast<std::uint8_t>(0xFF >> excess);
    auto pub = PublicOnCurve(c, kp.privateKey.span());
    if (pub) {
      kp.publicKey = std::move(*pub);
      return kp;
    }
  }
}

std::optional<std::vector<std::uint8_t>> PublicFromPrivate(
    Curve curve, std::span<const std::uint8_t> privateKey) {
  return detail::PublicFromPrivateOnCurve(detail::CurveName(curve), privateKey);
}

std::optional<std::vector<std::uint8_t>> detail::PublicFromPrivateOnCurve(
    const char* name, std::span<const std::uint8_t> privateKey) {
  return PublicOnCurve(OpenCurve(name), privateKey);
}

std::vector<std::uint8_t> SignDigest(Curve curve, std::span<const std::uint8_t> privateKey,
                                     std::span<const std::uint8_t> digest) {
  const std::size_t size = KeySize(curve);
  if (privateKey.size() != size) throw std::invalid_argument("bad private key size");
  if (digest.size() != size) throw std::invalid_argument("bad digest size");
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
  std::vector<std::uint8_t> out(2 * size);
  detail::MpiToBe(r.get(), std::span(out).first(size));
  detail::MpiToBe(s.get(), std::span(out).last(size));
  return out;
}

namespace detail {

bool VerifyDigestOnCurve(const char* name, std::span<const std::uint8_t> publicKey,
                         std::span<const std::uint8_t> digest,
                         std::span<const std::uint8_t> signature) {
  const CurveCtx c = OpenCurve(name);
  if (publicKey.size() != 2 * c.size || digest.size() != c.size || signature.size() != 2 * c.size) {
    return false;
  }
  if (!PointFromBytes(c, publicKey)) return false;
  Mpi r = MpiFromBe(signature.first(c.size));
  Mpi s = MpiFromBe(signature.subspan(c.size, c.size));
  if (!ScalarInRange(r.get(), c.n.get()) || !ScalarInRange(s.get(), c.n.get())) return false;
  Mpi e = DigestToMpi(digest);

  std::array<std::uint8_t, 1 + kMaxPublicKeySize> q{};
  q[0] = 0x04;  // uncompressed point
  std::copy(publicKey.begin(), publicKey.end(), q.begin() + 1);
  gcry_sexp_t raw = nullptr;
  if (gcry_sexp_build(&raw, nullptr, "(public-key(ecc(curve %s)(q %b)))", name,
                      static_cast<int>(1 + publicKey.size()), q.data()) != 0) {
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
  const std::size_t size = KeySize(curve);
  if (privateKey.size() != size) throw std::invalid_argument("bad private key size");
  if (peerPublicKey.size() != 2 * size) throw std::invalid_argument("bad public key size");
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
  SecureBytes xy(2 * size);
  auto x = std::span(xy.data(), size);
  auto y = std::span(xy.data() + size, size);
  if (!MulAffine(c, k.get(), q.get(), x, y))
    throw std::invalid_argument("shared point at infinity");
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
