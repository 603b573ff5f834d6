// One of the processes that share a root in the shared-root test.
//
//   ccom_share_child worker ROOT DIR SECONDS ID
//     first, once the file ROOT/go exists, finishes the renewal waiting in DIR/renewal/ with the
//     answer DIR/t_answer.txt (every worker is fed the same one); then, until SECONDS have
//     passed, generates keys into DIR/keygen/, installs and removes the certificate DIR/carol.crt,
//     installs the transfer DIR/t_bob.txt and starts renewals in DIR/renewal_ID/.
//   ccom_share_child verifier ROOT DIR SECONDS
//     until SECONDS have passed, signs and verifies as the key set's user, verifies a signature
//     of bob's, and empties the key-file cache, so that every round reads the files again.
//
// Prints "key: value" lines: what succeeded, and every failure with its operation and code.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <thread>

#include "stop_walk_ops.h"

namespace {

using namespace vornak2::testing::stopwalk;
namespace fs = std::filesystem;

struct Tally {
  std::map<std::string, long> counts;
  void Failed(const char* what, std::int32_t code) {
    ++counts[std::string("failed ") + what + " " + std::to_string(code)];
  }
  void Print() const {
    for (const auto& [key, value] : counts) std::printf("%s: %ld\n", key.c_str(), value);
  }
};

int Worker(const std::string& root, const std::string& dir, double seconds, const std::string& id) {
  Engine e(root, dir);
  Tally tally;
  while (!fs::exists(root + "go")) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const std::int32_t finish =
      RemoteGenerateFinish(e.get(), ReadWhole(dir + "t_answer.txt").c_str());
  std::printf("finish: %d\n", static_cast<int>(finish));

  const std::string renewal = dir + "renewal_" + id + vornak2::platform::kPathSeparator;
  fs::create_directories(renewal);
  e.Set(13, "SX.7");  // keys for another subject: each new key takes number 0
  const std::string bob = ReadWhole(dir + "t_bob.txt");
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  for (long round = 0; std::chrono::steady_clock::now() < end; ++round) {
    if (const std::int32_t r = GenerateNewSSK(e.get()); r == 0)
      ++tally.counts["keys made"];
    else
      tally.Failed("GenerateNewSSK", r);
    const std::string drop = dir + "drop_" + id + "_" + std::to_string(round) + ".crt";
    fs::copy_file(dir + "carol.crt", drop);
    if (const std::int32_t r = IncludePublicKey(e.get(), drop.c_str()); r == 0)
      ++tally.counts["installed"];
    else
      tally.Failed("IncludePublicKey", r);
    // Another worker may have removed it first (-32: no such file).
    if (const std::int32_t r = RemoveCertificate(e.get(), "SC.3"); r == 0)
      ++tally.counts["removed"];
    else if (r != -32)
      tally.Failed("RemoveCertificate", r);
    if (const std::int32_t r = IncludePublicKeyTransfer(e.get(), bob.c_str()); r == 0)
      ++tally.counts["transfers installed"];
    else
      tally.Failed("IncludePublicKeyTransfer", r);
    SetRemoteGeneratePath(e.get(), renewal.c_str());
    std::string transfer(5129, '\0');
    if (const std::int32_t r = RemoteGenerateStart(e.get(), transfer.data()); r == 0)
      ++tally.counts["renewals started"];
    else
      tally.Failed("RemoteGenerateStart", r);
    SetRemoteGeneratePath(e.get(), (dir + Native("renewal/")).c_str());
  }
  tally.Print();
  return 0;
}

int Verifier(const std::string& root, const std::string& dir, double seconds) {
  Engine e(root, dir);
  Tally tally;
  const std::string bobSigned = ReadWhole(dir + "bob_signature.bin");
  const std::string text = "verified all the time";
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < end) {
    unsigned char signature[1024];
    std::int32_t length = 0;
    char signer[256] = {};
    if (const std::int32_t r = SignData(
            e.get(), text.data(), static_cast<std::int32_t>(text.size()), signature, &length, "");
        r != 0)
      tally.Failed("SignData", r);
    else if (const std::int32_t v =
                 VerifyData(e.get(), text.data(), static_cast<std::int32_t>(text.size()), signature,
                            length, signer);
             v != 0)
      tally.Failed("VerifyData own", v);
    else
      ++tally.counts["own signatures verified"];
    if (const std::int32_t v =
            VerifyData(e.get(), text.data(), static_cast<std::int32_t>(text.size()),
                       bobSigned.data(), static_cast<std::int32_t>(bobSigned.size()), signer);
        v != 0)
      tally.Failed("VerifyData bob", v);
    else
      ++tally.counts["bob's signatures verified"];
    ClearCash(e.get());
  }
  tally.Print();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 5 && std::string(argv[1]) == "worker" && argc == 6)
    return Worker(argv[2], argv[3], std::atof(argv[4]), argv[5]);
  if (argc == 5 && std::string(argv[1]) == "verifier")
    return Verifier(argv[2], argv[3], std::atof(argv[4]));
  std::fprintf(stderr,
               "usage: ccom_share_child worker ROOT DIR SECONDS ID | verifier ROOT DIR SECONDS\n");
  return 2;
}
