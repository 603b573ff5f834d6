#!/usr/bin/env bash
# A new user's first key, from nothing to a signature a peer verifies, with only vornak2-host and
# an authority: the README's section "Your own key", command for command, once with our test
# authority (vornak2-ca) and once with an authority made with OpenSSL and its GOST engine.
#   first_key_test.sh BINDIR [LIBCC]
# BINDIR holds vornak2-host and vornak2-ca; LIBCC, when given, is placed in ROOT/EXE/ (a build
# whose library has no libcc.so beside it). The OpenSSL half is skipped, saying so, where openssl
# has no GOST engine (Debian: openssl libengine-gost-openssl; scripts/deps installs them).
set -euo pipefail
umask 022
bindir=$(cd "$1" && pwd)
export PATH=$bindir:$PATH
scratch=$(mktemp -d "${TMPDIR:-/tmp}/first_key.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"

# One root per authority; each has a user "me" (H.3) and a peer (H.4).
walk() {  # walk NAME ISSUE: ISSUE REQUEST CERTIFICATE issues a certificate; the authority's is ca.crt
  local name=$1 issue=$2
  echo "== your own key, certified by $name"
  export VORNAK2_ROOT=$scratch/$name/root
  mkdir -p "$VORNAK2_ROOT"
  if [ -n "${LIBCC:-}" ]; then mkdir -p "$VORNAK2_ROOT/EXE" && cp "$LIBCC" "$VORNAK2_ROOT/EXE/"; fi
  cd "$scratch/$name"
  # README: the key pair and the request; the certificate; the key set; your own certificate in
  # your store.
  vornak2-host first-key --user me --uid H.3 --out me.pub
  $issue me.pub me.crt
  vornak2-host create-dirs --user me me.crt ca.crt
  vornak2-host install-cert --user me me.crt
  # The peer, made the same way.
  vornak2-host first-key -q --user peer --uid H.4 --out peer.pub
  $issue peer.pub peer.crt
  vornak2-host create-dirs -q --user peer peer.crt ca.crt
  # README: sign; the peer installs your certificate (you send it the file, or a transfer) and
  # verifies that you signed.
  echo 'Dear peer' >letter.txt
  vornak2-host sign --user me --in letter.txt --out letter.sig
  vornak2-host install-cert --user peer me.crt
  vornak2-host verify --user peer --in letter.txt --sig letter.sig --signer H.3
  # And encrypts for you, which you decrypt.
  vornak2-host encrypt -q --user peer --to H.3 --in letter.txt --out letter.enc
  vornak2-host decrypt -q --user me --in letter.enc --out letter.out
  cmp letter.txt letter.out
  # What the key set holds: the secret key for its owner only, nothing the tool left behind.
  [ "$(stat -c %a "$VORNAK2_ROOT/me/sec/0.sec")" = 600 ]
  [ -z "$(find "$VORNAK2_ROOT" -name '.*.tmp-*' -o -name 'incoming-*')" ]
  cd "$scratch"
}

# Our test authority.
ours() { vornak2-ca issue --authority "$scratch/ours/ca" --request "$1" --out "$2"; }
mkdir -p ours
vornak2-ca create-authority --dir ours/ca --uid CA.7
cp ours/ca/authority.aut ours/ca.crt
walk ours ours

# An OpenSSL authority: UID OSSL.CA, key number 3.
cat >openssl.cnf <<'EOF'
openssl_conf = openssl_def
[openssl_def]
engines = engine_section
[engine_section]
gost = gost_section
[gost_section]
engine_id = gost
default_algorithms = ALL
EOF
export OPENSSL_CONF=$scratch/openssl.cnf
if ! openssl engine gost -t 2>/dev/null | grep -q available; then
  echo "SKIPPED: the OpenSSL authority (openssl has no GOST engine here)"
  exit 0
fi
mkdir -p openssl
(cd openssl && openssl req -x509 -newkey gost2012_256 -pkeyopt paramset:TCA -nodes \
  -keyout ca.key -out ca.crt -days 3650 -md_gost12_256 -subj /CN=OSSL.CA/serialNumber=3 \
  -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign \
  2>/dev/null)
serial=76
theirs() {
  serial=$((serial + 1))
  openssl req -verify -noout -in "$1"
  printf 'basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature,nonRepudiation,keyEncipherment,keyAgreement\n' >user.ext
  openssl x509 -req -in "$1" -CA ca.crt -CAkey ca.key -set_serial "$serial" -days 365 \
    -md_gost12_256 -extfile user.ext -out "$2"
}
walk openssl theirs
echo "first key: both authorities' users sign, verify, encrypt and decrypt"
