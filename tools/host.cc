// vornak2-host: loads libvornak2.so the way a host application does (at run time, by name) and
// drives it through its exported functions: signing, encryption and the engine's parameters on
// files, and an end-to-end demo with two users.
//
// A command is one entry of the table below (its name, synopsis, one-line summary, the text of
// its --help, its options) and one function of host_commands.h that runs it.
#include <getopt.h>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "host_api.h"
#include "host_commands.h"
#include "host_io.h"
#include "platform/platform.h"

namespace {

using namespace vornak2::host;

const std::vector<Command>& Commands() {
  static const std::vector<Command> commands = {
      {.name = "sign",
       .synopsis = "--in FILE --out SIGFILE [--signer UID]",
       .summary = "sign a file; the detached signature goes to SIGFILE",
       .help = "Signs FILE as the current user (SignData) and writes the detached signature to\n"
               "SIGFILE. --signer may name the current user's UID; this engine signs with the\n"
               "current user's key only.\n"
               "--json fields: in, in_bytes, out, out_bytes.\n",
       .required = {"--in", "--out"},
       .optional = {"--signer"},
       .run = SignCommand},
      {.name = "verify",
       .synopsis = "--in FILE --sig SIGFILE [--signer UID] [--no-validity]",
       .summary = "verify a detached signature and print the signer",
       .help = "Verifies the detached signature SIGFILE of FILE (VerifyData) and prints the\n"
               "signer's UID (\"signer: UID\" on standard output). The signer's certificate\n"
               "must be in the certificate store; its validity and its authority's signature\n"
               "are checked too, unless --no-validity asks for the signature alone\n"
               "(VerifySignWOCheckValidity). With --signer UID, a signature that holds but was\n"
               "made by anyone else is the data's answer no: exit status 3.\n"
               "--json fields: in, in_bytes, sig, signer, signer_expected.\n",
       .required = {"--in", "--sig"},
       .optional = {"--signer"},
       .flags = {"--no-validity"},
       .run = VerifyCommand},
      {.name = "add-sign",
       .synopsis = "--in FILE --out FILE [--signer UID]",
       .summary = "append a signature to the data",
       .help = "Appends the current user's signature to the data of --in (AddSign) and writes\n"
               "the signed data to --out.\n"
               "--json fields: in, in_bytes, out, out_bytes.\n",
       .required = {"--in", "--out"},
       .optional = {"--signer"},
       .run = AddSignCommand},
      {.name = "remove-sign",
       .synopsis = "--in FILE --out FILE",
       .summary = "verify an appended signature, cut it off, print the signer",
       .help = "Verifies the signature appended to the data of --in, cuts it off (RemoveSign),\n"
               "writes the data to --out and prints the signer's UID (\"signer: UID\"; on\n"
               "standard error when the data goes to standard output).\n"
               "--json fields: in, in_bytes, signer, out, out_bytes.\n",
       .required = {"--in", "--out"},
       .run = RemoveSignCommand},
      {.name = "encrypt",
       .synopsis = "--in FILE --out FILE [--to UID[;UID...]]...",
       .summary = "encrypt for one recipient or several",
       .help = "Encrypts --in (EncodeData) for the recipients that --to names (UIDs separated\n"
               "by \";\", or --to given once for each), or without --to for those of parameter\n"
               "8 (Encrypt for UID): with --user NAME, NAME's own UID. Each recipient's\n"
               "certificate must be in the certificate store (list-certs shows them). One\n"
               "recipient gets one encrypted block; several get a container that each of them\n"
               "can open.\n"
               "--json fields: to, in, in_bytes, out, out_bytes.\n",
       .required = {"--in", "--out"},
       .optional = {"--to"},
       .repeatable = {"--to"},
       .run = EncryptCommand},
      {.name = "decrypt",
       .synopsis = "--in FILE --out FILE",
       .summary = "decrypt as the current user",
       .help = "Decrypts --in as the current user (DecodeData) and writes the plaintext to\n"
               "--out, a file readable by its owner only.\n"
               "--json fields: in, in_bytes, out, out_bytes.\n",
       .required = {"--in", "--out"},
       .run = DecryptCommand},
      {.name = "uid",
       .synopsis = "",
       .summary = "print the current user's UID and the user's files",
       .help = "Prints the current user's UID, read from the user's certificate\n"
               "(GetCurrentUserUID), and the certificate, secret-key directory, certificate\n"
               "store and random-state file the engine uses, with %QVXRoot% expanded.\n"
               "--json fields: uid, certificate, secret_keys, store, random_file.\n",
       .run = UidCommand},
      {.name = "params",
       .synopsis = "",
       .summary = "list the parameters and where each value comes from",
       .help = "Lists the engine's parameters: number, name, value, kind and hint, and where\n"
               "the value comes from: the engine's default, a configuration file and its line,\n"
               "--user or --param.\n"
               "--json fields: parameters, a list of {number, name, value, kind, hint, origin}.\n",
       .needsKeySet = false,
       .run = ParamsCommand},
      {.name = "get-param",
       .synopsis = "N",
       .summary = "print one parameter",
       .help = "Prints parameter N (its number, or its name as params shows it) as params does.\n"
               "--json fields: number, name, value, kind, hint, origin.\n",
       .minArgs = 1,
       .maxArgs = 1,
       .needsKeySet = false,
       .run = GetParamCommand},
      {.name = "set-param",
       .synopsis = "N=VALUE",
       .summary = "set a parameter and keep it in the configuration file",
       .help = "Sets parameter N (its number, or its name as params shows it) and keeps the\n"
               "value: it goes into ROOT/.vornak2-host/users/NAME.conf with --user NAME,\n"
               "otherwise into ROOT/.vornak2-host/root.conf, and every later command with that\n"
               "--root (and --user) reads it. The directory is the tool's own: a value that\n"
               "would let the engine write transfers there (parameters 2, 3 and 15) is refused.\n"
               "The file is replaced whole, so that it holds the old lines or the new ones\n"
               "whenever it is read. For example, to encrypt for alice and bob by default:\n"
               "  vornak2-host set-param --root ROOT --user alice '8=H.1;H.2'\n"
               "--json fields: number, name, value, file.\n",
       .minArgs = 1,
       .maxArgs = 1,
       .needsKeySet = false,
       .run = SetParamCommand},
      {.name = "unset-param",
       .synopsis = "N",
       .summary = "forget a kept parameter value",
       .help = "Removes parameter N from the configuration file that set-param writes, so that\n"
               "it comes from the root's file or the engine's default again.\n"
               "--json fields: number, name, file, removed (true or false).\n",
       .minArgs = 1,
       .maxArgs = 1,
       .needsKeySet = false,
       .run = UnsetParamCommand},
      {.name = "message",
       .synopsis = "CODE",
       .summary = "print the message of a result code and what it means",
       .help = "Prints the engine's message for a result code (GetCryptoErrorString) in the\n"
               "terminal's encoding, and a line on what the code means and what to try.\n"
               "--json fields: result_code, message, hint.\n",
       .minArgs = 1,
       .maxArgs = 1,
       .engine = false,
       .run = MessageCommand},
      {.name = "demo",
       .synopsis = "[--force|--keep-keys] [--lay-out-only] [ROOT]",
       .summary = "the whole life of a key between an operator and two users",
       .help = "Lays out a deployment in ROOT (in a temporary directory, removed afterwards,\n"
               "when ROOT is not given): libcc.so in ROOT/EXE/, an authority CA.1 in ROOT/ca/\n"
               "(its next key in ROOT/ca-1/), and for its operator (OP.1), alice (H.1) and bob\n"
               "(H.2) a key pair and the certificate the authority issued for it. Each party's\n"
               "engine sets up its directories (CreateDirStructure); trust starts from the\n"
               "operator's certificate, every other certificate travels as a transfer, its\n"
               "report read first. Then alice and bob sign, verify, append and remove a\n"
               "signature, encrypt and decrypt; a removed certificate is refused. Last, alice\n"
               "renews her key under a new UID (H.10) through the authority and bob verifies\n"
               "her new and her old signatures. Every step is printed; it exits with 0 only\n"
               "when all succeed. The root then serves the other commands, for example:\n"
               "  vornak2-host encrypt --root ROOT --user alice --in FILE --out FILE.enc\n"
               "With --lay-out-only it stops once the deployment is laid out. With --keep-keys,\n"
               "what the authority already delivered in ROOT (a party's certificate in\n"
               "ROOT/delivery/ and its ROOT/NAME/@rand) is kept; only missing parties are made.\n"
               "A ROOT that is not empty is refused unless --keep-keys or --force (make every\n"
               "party's keys anew) is given. Its story goes to standard output.\n"
               "--json fields: root (empty for a temporary one), steps, failed.\n",
       .flags = {"--keep-keys", "--lay-out-only", "--force"},
       .maxArgs = 1,
       .engine = false,
       .narrates = true,
       .run = DemoCommand},
  };
  static const std::vector<Command> all = WithCommands(
      WithCommands(WithCommands(WithCommands(commands, StoreCommands()), FirstKeyCommands()),
                   RenewalCommands()),
      CrlCommands());
  return all;
}

constexpr const char* kEngineOptions =
    "engine options:\n"
    "  --root ROOT       the root directory (SetRootPath): %QVXRoot% in parameter values\n"
    "                    stands for it; ROOT/.vornak2-host/root.conf keeps values for every\n"
    "                    user\n"
    "  --user NAME       use the key set in ROOT/NAME/: parameters 2, 3, 7 and 19 point into\n"
    "                    it, 4 (User Id) and 8 (Encrypt for UID) become the UID of its\n"
    "                    certificate, and ROOT/.vornak2-host/users/NAME.conf applies\n"
    "  --param N=VALUE   set parameter N for this command only; may be repeated\n"
    "Values apply in this order, a later one winning: the engine's defaults,\n"
    "ROOT/.vornak2-host/root.conf, then the options in the order given. set-param keeps a\n"
    "value. A command whose engine would write transfers into ROOT/.vornak2-host/ (through\n"
    "parameter 2, 3 or 15) is refused; a file vornak2-host.conf in ROOT/ or ROOT/NAME/ is\n"
    "not read.\n";

void Usage(std::FILE* out) {
  std::fprintf(out,
               "usage: vornak2-host COMMAND [OPTIONS]\n"
               "       vornak2-host COMMAND --help    the command's own help\n"
               "       vornak2-host help --all        the help of every command\n"
               "       vornak2-host --version\n"
               "       vornak2-host completion bash   the bash completion script\n\ncommands:\n");
  for (const Command& c : Commands()) std::fprintf(out, "  %-17s %s\n", c.name, c.summary);
  std::fprintf(out,
               "\n%s\n"
               "The library is the file VORNAK2_LIBRARY names, else libvornak2.so beside the tool\n"
               "(../lib/ in the build tree, the library directory of an installed tree), else\n"
               "libvornak2.so.0 through the loader's search. Failures print the result code, the\n"
               "engine's message and what to try.\n\n"
               "output: a command's result (a signer, a report, a listing, the data) goes to\n"
               "standard output, its status text (what it does, the library's result codes,\n"
               "the files it wrote) to standard error.\n"
               "options of every command:\n"
               "  -q, --quiet       no status text; results and failures are still printed\n"
               "  --json            the result as one JSON line instead, no status text: fields\n"
               "                    command, exit, code (the library's result code of a failed\n"
               "                    call), the command's own (its --help lists them), and\n"
               "                    call, message or error when it failed\n"
               "  --opt=value is the same as --opt value; \"-\" as a file is standard input or\n"
               "  output\n"
               "An interrupted command (Ctrl-C, SIGTERM, SIGHUP) removes its partial output; an\n"
               "existing file of that name is kept.\n\n"
               "environment: VORNAK2_ROOT and VORNAK2_USER stand for --root and --user when\n"
               "those are not given (a command on a key set without either is refused);\n"
               "VORNAK2_LIBRARY names the library to load.\n\n"
               "exit status: 0 success; 1 a failed operation, file or library; 2 a command-line\n"
               "error; 3 the data's answer is no: a signature that does not hold or whose\n"
               "signer's certificate is not valid, data not encrypted for the current user.\n",
               kEngineOptions);
}

void CommandHelp(std::FILE* out, const Command& c) {
  std::fprintf(out, "usage: vornak2-host %s%s%s%s\n\n%s", c.name, *c.synopsis ? " " : "",
               c.synopsis, c.engine ? " [ENGINE OPTIONS]" : "", c.help);
  const auto takes = [&](const char* option) {
    return std::find(c.required.begin(), c.required.end(), option) != c.required.end() ||
           std::find(c.optional.begin(), c.optional.end(), option) != c.optional.end();
  };
  if (takes("--in") || takes("--out"))
    std::fprintf(out, "A file given as - is standard input or output.\n");
  std::fprintf(out,
               "The result goes to standard output, status text to standard error. -q (--quiet):\n"
               "no status text; --json: the result as one JSON line (command, exit, code and\n"
               "the fields above; call, message or error after a failure).\n");
  if (c.engine) std::fprintf(out, "\n%s", kEngineOptions);
}

const Command* FindCommand(const std::string& name) {
  const auto& commands = Commands();
  const auto it = std::find_if(commands.begin(), commands.end(),
                               [&](const Command& c) { return name == c.name; });
  return it == commands.end() ? nullptr : &*it;
}

// help, help --all, help COMMAND.
int Help(int argc, char** argv) {
  if (argc < 3) {
    Usage(stdout);
    return kExitSuccess;
  }
  const std::string topic = argv[2];
  if (topic == "--all") {
    Usage(stdout);
    for (const Command& c : Commands()) {
      std::printf("\n%s\n", std::string(72, '-').c_str());
      CommandHelp(stdout, c);
    }
    return kExitSuccess;
  }
  const Command* command = FindCommand(topic);
  if (command == nullptr) return UsageError("no command " + topic);
  CommandHelp(stdout, *command);
  return kExitSuccess;
}

// The bash completion of the tool, made from the command table so that the two never disagree:
// command names, each command's options, files or directories where an option takes one, the
// user names of the root (its directories with a self.crt) for --user, and the UIDs of the
// user's certificate store (from list-certs) where a UID is asked for.
int Completion(int argc, char** argv) {
  if (argc != 3 || std::strcmp(argv[2], "bash") != 0)
    return UsageError("usage: vornak2-host completion bash");
  const auto kind = [](const std::string& option) {
    if (option == "--root" || option == "--dir") return 'd';
    if (option == "--in" || option == "--out" || option == "--sig" || option == "--with")
      return 'f';
    if (option == "--to" || option == "--signer" || option == "--uid" || option == "--subject")
      return 'u';
    return 'n';
  };
  std::string names;
  std::string cases;
  std::string uidCommands;
  std::set<std::string> files, dirs, uids, values;
  for (const Command& c : Commands()) {
    names += std::string(names.empty() ? "" : " ") + c.name;
    std::string options = "--help --quiet --json";
    for (const auto* list : {&c.required, &c.optional, &c.flags}) {
      for (const std::string& o : *list) options += " " + o;
    }
    if (c.engine) options += " --root --user --param";
    cases += std::string("    ") + c.name + ") options=\"" + options + "\" ;;\n";
    for (const auto* list : {&c.required, &c.optional}) {
      for (const std::string& o : *list) {
        const char k = kind(o);
        (k == 'f' ? files : k == 'd' ? dirs : k == 'u' ? uids : values).insert(o);
      }
    }
    // A command whose argument is a UID of the store.
    const std::string_view synopsis = c.synopsis;
    if (synopsis.starts_with("UID") || synopsis.starts_with("[UID"))
      uidCommands += std::string(uidCommands.empty() ? "" : "|") + c.name;
  }
  dirs.insert("--root");
  values.insert("--param");
  const auto alternatives = [](const std::set<std::string>& set) {
    std::string out;
    for (const auto& o : set) out += (out.empty() ? "" : "|") + o;
    return out;
  };
  std::printf(
      "# bash completion for vornak2-host; made by `vornak2-host completion bash`\n"
      "# The value of option $1 on the command line so far (--opt value or --opt=value).\n"
      "_vornak2_host_option() {\n"
      "  local i\n"
      "  for ((i = 1; i < COMP_CWORD; i++)); do\n"
      "    if [ \"${COMP_WORDS[i]}\" = \"$1\" ]; then\n"
      "      [ \"${COMP_WORDS[i+1]}\" = = ] && i=$((i + 1))\n"
      "      printf '%%s\\n' \"${COMP_WORDS[i+1]}\"\n"
      "      return\n"
      "    fi\n"
      "  done\n"
      "}\n"
      "# The users of the root: its directories that hold a certificate.\n"
      "_vornak2_host_users() {\n"
      "  local root dir\n"
      "  root=$(_vornak2_host_option --root)\n"
      "  root=${root:-$VORNAK2_ROOT}\n"
      "  [ -n \"$root\" ] || return\n"
      "  for dir in \"$root\"/*/; do\n"
      "    [ -f \"${dir}self.crt\" ] && basename \"$dir\"\n"
      "  done\n"
      "}\n"
      "# The UIDs of the user's certificate store.\n"
      "_vornak2_host_uids() {\n"
      "  local root user\n"
      "  root=$(_vornak2_host_option --root)\n"
      "  user=$(_vornak2_host_option --user)\n"
      "  \"${COMP_WORDS[0]}\" list-certs -q ${root:+--root \"$root\"} ${user:+--user \"$user\"} "
      "\\\n"
      "    2>/dev/null | cut -d ' ' -f 1\n"
      "}\n"
      "_vornak2_host() {\n"
      "  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]} options\n"
      "  if [ \"$COMP_CWORD\" -eq 1 ]; then\n"
      "    COMPREPLY=($(compgen -W \"%s\" -- \"$cur\"))\n"
      "    return\n"
      "  fi\n"
      "  # --opt=value: the word after \"=\" is the value of the option before it.\n"
      "  if [ \"$prev\" = = ] && [ \"$COMP_CWORD\" -gt 2 ]; then\n"
      "    prev=${COMP_WORDS[COMP_CWORD-2]}\n"
      "  elif [ \"$cur\" = = ]; then\n"
      "    cur=\n"
      "  fi\n"
      "  case $prev in\n"
      "    %s) COMPREPLY=($(compgen -f -- \"$cur\")); return ;;\n"
      "    %s) COMPREPLY=($(compgen -d -- \"$cur\")); return ;;\n"
      "    --user) COMPREPLY=($(compgen -W \"$(_vornak2_host_users)\" -- \"$cur\")); return ;;\n"
      "    %s) COMPREPLY=($(compgen -W \"$(_vornak2_host_uids)\" -- \"$cur\")); return ;;\n"
      "    %s) return ;;\n"
      "  esac\n"
      "  case ${COMP_WORDS[1]} in\n"
      "%s"
      "    help) COMPREPLY=($(compgen -W \"--all %s\" -- \"$cur\")); return ;;\n"
      "    *) return ;;\n"
      "  esac\n"
      "  if [[ $cur == -* ]]; then\n"
      "    COMPREPLY=($(compgen -W \"$options\" -- \"$cur\"))\n"
      "  else\n"
      "    case ${COMP_WORDS[1]} in\n"
      "      %s) COMPREPLY=($(compgen -W \"$(_vornak2_host_uids)\" -- \"$cur\")) ;;\n"
      "      *) COMPREPLY=($(compgen -f -- \"$cur\")) ;;\n"
      "    esac\n"
      "  fi\n"
      "}\n"
      "complete -o filenames -F _vornak2_host vornak2-host\n",
      ("help completion --help --version " + names).c_str(), alternatives(files).c_str(),
      alternatives(dirs).c_str(), alternatives(uids).c_str(), alternatives(values).c_str(),
      cases.c_str(), names.c_str(), uidCommands.c_str());
  return kExitSuccess;
}

int Version() {
  std::printf("vornak2-host %s\n", VORNAK2_VERSION);
  const Library library(DefaultLibraryPath());
  std::printf("library: %s\n", library.ok() ? library.path().c_str() : library.error().c_str());
  return kExitSuccess;
}

// Options every command takes.
const std::vector<std::string> kGlobalFlags = {"--quiet", "--json"};
const std::vector<std::string> kEngineValueOptions = {"--root", "--user", "--param"};

// A positional argument that looks like an option: a negative number ("message -65"). It is
// marked before getopt_long sees it, so that it stays a positional argument.
constexpr char kPositionalMark = '\x01';
bool LooksNegative(const char* arg) {
  return arg[0] == '-' && arg[1] >= '0' && arg[1] <= '9';
}

// Parses the arguments after the command's name with getopt_long: "--opt value" and
// "--opt=value", "-q" for --quiet, positional arguments anywhere, "--" before positional ones
// that start with "-". An explanation in `error` when they are wrong.
std::optional<Invocation> Parse(const Command& command, int argc, char** argv, int first,
                                std::string& error) {
  // The option table: the command's options with a value, the engine's, then the flags.
  std::vector<std::string> names;
  std::vector<bool> takesValue;
  const auto add = [&](const std::vector<std::string>& list, bool value) {
    for (const auto& name : list) {
      names.push_back(name);
      takesValue.push_back(value);
    }
  };
  add(command.required, true);
  add(command.optional, true);
  if (command.engine) add(kEngineValueOptions, true);
  add(command.flags, false);
  add(kGlobalFlags, false);
  std::vector<option> table;
  for (std::size_t i = 0; i < names.size(); ++i)
    table.push_back({names[i].c_str() + 2, takesValue[i] ? required_argument : no_argument, nullptr,
                     static_cast<int>(256 + i)});
  table.push_back({nullptr, 0, nullptr, 0});

  // getopt_long sees the program's name and the arguments after the command's name.
  std::vector<std::string> held;
  held.reserve(static_cast<std::size_t>(argc));
  held.push_back(argv[0]);
  for (int i = first; i < argc; ++i)
    held.push_back(LooksNegative(argv[i]) ? kPositionalMark + std::string(argv[i]) : argv[i]);
  std::vector<char*> args;
  for (auto& a : held) args.push_back(a.data());
  args.push_back(nullptr);

  Invocation call;
  call.command = command.name;
  call.setup.certificateMayBeMissing = command.installsCertificate;
  call.setup.needsKeySet = command.engine && command.needsKeySet;
  bool userGiven = false;
  opterr = 0;
  optind = 0;  // a fresh scan
  const int count = static_cast<int>(args.size()) - 1;
  for (;;) {
    const int previous = optind;
    const int got = getopt_long(count, args.data(), "-:q", table.data(), nullptr);
    if (got == -1) break;
    if (got == 1) {
      std::string arg = optarg;
      if (!arg.empty() && arg[0] == kPositionalMark) arg.erase(0, 1);
      call.args.push_back(arg);
      continue;
    }
    if (got == 'q') {
      call.flags.insert("--quiet");
      continue;
    }
    if (got == '?' || got == ':') {
      // The option as given, without a value joined to it.
      std::string given = optopt >= 256 && optopt < 256 + static_cast<int>(names.size())
                              ? names[static_cast<std::size_t>(optopt - 256)]
                              : std::string(args[std::max(previous, optind - 1)]);
      if (const auto equals = given.find('='); equals != std::string::npos) given.resize(equals);
      if (got == ':') {
        error = given + " needs a value";
      } else if (optopt != 0 && optopt < 256) {
        error = std::string(command.name) + " has no option -" + static_cast<char>(optopt);
      } else {
        error = std::string(command.name) + " has no option " + given;
      }
      return std::nullopt;
    }
    const std::string& name = names[static_cast<std::size_t>(got - 256)];
    if (!takesValue[static_cast<std::size_t>(got - 256)]) {
      call.flags.insert(name);
      continue;
    }
    std::string value = optarg;
    if (!value.empty() && value[0] == kPositionalMark) value.erase(0, 1);
    if (name == "--param") {
      const auto equals = value.find('=');
      std::int32_t number = 0;
      if (equals == std::string::npos || !ParseInt32(value.substr(0, equals), number)) {
        error = "--param takes N=VALUE, not " + value;
        return std::nullopt;
      }
      call.setup.AddParam(number, value.substr(equals + 1));
    } else if (name == "--user") {
      if (value.empty()) {
        error = "--user needs a name";
        return std::nullopt;
      }
      if (!IsUserName(value)) {
        error = "--user takes the name of a key set's directory in ROOT, not a path: " + value;
        return std::nullopt;
      }
      call.setup.AddUser(value);
      userGiven = true;
    } else if (name == "--root") {
      if (value.empty()) {
        error = "--root needs a directory";
        return std::nullopt;
      }
      // Absolute, so that the paths the tool shows are whole.
      call.setup.root = std::filesystem::absolute(value).lexically_normal().string();
    } else if (const auto [at, added] = call.options.emplace(name, value); !added) {
      if (std::find(command.repeatable.begin(), command.repeatable.end(), name) ==
          command.repeatable.end()) {
        error = name + " is given twice";
        return std::nullopt;
      }
      at->second += ";" + value;
    }
  }
  if (command.engine) {
    // The environment's defaults, under everything the command line gives.
    const auto root = vornak2::platform::GetEnv("VORNAK2_ROOT");
    if (!call.setup.root && root && !root->empty())
      call.setup.root = std::filesystem::absolute(*root).lexically_normal().string();
    const auto user = vornak2::platform::GetEnv("VORNAK2_USER");
    if (!userGiven && user && !user->empty()) {
      if (!IsUserName(*user)) {
        error =
            "VORNAK2_USER takes the name of a key set's directory in ROOT, not a path: " + *user;
        return std::nullopt;
      }
      call.setup.steps.insert(call.setup.steps.begin(), EngineSetup::Step{*user, 0, {}});
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

// Whether the command writes its data to standard output: then its status text goes to standard
// error.
bool DataOnStdout(const Invocation& call) {
  return call.Option("--out") == "-";
}

}  // namespace

int main(int argc, char** argv) {
  StartConsoleOutput();
  if (argc < 2) {
    Usage(stderr);
    return kExitUsage;
  }
  const std::string name = argv[1];
  if (name == "--help" || name == "-h" || name == "help") return Help(argc, argv);
  if (name == "--version" || name == "version") return Version();
  if (name == "completion") return Completion(argc, argv);
  const Command* command = FindCommand(name);
  if (command == nullptr) return UsageError("unknown command " + name);
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      CommandHelp(stdout, *command);
      return kExitSuccess;
    }
  }
  std::string error;
  const auto call = Parse(*command, argc, argv, 2, error);
  if (!call) {
    const int exit = UsageError(error);
    // A script that asked for the JSON line gets one, also for a command line it got wrong.
    for (int i = 2; i < argc; ++i)
      if (std::strcmp(argv[i], "--json") == 0) Result::Print(name, exit);
    return exit;
  }
  SetUpStreams({.quiet = call->Flag("--quiet"),
                .json = call->Flag("--json"),
                .dataOnStdout = DataOnStdout(*call),
                .narrates = command->narrates});
  InstallInterruptHandlers();
#ifdef VORNAK2_FAULT_HOOKS
  // Test builds: the tool's own writes counted, and the process stopped at the Nth, as a crash
  // or a power cut would stop it (the stop walk of the configuration writes).
  if (const auto stop = vornak2::platform::GetEnv("VORNAK2_HOST_STOP_AT")) {
    std::int32_t nth = 0;
    if (ParseInt32(*stop, nth) && nth > 0)
      vornak2::platform::InjectFileFault(static_cast<std::uint64_t>(nth), 0);
  }
#endif

  int exit = kExitFailed;
  const Library library(DefaultLibraryPath());
  if (!library.ok()) {
    FileFailure(library.error());
  } else {
    try {
      exit = command->run(library, *call);
    } catch (const std::exception& e) {
      exit = FileFailure(e.what());
    }
  }
  std::fflush(stdout);
  if (JsonResults()) Result::Print(name, exit);
  return exit;
}
