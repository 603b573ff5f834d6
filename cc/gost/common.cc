// Library start-up, secret buffers, random numbers and the libgcrypt conversions shared by the
// other files.
#include <gcrypt.h>
#include <string.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>

#include "gost.h"
#include "internal.h"

namespace ccgost {

namespace {

// Oldest libgcrypt with the GOST 28147 key-meshing cipher and every GOST R 34.10-2012 curve we
// offer (the 256-bit and 512-bit tc26 ones and the CryptoPro ones).
constexpr char kMinVersion[] = "1.10.0";

void SetUpLibrary();

void InitOnce() {
  if (!gcry_check_version(kMinVersion)) {
    throw std::runtime_error(std::string("libgcrypt ") + kMinVersion + " or newer is required");
  }
  // Somebody else in the process (a host using libgcrypt itself) may have set it up already;
  // its settings stand then.
  if (!gcry_control(GCRYCTL_INITIALIZATION_FINISHED_P)) SetUpLibrary();
  // libgcrypt fills some tables of its curve arithmetic on first use, without a lock: two threads
  // opening their first curve at once both fill them and one copy leaks. Opening each curve here,
  // once, builds those tables before any other thread can race for them.
  for (Curve curve : kAllCurves) {
    gcry_ctx_t ctx = nullptr;
    if (gcry_mpi_ec_new(&ctx, nullptr, detail::CurveName(curve)) == 0) gcry_ctx_release(ctx);
  }
}

#ifdef _WIN32
// libgcrypt's Windows entropy gatherer announces itself on stderr at its first use; a library
// inside a host's process prints nothing of its own. Errors still go to stderr.
void QuietLog(void*, int level, const char* format, va_list args) {
  if (level >= GCRY_LOG_ERROR) std::vfprintf(stderr, format, args);
}
#endif

void SetUpLibrary() {
#ifdef _WIN32
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  gcry_set_log_handler(QuietLog, nullptr);
#pragma GCC diagnostic pop
#endif
  // Secure memory keeps private scalars and cipher key schedules out of swap and makes
  // libgcrypt wipe the S-expressions that carry them. The pool grows on demand, and a missing
  // mlock permission only costs the locking, so no warning is printed for it.
  gcry_control(GCRYCTL_DISABLE_SECMEM_WARN);
  // We are a library inside somebody else's process: libgcrypt must not drop the privileges of a
  // set-user-id host when it locks the pool.
  gcry_control(GCRYCTL_DISABLE_PRIV_DROP);
  gcry_control(GCRYCTL_AUTO_EXPAND_SECMEM, 64u * 1024u);
  gcry_control(GCRYCTL_INIT_SECMEM, 64 * 1024, 0);
  gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
}

}  // namespace

void Init() {
  static std::once_flag once;
  std::call_once(once, InitOnce);
}

void Wipe(void* p, std::size_t n) noexcept {
#ifdef _WIN32
  // No explicit_bzero in the Windows C runtime: a memset that the compiler must assume is read.
  if (p != nullptr && n != 0) {
    std::memset(p, 0, n);
    __asm__ __volatile__("" : : "r"(p) : "memory");
  }
#else
  if (p != nullptr && n != 0) explicit_bzero(p, n);
#endif
}

// ---- SecureBytes ----

SecureBytes::SecureBytes(std::size_t n) : bytes_(n) {}

SecureBytes::SecureBytes(const std::uint8_t* p, std::size_t n) : bytes_(p, p + n) {}

SecureBytes::SecureBytes(const SecureBytes& other) : bytes_(other.bytes_) {}

SecureBytes& SecureBytes::operator=(const SecureBytes& other) {
  if (this != &other) {
    SecureBytes copy(other);
    std::swap(bytes_, copy.bytes_);  // the old bytes leave with `copy` and are wiped there
  }
  return *this;
}

SecureBytes::SecureBytes(SecureBytes&& other) noexcept : bytes_(std::move(other.bytes_)) {
  other.bytes_.clear();
}

SecureBytes& SecureBytes::operator=(SecureBytes&& other) noexcept {
  if (this != &other) {
    Wipe(bytes_.data(), bytes_.size());
    bytes_ = std::move(other.bytes_);
    other.bytes_.clear();
  }
  return *this;
}

SecureBytes::~SecureBytes() {
  Wipe(bytes_.data(), bytes_.size());
}

void SecureBytes::resize(std::size_t n) {
  if (n <= bytes_.size()) {
    // The storage stays; the bytes that drop out of view are wiped.
    Wipe(bytes_.data() + n, bytes_.size() - n);
    bytes_.resize(n);
    return;
  }
  if (n <= bytes_.capacity()) {
    bytes_.resize(n);  // no reallocation: the vector only grows into its capacity
    return;
  }
  std::vector<std::uint8_t> bigger(n);
  std::copy(bytes_.begin(), bytes_.end(), bigger.begin());
  Wipe(bytes_.data(), bytes_.size());
  std::swap(bytes_, bigger);
}

// ---- random ----

namespace {

// Each call of libgcrypt's strong generator stirs its whole pool: about 15 us whether it is asked
// for 1 byte or 256, while an operation draws several small pieces (offsets, a block, a session
// key, a UKM, an IV). Small draws are therefore served from a per-thread reserve filled by one
// call. The reserve goes stale when seed material is added anywhere in the process (so that every
// byte handed out after a seed was drawn after it) and in a forked child (which must not repeat
// its parent's bytes); a stale reserve is wiped and refilled. Bytes are wiped as they are handed
// out, so the reserve never holds past output.
constexpr std::size_t kReserveSize = 256;

std::atomic<std::uint64_t> seedGeneration{0};

struct Reserve {
  std::array<std::uint8_t, kReserveSize> bytes{};
  std::size_t next = kReserveSize;  // bytes[next..] are unused; all used when next == size
  std::uint64_t generation = 0;
  std::uint64_t process = 0;

  ~Reserve() { Wipe(bytes.data(), bytes.size()); }

  void Take(std::span<std::uint8_t> out) {
    const std::uint64_t current = seedGeneration.load(std::memory_order_acquire);
    const std::uint64_t pid = detail::ProcessIdentity();
    if (next + out.size() > bytes.size() || generation != current || process != pid) {
      gcry_randomize(bytes.data(), bytes.size(), GCRY_STRONG_RANDOM);
      next = 0;
      generation = current;
      process = pid;
    }
    std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(next), out.size(), out.begin());
    Wipe(bytes.data() + next, out.size());
    next += out.size();
  }
};

thread_local Reserve reserve;

}  // namespace

void RandomBytes(std::span<std::uint8_t> out) {
  Init();
  if (out.empty()) return;
  if (out.size() > kReserveSize / 2) {
    gcry_randomize(out.data(), out.size(), GCRY_STRONG_RANDOM);
    return;
  }
  reserve.Take(out);
}

void AddSeed(std::span<const std::uint8_t> seed) {
  Init();
  if (seed.empty()) return;
  // Quality -1: libgcrypt credits the material with no entropy, it only stirs the pool.
  detail::Check(gcry_random_add_bytes(seed.data(), seed.size(), -1), "adding seed material");
  seedGeneration.fetch_add(1, std::memory_order_release);
}

namespace detail {

void Check(gcry_error_t err, const char* what) {
  if (err != 0) throw std::runtime_error(std::string(what) + ": " + gcry_strerror(err));
}

void Fail(const char* what) {
  throw std::runtime_error(what);
}

Mpi MpiFromBe(std::span<const std::uint8_t> be) {
  gcry_mpi_t a = nullptr;
  Check(gcry_mpi_scan(&a, GCRYMPI_FMT_USG, be.data(), be.size(), nullptr), "reading an integer");
  return Mpi(a);
}

Mpi SecretMpiFromBe(std::span<const std::uint8_t> be) {
  // libgcrypt puts the integer into secure memory when the source buffer lives there.
  struct SecureBuf {
    void* p;
    std::size_t n;
    ~SecureBuf() {
      Wipe(p, n);
      gcry_free(p);
    }
  } buf{gcry_malloc_secure(be.empty() ? 1 : be.size()), be.size()};
  if (buf.p == nullptr) Fail("out of secure memory");
  std::copy(be.begin(), be.end(), static_cast<std::uint8_t*>(buf.p));
  gcry_mpi_t a = nullptr;
  Check(gcry_mpi_scan(&a, GCRYMPI_FMT_USG, buf.p, be.size(), nullptr), "reading a secret integer");
  return Mpi(a);
}

void MpiToBe(gcry_mpi_t a, std::span<std::uint8_t> out) {
  const std::size_t need = (gcry_mpi_get_nbits(a) + 7) / 8;
  if (need > out.size()) Fail("integer does not fit its field");
  const std::size_t pad = out.size() - need;
  std::fill(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(pad), 0);
  std::size_t written = 0;
  if (need != 0) {
    Check(gcry_mpi_print(GCRYMPI_FMT_USG, out.data() + pad, need, &written, a),
          "writing an integer");
  }
}

}  // namespace detail
}  // namespace ccgost
