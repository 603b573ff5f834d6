// The threaded soak: 8 engines of 4 users on 8 threads for a set time (--seconds S, default 60),
// each mixing signing and the verification of its own and the other threads' signatures (and of a
// changed message, which must fail), encryption for 1 to 3 recipients with its decryption,
// appended signatures, the installation and removal of a certificate, transfers, reports and
// cache clears; one thread also renews a fifth user's key through the test authority. Every
// result is checked. Prints the operations per second and the count of wrong results, and exits
// 1 when there is any.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <latch>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "host_engine.h"

namespace {

namespace fs = std::filesystem;
using vornak2::testing::HostEngine;
using vornak2::testing::RunAuthorityTool;
using vornak2::testing::TestRoot;
using vornak2::testing::UserKeys;

constexpr int kUsers = 4;
constexpr int kThreads = 8;

std::atomic<long> operations{0};
std::atomic<long> wrong{0};

void Wrong(int thread, const std::string& what, std::int32_t code) {
  ++wrong;
  std::fprintf(stderr, "thread %d: %s (code %d)\n", thread, what.c_str(), static_cast<int>(code));
}

// The last signature each thread made, for the others to verify.
struct Published {
  std::mutex lock;
  std::string message, signer;
  std::vector<std::uint8_t> signature;
};
Published published[kThreads];

std::string Slurp(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  std::string text;
  if (f == nullptr) return text;
  char chunk[4096];
  for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;) text.append(chunk, n);
  std::fclose(f);
  return text;
}

// Counted down by each worker once its engine is made: making an engine sets the process's PATH,
// which must not change while the renewal thread starts the test authority.
std::latch enginesMade(kThreads);

void Work(int t, const std::vector<const UserKeys*>& users, const std::string& extraCert,
          std::chrono::steady_clock::time_point end) {
  TestRoot& root = TestRoot::Get();
  const UserKeys& me = *users[t % kUsers];
  HostEngine engine(root, me);
  enginesMade.count_down();
  const VORNAK2_HANDLE e = engine.get();
  std::mt19937 random(static_cast<unsigned>(t) * 7919u + 1);
  const std::string drop = me.dir + "drop_" + std::to_string(t) + ".crt";
  const std::string extraUid = "SX." + std::to_string(t);
  for (long round = 0; std::chrono::steady_clock::now() < end; ++round) {
    const std::string message = "message " + std::to_string(t) + "/" + std::to_string(round) +
                                std::string(random() % 2000, 'm');
    switch (round % 8) {
      case 0:
      case 4: {  // sign; verify own, a changed message, and another thread's last signature
        const auto signature = engine.Sign(message);
        std::string signer;
        if (signature.empty())
          Wrong(t, "SignData", -1);
        else if (const auto r = engine.Verify(message, signature, &signer);
                 r != 0 || signer != me.uid)
          Wrong(t, "VerifyData of the own signature", r);
        else if (engine.Verify(message + "!", signature) == 0)
          Wrong(t, "a changed message verified", 0);
        else {
          std::lock_guard guard(published[t].lock);
          published[t].message = message;
          published[t].signer = me.uid;
          published[t].signature = signature;
        }
        Published& other = published[random() % kThreads];
        std::lock_guard guard(other.lock);
        if (!other.signature.empty() &&
            (engine.Verify(other.message, other.signature, &signer) != 0 || signer != other.signer))
          Wrong(t, "VerifyData of " + other.signer + "'s signature", 0);
        break;
      }
      case 1:
      case 5: {  // encrypt for 1 to 3 recipients (always including the own UID), decrypt
        std::string to = me.uid;
        const int more = static_cast<int>(random() % 3);
        for (int i = 1; i <= more; ++i) to += ";" + users[(t + i) % kUsers]->uid;
        std::vector<std::uint8_t> buffer(message.size() +
                                         static_cast<std::size_t>(GetMaxAdditionEx(e, to.c_str())));
        std::memcpy(buffer.data(), message.data(), message.size());
        auto size = static_cast<std::int32_t>(message.size());
        if (const auto r = EncodeData(e, buffer.data(), &size, to.c_str()); r != 0) {
          Wrong(t, "EncodeData for " + to, r);
        } else if (const auto d = DecodeData(e, buffer.data(), &size, nullptr);
                   d != 0 || std::string(buffer.begin(), buffer.begin() + size) != message) {
          Wrong(t, "DecodeData of a message for " + to, d);
        }
        break;
      }
      case 2: {  // appended signature, removed and checked
        std::vector<std::uint8_t> buffer(message.size() +
                                         static_cast<std::size_t>(GetMaxSignAddition(e)));
        std::memcpy(buffer.data(), message.data(), message.size());
        auto size = static_cast<std::int32_t>(message.size());
        char signer[256] = {};
        if (const auto r = AddSign(e, buffer.data(), &size, ""); r != 0)
          Wrong(t, "AddSign", r);
        else if (const auto v = RemoveSign(e, buffer.data(), &size, signer);
                 v != 0 || std::string(buffer.begin(), buffer.begin() + size) != message ||
                 me.uid != signer)
          Wrong(t, "RemoveSign", v);
        break;
      }
      case 3: {  // a certificate installed and removed again
        fs::copy_file(extraCert, drop, fs::copy_options::overwrite_existing);
        if (const auto r = IncludePublicKey(e, drop.c_str()); r != 0)
          Wrong(t, "IncludePublicKey", r);
        else if (const auto x = RemoveCertificate(e, extraUid.c_str()); x != 0)
          Wrong(t, "RemoveCertificate", x);
        break;
      }
      case 6: {  // transfers and reports
        const auto transfer = engine.TransferOf(users[(t + 1) % kUsers]->uid);
        std::string uid;
        if (transfer.code != 0)
          Wrong(t, "GetPublicKeyTransfer", transfer.code);
        else if (const auto r = engine.UidOf(transfer.text, uid);
                 r != 0 || uid != users[(t + 1) % kUsers]->uid)
          Wrong(t, "GetUIDByPublicKeyTransfer", r);
        char report[2048];
        if (const auto r = GetReport(e, users[(t + 2) % kUsers]->uid.c_str(), report); r != 0)
          Wrong(t, "GetReport", r);
        break;
      }
      case 7:
        if (round % 32 == 7) ClearCash(e);
        break;
    }
    ++operations;
  }
}

// One renewal of a fifth user's key under a new UID, with the test authority answering; the users
// are laid out before the threads start.
void Renew(const std::string& rootDir, bool waitForEngines) {
  TestRoot& root = TestRoot::Get();
  const UserKeys& user = root.User("soak_renew", "SR.1");
  const UserKeys& op = root.User("soak_op", "SO.9");
  if (waitForEngines) enginesMade.wait();
  HostEngine engine(root, user);
  // Named with the root's own separator (the system's), as the engine reads directories.
  const std::string dir = rootDir + "soak_renewal" + rootDir.back();
  fs::create_directories(dir);
  SetRemoteGeneratePath(engine.get(), dir.c_str());
  std::string transfer(5129, '\0');
  std::int32_t mode = 0;
  if (const auto r = RemoteGenerateStartEx(engine.get(), "", transfer.data(), &mode); r != 0)
    return Wrong(-1, "RemoteGenerateStartEx", r);
  if (std::FILE* f = std::fopen((dir + "start.txt").c_str(), "wb")) {
    std::fputs(transfer.c_str(), f);
    std::fclose(f);
  }
  if (RunAuthorityTool({"renew", "--authority", rootDir + "ca", "--root", rootDir, "--operator",
                        op.name, "--in", dir + "start.txt", "--out", dir + "answer.txt"}) != 0)
    return Wrong(-1, "the authority's renewal", 0);
  mode = 0;
  if (const auto r = RemoteGenerateFinishEx(engine.get(), Slurp(dir + "answer.txt").c_str(), &mode);
      r != 0)
    return Wrong(-1, "RemoteGenerateFinishEx", r);
  if (engine.Uid() != "SR.10") Wrong(-1, "the renewed UID is " + engine.Uid(), 0);
  const auto signature = engine.Sign("renewed");
  if (engine.Verify("renewed", signature) != 0) Wrong(-1, "a signature of the renewed key", 0);
  ++operations;
}

}  // namespace

int main(int argc, char** argv) {
  // --renewal-first renews before the other threads start instead of among them.
  double seconds = 60;
  bool renewalFirst = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) seconds = std::atof(argv[i + 1]);
    if (std::strcmp(argv[i], "--renewal-first") == 0) renewalFirst = true;
  }
  TestRoot& root = TestRoot::Get();
  std::vector<const UserKeys*> users;
  for (int i = 0; i < kUsers; ++i)
    users.push_back(&root.User("soak_" + std::to_string(i), "SK." + std::to_string(i)));
  for (const UserKeys* u : users)
    for (const UserKeys* other : users)
      if (u != other &&
          RunAuthorityTool({"install-cert", "--cert", other->certFile, "--root", u->dir}) != 0)
        return 2;
  // A certificate of its own for each thread to install and remove.
  std::vector<std::string> extra;
  for (int t = 0; t < kThreads; ++t) {
    const std::string dir = root.dir() + "soak_extra_" + std::to_string(t) + root.dir().back(),
                      uid = "SX." + std::to_string(t);
    if (RunAuthorityTool({"keygen", "--dir", dir, "--uid", uid}) != 0 ||
        RunAuthorityTool({"issue", "--authority", root.dir() + "ca", "--request",
                          dir + uid.substr(3) + ".pub", "--out", dir + "extra.crt"}) != 0)
      return 2;
    extra.push_back(dir + "extra.crt");
  }

  const UserKeys& renewing = root.User("soak_renew", "SR.1");
  const UserKeys& op = root.User("soak_op", "SO.9");
  if (RunAuthorityTool({"install-cert", "--cert", renewing.certFile, "--root", op.dir}) != 0 ||
      RunAuthorityTool({"install-cert", "--cert", op.certFile, "--root", renewing.dir}) != 0)
    return 2;

  std::thread renewal;
  if (renewalFirst) Renew(root.dir(), false);
  const auto start = std::chrono::steady_clock::now();
  const auto end = start + std::chrono::milliseconds(static_cast<long>(seconds * 1000));
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back(Work, t, std::cref(users), extra[t], end);
  if (!renewalFirst) renewal = std::thread(Renew, root.dir(), true);
  if (renewal.joinable()) renewal.join();
  for (auto& thread : threads) thread.join();
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf(
      "soak: %d engines of %d users on %d threads, %.1f s: %ld operations, %.1f per second, %ld "
      "wrong results\n",
      kThreads, kUsers, kThreads, elapsed, operations.load(), operations.load() / elapsed,
      wrong.load());
  return wrong.load() == 0 ? 0 : 1;
}
