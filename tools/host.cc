// vornak2-host: loads libvornak2.so the way a host application does (at run time, by name) and
// drives it through its exported functions: signing, encryption and the engine's parameters on
// files, and an end-to-end demo with two users.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "host_api.h"
#include "host_commands.h"

namespace {

using namespace vornak2::host;

const std::vector<Command>& Commands() {
  static const std::vector<Command> commands = {
      {"sign",
       "--in FILE --out SIGFILE [--signer UID]",
       "sign FILE (SignData); the detached signature goes to SIGFILE",
       {"--in", "--out"},
       {"--signer"},
       {},
       0,
       0,
       true,
       SignCommand},
      {"verify",
       "--in FILE --sig SIGFILE [--no-validity]",
       "verify a detached signature (VerifyData, or VerifySignWOCheckValidity with\n"
       "--no-validity) and print the signer's UID",
       {"--in", "--sig"},
       {},
       {"--no-validity"},
       0,
       0,
       true,
       VerifyCommand},
      {"add-sign",
       "--in FILE --out FILE [--signer UID]",
       "append a signature to the data (AddSign)",
       {"--in", "--out"},
       {"--signer"},
       {},
       0,
       0,
       true,
       AddSignCommand},
      {"remove-sign",
       "--in FILE --out FILE",
       "verify an appended signature and cut it off (RemoveSign); print the signer",
       {"--in", "--out"},
       {},
       {},
       0,
       0,
       true,
       RemoveSignCommand},
      {"encrypt",
       "--in FILE --out FILE [--to UID[;UID...]]",
       "encrypt for one recipient or several (EncodeData); without --to, for the\n"
       "recipients of parameter 8",
       {"--in", "--out"},
       {"--to"},
       {},
       0,
       0,
       true,
       EncryptCommand},
      {"decrypt",
       "--in FILE --out FILE",
       "decrypt as the current user (DecodeData); the plaintext file is readable by\n"
       "its owner only",
       {"--in", "--out"},
       {},
       {},
       0,
       0,
       true,
       DecryptCommand},
      {"uid",
       "",
       "print the current user's UID (GetCurrentUserUID)",
       {},
       {},
       {},
       0,
       0,
       true,
       UidCommand},
      {"params",
       "",
       "list the parameters: number, name, value, kind and hint",
       {},
       {},
       {},
       0,
       0,
       true,
       ParamsCommand},
      {"get-param", "N", "print parameter N", {}, {}, {}, 1, 1, true, GetParamCommand},
      {"set-param",
       "N=VALUE",
       "set parameter N and show it (kept for this invocation only)",
       {},
       {},
       {},
       1,
       1,
       true,
       SetParamCommand},
      {"message",
       "CODE",
       "print the message of a result code (GetCryptoErrorString)",
       {},
       {},
       {},
       1,
       1,
       false,
       MessageCommand},
      {"demo",
       "[ROOT]",
       "lay out an authority, its operator (OP.1) and two users (alice H.1, bob H.2)\n"
       "in ROOT or a temporary directory, exchange their certificates through\n"
       "transfers, then sign, verify, encrypt and decrypt between them",
       {},
       {},
       {},
       0,
       1,
       false,
       DemoCommand},
  };
  static const std::vector<Command> all =
      WithCommands(WithCommands(commands, StoreCommands()), RenewalCommands());
  return all;
}

void Usage(std::FILE* out) {
  std::fprintf(out, "usage: vornak2-host COMMAND [OPTIONS]\n\ncommands:\n");
  for (const Command& c : Commands()) {
    std::fprintf(out, "  %s%s%s\n", c.name, *c.synopsis ? " " : "", c.synopsis);
    std::string summary = c.summary;
    for (std::size_t at = 0; (at = summary.find('\n', at)) != std::string::npos; at += 7)
      summary.replace(at, 1, "\n      ");
    std::fprintf(out, "      %s\n", summary.c_str());
  }
  std::fprintf(out,
               "\nengine options (every command but message and demo):\n"
               "  --root ROOT       the root directory (SetRootPath); %%QVXRoot%% in values\n"
               "                    stands for it\n"
               "  --param N=VALUE   set parameter N (SetCryptoParamValue); may be repeated\n"
               "  --user NAME       use the key set in ROOT/NAME/: sets parameters 2, 3, 7\n"
               "                    and 19 to %%QVXRoot%%/NAME/sec, /crt, /@rand, /self.crt\n"
               "Options apply in the order given; a later one wins.\n\n"
               "Exit status: 0 success, 1 a failed operation or file, 2 a command-line error.\n"
               "The library is looked up next to the tool (../lib/libvornak2.so) or in\n"
               "VORNAK2_LIBRARY.\n");
}

bool Contains(const std::vector<std::string>& list, const std::string& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

// Parses the arguments after the command's name; an explanation in `error` when they are wrong.
std::optional<Invocation> Parse(const Command& command, int argc, char** argv, int first,
                                std::string& error) {
  Invocation call;
  for (int i = first; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
      call.args.push_back(arg);
      continue;
    }
    const bool engineOption =
        command.engine && (arg == "--root" || arg == "--param" || arg == "--user");
    if (Contains(command.flags, arg)) {
      call.flags.insert(arg);
      continue;
    }
    if (!engineOption && !Contains(command.required, arg) && !Contains(command.optional, arg)) {
      error = std::string(command.name) + " has no option " + arg;
      return std::nullopt;
    }
    if (i + 1 >= argc) {
      error = arg + " needs a value";
      return std::nullopt;
    }
    const std::string value = argv[++i];
    if (arg == "--param") {
      const auto equals = value.find('=');
      std::int32_t number = 0;
      if (equals == std::string::npos || !ParseInt32(value.substr(0, equals), number)) {
        error = "--param takes N=VALUE, not " + value;
        return std::nullopt;
      }
      call.setup.params.emplace_back(number, value.substr(equals + 1));
    } else if (arg == "--user") {
      if (value.empty()) {
        error = "--user needs a name";
        return std::nullopt;
      }
      call.setup.AddUser(value);
    } else if (arg == "--root") {
      call.setup.root = value;
    } else if (!call.options.emplace(arg, value).second) {
      error = arg + " is given twice";
      return std::nullopt;
    }
  }
  for (const std::string& option : command.required) {
    if (call.Option(option).empty()) {
      error = std::string(command.name) + " needs " + option;
      return std::nullopt;
    }
  }
  if (call.args.size() < command.minArgs || call.args.size() > command.maxArgs) {
    error = std::string("usage: vornak2-host ") + command.name + " " + command.synopsis;
    return std::nullopt;
  }
  return call;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    Usage(stderr);
    return kExitUsage;
  }
  const std::string name = argv[1];
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0 || name == "help") {
      Usage(stdout);
      return kExitSuccess;
    }
  }
  const auto& commands = Commands();
  const auto command = std::find_if(commands.begin(), commands.end(),
                                    [&](const Command& c) { return name == c.name; });
  if (command == commands.end()) return UsageError("unknown command " + name);
  std::string error;
  const auto call = Parse(*command, argc, argv, 2, error);
  if (!call) return UsageError(error);

  const Library library(DefaultLibraryPath());
  if (!library.ok()) {
    std::fprintf(stderr, "vornak2-host: %s\n", library.error().c_str());
    return kExitFailed;
  }
  try {
    const int exit = command->run(library, *call);
    std::fflush(stdout);
    return exit;
  } catch (const std::exception& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "vornak2-host: %s\n", e.what());
    return kExitFailed;
  }
}
