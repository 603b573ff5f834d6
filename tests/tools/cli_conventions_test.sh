#!/usr/bin/env bash
# The host tool's command-line conventions, as a shell script uses them: "-" for standard input
# and output (status text then on standard error), --opt=value, --quiet, the --json result line,
# the exit codes (0, 1 failure, 2 usage, 3 the data's answer is no), VORNAK2_ROOT and
# VORNAK2_USER as defaults, demo refusing a root in use, and the generated bash completion (the
# commands, their options, the root's users and the store's UIDs).
#   cli_conventions_test.sh HOST_TOOL
set -uo pipefail
umask 022

host=$1
scratch=$(mktemp -d "${TMPDIR:-/tmp}/cli_conventions.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
cd "$scratch" || exit 1
failures=0
checks=0

fail() {
  echo "FAILED: $*" >&2
  failures=$((failures + 1))
}

# expect EXIT DESCRIPTION -- COMMAND...: runs the command with stdout in out, stderr in err.
expect() {
  local want=$1 what=$2
  shift 3
  checks=$((checks + 1))
  "$@" >out 2>err
  local got=$?
  [ "$got" -eq "$want" ] || fail "$what: exit $got, not $want; stderr: $(head -c 2000 err)"
}

# contains FILE TEXT DESCRIPTION
contains() {
  checks=$((checks + 1))
  grep -qF -- "$2" "$1" || fail "$3: '$2' not in $1: $(head -c 2000 "$1")"
}

"$host" demo root >demo.log 2>&1 || { cat demo.log; exit 1; }
export VORNAK2_ROOT=$scratch/root VORNAK2_USER=alice
printf 'Payment order 18\n' >m.txt
printf 'Payment order 19\n' >altered.txt
head -c 3000000 /dev/urandom >big.bin  # larger than the first buffer a pipe is read into

# Standard input and output, with the status text on standard error.
expect 0 "sign - to -" -- sh -c "cat m.txt | '$host' sign --in - --out - >m.sig"
checks=$((checks + 1))
[ -s m.sig ] && ! grep -q "SignData" m.sig || fail "the signature on stdout holds status text"
contains err "SignData -> 0" "sign's status on stderr"
expect 0 "verify with --opt=value, user from --user over VORNAK2_USER" -- \
  "$host" verify --in=m.txt --sig=m.sig --user=bob
contains out "signer: H.10" "verify names the signer"
expect 0 "encrypt a pipe for two" -- \
  sh -c "cat big.bin | '$host' encrypt --to 'H.10;H.2' --in - --out - >big.enc"
expect 0 "decrypt from a pipe to a pipe" -- \
  sh -c "cat big.enc | '$host' decrypt --user bob --in - --out - | cmp - big.bin"
# Files: made in place; the plaintext readable by its owner only, other outputs as umask says.
expect 0 "encrypt a file" -- "$host" encrypt --to H.2 --in big.bin --out big.file.enc
expect 0 "decrypt a file" -- "$host" decrypt --user bob --in big.file.enc --out big.file.dec
checks=$((checks + 1))
cmp -s big.bin big.file.dec && [ "$(stat -c %a big.file.enc big.file.dec | tr '\n' ' ')" = "644 600 " ] ||
  fail "file outputs: $(stat -c '%n %a %s' big.file.enc big.file.dec)"

# The data's answer is no: exit 3; --quiet says nothing on stdout, the reason on stderr.
expect 3 "altered data" -- "$host" verify --quiet --user bob --in altered.txt --sig m.sig
checks=$((checks + 1))
[ ! -s out ] || fail "--quiet printed: $(cat out)"
contains err "VerifyData -> -65" "a bad signature is explained on stderr"
expect 3 "not a recipient" -- "$host" decrypt -q --user operator --in big.enc --out dec.bin
checks=$((checks + 1))
[ ! -e dec.bin ] && [ -z "$(ls | grep -F .part)" ] || fail "a failed decryption left a file: $(ls)"

# Usage errors: 2. Failures of files or the library: 1, the output's place checked first.
expect 2 "unknown option" -- "$host" sign --in m.txt --out x --frob
expect 2 "value missing" -- "$host" verify --in m.txt --sig
contains err "--sig needs a value" "the missing value is named"
expect 2 "unknown command" -- "$host" sing
expect 2 "a value with a line break" -- "$host" set-param "$(printf '11=No\n15=/tmp')"
checks=$((checks + 1))
! grep -rqs "15" root/.vornak2-host ||
  fail "a line break in a value wrote a line of its own"
expect 1 "missing input" -- "$host" sign --in missing.txt --out x.sig
contains err "cannot read missing.txt" "the missing input is named"
expect 1 "output in a missing directory" -- "$host" sign --in m.txt --out nowhere/x.sig
contains err "the directory nowhere does not exist" "the missing directory is named"
checks=$((checks + 1))
! grep -q "SignData" out err || fail "the library was called before the output was checked"
expect 1 "a recipient without a certificate" -- \
  "$host" encrypt --to 'H.2;H.77' --in m.txt --out m.enc
contains err ": H.77" "the missing recipient is named"
expect 1 "a report without a renewal directory" -- "$host" report --dir "$scratch/nowhere"
contains err "the renewal directory $scratch/nowhere: does not exist" "the directory is named"

# One JSON line per result: on stdout, or on stderr when the data takes stdout.
expect 0 "--json" -- "$host" verify --json --user bob --in m.txt --sig m.sig
checks=$((checks + 1))
[ "$(cat out)" = '{"command":"verify","exit":0,"code":0,"in":"m.txt","in_bytes":17,"sig":"m.sig","signer":"H.10"}' ] ||
  fail "verify --json: $(cat out)"
expect 3 "--json of a rejection" -- "$host" verify --json --user bob --in altered.txt --sig m.sig
contains out '"command":"verify","exit":3,"code":-65' "the rejection's JSON line"
expect 0 "--json with data on stdout" -- "$host" encrypt --json --to H.2 --in m.txt --out -
contains err '"command":"encrypt","exit":0,"code":0,"to":"H.2","in":"m.txt","in_bytes":17,"out":"-"' \
  "the JSON line goes to stderr"

# The environment's root is a default only; a user without a certificate can set up directories.
expect 1 "--root over VORNAK2_ROOT" -- "$host" uid --root "$scratch/elsewhere"
expect 0 "create-dirs for a new user" -- \
  "$host" create-dirs --user dave "$scratch/root/delivery/bob.crt"
expect 0 "the new user's certificate" -- "$host" uid --user dave --json
contains out '"uid":"H.2"' "dave's certificate is the one installed"

# demo keeps a root in use unless told otherwise.
checksum=$(cat root/alice/self.crt | cksum)
expect 1 "demo on a root in use" -- "$host" demo root
contains err "is not empty" "the refusal says why"
checks=$((checks + 1))
[ "$(cat root/alice/self.crt | cksum)" = "$checksum" ] || fail "the refused demo changed the root"

# The completion script is valid bash and knows the commands and their options.
expect 0 "completion" -- "$host" completion bash
checks=$((checks + 1))
bash -n out || fail "the completion script is not valid bash"
contains out "encrypt) options=\"--help --quiet --json --in --out --to --root --user --param\"" \
  "encrypt's options are completed"
# It completes the root's users and the store's UIDs: COMP_WORDS as bash fills them.
cp out completion.bash
complete_words() {  # complete_words WORD...: the completions of the last (empty) word
  env -u VORNAK2_ROOT -u VORNAK2_USER bash -c 'source completion.bash; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _vornak2_host
           printf "%s\n" "${COMPREPLY[@]}"' completion "$@" | sort | tr '\n' ' '
}
# bash splits --root=DIR into --root, = and DIR.
for row in "uid --root $scratch/root --user|alice bob dave operator " \
  "uid --root = $scratch/root --user|alice bob dave operator " \
  "encrypt --root $scratch/root --user bob --to|H.1 H.10 OP.1 " \
  "remove-cert --root $scratch/root --user bob|H.1 H.10 OP.1 "; do
  checks=$((checks + 1))
  # shellcheck disable=SC2086
  got=$(complete_words "$host" ${row%%|*} "")
  [ "$got" = "${row#*|}" ] || fail "completion of '${row%%|*}': '$got', not '${row#*|}'"
done

echo "cli conventions: $((checks - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
