// GOST R 34.11-2012 (256-bit and 512-bit) and MD5 through libgcrypt.
#include <gcrypt.h>

#include <stdexcept>

#include "gost.h"
#include "internal.h"

namespace ccgost {

namespace {

int GcryAlgo(HashAlg alg) {
  switch (alg) {
    case HashAlg::Streebog256:
      return GCRY_MD_STRIBOG256;
    case HashAlg::Md5:
      return GCRY_MD_MD5;
    case HashAlg::Streebog512:
      return GCRY_MD_STRIBOG512;
  }
  throw std::invalid_argument("unknown hash algorithm");
}

}  // namespace

struct Hash::Impl {
  detail::MdHandle md;
  std::size_t size = 0;
  bool finished = false;
  std::vector<std::uint8_t> digest;
};

Hash::Hash(HashAlg alg) : impl_(std::make_unique<Impl>()) {
  Init();
  const int algo = GcryAlgo(alg);
  gcry_md_hd_t h = nullptr;
  detail::Check(gcry_md_open(&h, algo, 0), "opening a hash");
  impl_->md.reset(h);
  impl_->size = gcry_md_get_algo_dlen(algo);
}

Hash::~Hash() {
  // The digest may be key material (the VKO result).
  if (impl_) Wipe(impl_->digest.data(), impl_->digest.size());
}

void Hash::Update(std::span<const std::uint8_t> data) {
  if (impl_->finished) throw std::logic_error("hash updated after Final");
  if (!data.empty()) gcry_md_write(impl_->md.get(), data.data(), data.size());
}

std::vector<std::uint8_t> Hash::Final() {
  if (!impl_->finished) {
    const unsigned char* p = gcry_md_read(impl_->md.get(), 0);
    if (p == nullptr) detail::Fail("reading a digest");
    impl_->digest.assign(p, p + impl_->size);
    impl_->finished = true;
  }
  return impl_->digest;
}

std::size_t Hash::DigestSize() const noexcept {
  return impl_->size;
}

std::vector<std::uint8_t> HashOnce(HashAlg alg, std::span<const std::uint8_t> data) {
  Hash h(alg);
  h.Update(data);
  return h.Final();
}

std::array<std::uint8_t, 32> Fingerprint(std::span<const std::uint8_t> data) {
  Init();
  std::array<std::uint8_t, 32> out{};
  gcry_md_hash_buffer(GCRY_MD_SHA256, out.data(), data.data(), data.size());
  return out;
}

}  // namespace ccgost
