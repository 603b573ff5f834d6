#!/usr/bin/env bash
# The traps a new user fell into, through the tool as it is installed (BINDIR holds vornak2-host
# and vornak2-ca: the build's apart/bin, or an unpacked package's usr/bin):
#   - install-cert copies: the source stays, a failed installation leaves no copy, --move of a
#     key set's own certificate is refused;
#   - SIGINT and SIGTERM (and SIGHUP once) at 10 %, 50 % and 90 % of an encrypt, a decrypt and a
#     sign leave no partial file and keep an existing output; on a terminal the progress line is
#     cleared;
#   - a full file system answers "no space left on OUTPUT" and keeps the old output (a 1 MiB
#     tmpfs in a mount namespace of its own; where none can be mounted, a file-size limit, which
#     takes the same path with "too large" instead);
#   - -q silences status text only, --json prints one JSON line, for every command; a redirected
#     standard output receives nothing but the result.
#   host_traps_test.sh BINDIR [MIB]
# MIB is the size of the data of the signal runs (16 unless given; `... 256` is the run the
# closing note's figures come from, a minute or two). Needs jq (scripts/deps installs it).
set -uo pipefail
umask 022

bindir=$(cd "$1" && pwd)
host=$bindir/vornak2-host
mib=${2:-16}
scratch=$(mktemp -d "${TMPDIR:-/tmp}/host_traps.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
cd "$scratch" || exit 1
failures=0
checks=0
fail() {
  echo "FAILED: $*" >&2
  failures=$((failures + 1))
}
check() {  # check DESCRIPTION COMMAND...: the command succeeds
  local what=$1
  shift
  checks=$((checks + 1))
  "$@" || fail "$what"
}
leftovers() {  # the partial and private files any command may have left in $scratch and the root
  find "$scratch" \( -name '*.part*' -o -name 'incoming-*' -o -name '.*.tmp-*' \) -print
}

"$host" demo root >demo.log 2>&1 || { cat demo.log; exit 1; }
export VORNAK2_ROOT=$scratch/root

echo "== install-cert copies, and never moves a key set's own certificate ($SECONDS s)"
cp root/bob/self.crt bob.crt
"$host" install-cert -q --user alice bob.crt
check "install-cert keeps its source" cmp -s bob.crt root/bob/self.crt
check "the copy is in the store" grep -q '^H.2 ' <("$host" list-certs -q --user alice)
printf 'not a certificate\n' >junk.crt
"$host" install-cert -q --user alice junk.crt 2>err.txt
check "a failed installation is a failure" test $? -eq 1
check "the failed installation's source stays" test -s junk.crt
"$host" install-cert -q --user alice --move root/bob/self.crt 2>err.txt
check "--move of bob's own certificate is refused" test $? -eq 1
check "the refusal says why" grep -q "is the own certificate of a key set" err.txt
check "bob keeps his certificate" test -s root/bob/self.crt
ln root/bob/self.crt link.crt
"$host" install-cert -q --user alice --move link.crt 2>/dev/null
check "--move of another name of it is refused too" test $? -eq 1
cp root/bob/self.crt moved.crt
check "--move moves" "$host" install-cert -q --user alice --move moved.crt
check "the moved file is gone" test ! -e moved.crt
check "no copy or private directory is left" test -z "$(leftovers)"

echo "== interruptions at 10, 50 and 90 % of a ${mib} MiB encrypt, decrypt and sign ($SECONDS s)"
head -c $((mib << 20)) /dev/urandom >data
"$host" encrypt -q --user alice --to H.2 --in data --out data.enc || fail "encrypt"
now_ms() { echo $(($(date +%s%N) / 1000000)); }
declare -A command=(
  [encrypt]="encrypt --user alice --to H.2 --in data"
  [decrypt]="decrypt --user bob --in data.enc"
  [sign]="sign --user alice --in data"
)
declare -A output=([encrypt]=out.enc [decrypt]=out.dec [sign]=out.sig)
declare -A signal_number=([INT]=2 [TERM]=15 [HUP]=1)
set -m  # background jobs of their own, which a SIGINT reaches as Ctrl-C reaches the foreground
for op in encrypt decrypt sign; do
  start=$(now_ms)
  # shellcheck disable=SC2086
  "$host" ${command[$op]} --out "$op.whole" -q || fail "$op uninterrupted"
  whole=$(($(now_ms) - start))
  rm -f "$op.whole"
  echo "  $op: ${whole} ms uninterrupted"
  for sig in INT TERM; do
    for pct in 10 50 90; do
      delay=$((whole * pct / 100))
      for try in 1 2 3 4 5; do
        echo old >"${output[$op]}"
        # shellcheck disable=SC2086
        "$host" ${command[$op]} --out "${output[$op]}" -q &
        pid=$!
        start=$(now_ms)
        # Watched until the moment comes; a run that ends first tells how long a run takes now
        # (the machine's load changes), and the point is tried again in that time.
        while kill -0 "$pid" 2>/dev/null && [ $(($(now_ms) - start)) -lt "$delay" ]; do
          sleep 0.01
        done
        signalled=$(now_ms)
        ! kill -0 "$pid" 2>/dev/null || kill -s "$sig" "$pid"
        { wait "$pid"; } 2>/dev/null
        status=$?
        ended=$(($(now_ms) - signalled))
        [ "$status" -eq 0 ] || break
        delay=$(((signalled - start) * pct / 100))
      done
      echo "  $op SIG$sig at $pct % (${delay} ms): exit $status, ended ${ended} ms after the signal"
      checks=$((checks + 1))
      if [ "$status" -eq 0 ]; then
        # Every try finished before the signal took effect (a loaded machine: the tool holds a
        # signal once its output is in place). Then the output is the whole new one.
        check "$op SIG$sig at $pct %: no partial file" test -z "$(leftovers)"
        check "$op SIG$sig at $pct %: the finished output is in place" \
          sh -c '! grep -qax old "$0"' "${output[$op]}"
        continue
      fi
      [ "$status" -eq $((128 + ${signal_number[$sig]})) ] ||
        fail "$op SIG$sig at $pct %: exit $status, not death by the signal"
      check "$op SIG$sig at $pct % (${delay} ms): no partial file" test -z "$(leftovers)"
      check "$op SIG$sig at $pct %: the existing output is kept" \
        test "$(cat "${output[$op]}")" = old
    done
  done
done
# SIGHUP, and the progress line on a terminal: the interrupted command clears it. The terminal is
# a pseudo-terminal of `script`; the tool is the child of the shell script starts.
echo old >out.dec
script -qefc "echo \$\$ >tty.pid; exec '$host' ${command[decrypt]} --out out.dec" tty.log \
  >/dev/null 2>&1 &
script_pid=$!
for _ in $(seq 250); do [ -s tty.pid ] && grep -q "vornak2-host: " tty.log && break; sleep 0.02; done
kill -s HUP "$(cat tty.pid)" 2>/dev/null
{ wait "$script_pid"; } 2>/dev/null
hup_status=$?
check "SIGHUP: no partial file" test -z "$(leftovers)"
if [ "$hup_status" -eq 0 ]; then
  # The run ended before the signal came (a loaded machine): its whole output is in place.
  check "SIGHUP after the end: the finished output is in place" \
    sh -c '! grep -qax old "$0"' out.dec
else
  check "SIGHUP: the existing output is kept" test "$(cat out.dec)" = old
fi
checks=$((checks + 1))
# What the tool wrote last on the terminal (script's own last line left out) is blank.
grep -q "vornak2-host: " tty.log && sed '/COMMAND_EXIT_CODE/d; /^Script /d' tty.log |
  tr '\r' '\n' | grep -v '^$' | tail -1 | grep -q '^ *$' ||
  fail "the progress line is not cleared: $(tail -c 300 tty.log | od -c | tail -5)"
set +m

echo "== a full file system ($SECONDS s)"
head -c $((2 << 20)) /dev/urandom >two-mib
cat >full.sh <<'EOF'
# full.sh HOST DIR: runs in a mount namespace of its own, with a 1 MiB tmpfs on DIR.
host=$1 dir=$2
mount -t tmpfs -o size=1m vornak2-full "$dir" || exit 75
echo old >"$dir/two-mib.enc"
"$host" encrypt -q --user alice --to H.2 --in two-mib --out "$dir/two-mib.enc" 2>err1
echo "file $?" >status
"$host" encrypt -q --user alice --to H.2 --in - --out "$dir/two-mib.enc" <two-mib 2>err2
echo "pipe $?" >>status
cp "$dir/two-mib.enc" .
ls -A "$dir" >listing
EOF
mkdir full
how=tmpfs
if [ "$(id -u)" -eq 0 ] && unshare -m bash full.sh "$host" full 2>/dev/null; then
  :
elif unshare -rm bash full.sh "$host" full 2>/dev/null; then
  how="tmpfs (a user namespace)"
else
  # No mount here: a file-size limit of 1 MiB takes the same path.
  how="a 1 MiB file-size limit (no tmpfs can be mounted here)"
  echo old >full/two-mib.enc
  (
    ulimit -f 1024
    trap '' XFSZ
    "$host" encrypt -q --user alice --to H.2 --in two-mib --out full/two-mib.enc 2>err1
    echo "file $?" >status
    "$host" encrypt -q --user alice --to H.2 --in - --out full/two-mib.enc <two-mib 2>err2
    echo "pipe $?" >>status
  )
  cp full/two-mib.enc .
  ls -A full >listing
fi
echo "  shown with $how"
check "a full disk fails the command" grep -qx "file 1" status
check "a full disk fails the command from a pipe" grep -qx "pipe 1" status
if [ "${how%% *}" = tmpfs ]; then
  check "the message says so: $(cat err1)" grep -q "no space left on full/two-mib.enc" err1
  check "from a pipe too: $(cat err2)" grep -q "no space left on full/two-mib.enc" err2
else
  check "the message says so: $(cat err1)" grep -q "cannot write full/two-mib.enc: larger" err1
fi
check "the old output is kept" test "$(cat two-mib.enc)" = old
check "nothing else is left on the full file system: $(cat listing)" \
  test "$(cat listing)" = two-mib.enc
check "the message names no input problem" eval '! grep -q "cannot read" err1 err2'

echo "== -q and --json on every command ($SECONDS s)"
mkdir -p q/keys q/renewal
printf 'Payment order 20\n' >m.txt
"$host" sign -q --user alice --in m.txt --out m.sig
"$host" transfer-own -q --user alice --out own.txt
cp root/bob/self.crt q/bob.crt
ca=$bindir/vornak2-ca
# A copy of the root for a command that changes it, so that both modes see the same (the vendor
# library linked, not copied).
fresh_root() {
  rm -rf r2 && mkdir r2 || return
  for entry in root/* root/.[!.]*; do
    [ -e "$entry" ] && [ "${entry#root/}" != EXE ] && cp -a "$entry" r2/
  done
  mkdir r2/EXE && ln root/EXE/* r2/EXE/
}
# name|arguments|a piece of the result on standard output with -q ("" for none)|c: it changes
# the root
rows=(
  "sign|--user alice --in m.txt --out q/s.sig|"
  "verify|--user bob --in m.txt --sig m.sig|signer: H.10"
  "add-sign|--user alice --in m.txt --out q/m.signed|"
  "remove-sign|--user bob --in q/m.signed --out q/m.back|signer: H.10"
  "encrypt|--user alice --to H.2 --to H.10 --in m.txt --out q/m.enc|"
  "decrypt|--user bob --in q/m.enc --out q/m.dec|"
  "uid|--user bob|current user: H.2"
  "params|--user bob|Hash Algorithm = 34.11"
  "get-param|5|Hash Algorithm = 34.11"
  "set-param|--user bob 10=6||c"
  "unset-param|--user bob 10||c"
  "message|-65|-65: "
  "install-cert|--user alice q/bob.crt||c"
  "list-certs|--user alice|H.2  key 0  issuer CA.1"
  "remove-cert|--user alice H.2||c"
  "refresh-cert|--user bob H.10|"
  "clear-cache|--user bob|"
  "generate-keys|--user alice --dir q/keys||c"
  "first-key|--user newbie --uid N.1 --out q/newbie.pub||c"
  "transfer-own|--user bob --out q/t.txt|"
  "transfer-user|--user bob H.10 --out q/tu.txt|"
  "transfer-file|--user bob root/delivery/bob.crt --out q/tf.txt|"
  "transfer-uid|--user bob --in own.txt|uid: H.10"
  "save-transfer|--user bob --in own.txt --dir q||c"
  "include-transfer|--user bob --in own.txt||c"
  "include-authority|--user bob --in own.txt||c"
  "match-transfers|--user bob --in own.txt --with own.txt|the same UID"
  "renew-start|--user bob --dir q/renewal --out q/renewal.txt||c"
  "renew-finish|--user bob --dir q/renewal --in own.txt||c"
  "report|--user bob H.10|UID=H.10"
  "properties|--user bob H.10|UID=H.10"
  "report-file|--user bob root/delivery/bob.crt|UID=H.2"
  "report-transfer|--user bob --in own.txt|UID=H.10"
  "create-dirs|--user carol root/delivery/bob.crt||c"
  "save-signed|--user bob --in m.txt --sig m.sig --out q/m.saved|"
  "demo|--lay-out-only q/demo|"
)
for row in "${rows[@]}"; do
  IFS='|' read -r name args result changes <<<"$row"
  for mode in -q --json; do
    [ -n "$changes" ] || [ ! -d r2 ] && fresh_root
    rm -rf q/demo q/keys/* q/renewal/* q/*.pub
    # shellcheck disable=SC2086
    VORNAK2_ROOT=$scratch/r2 "$host" $name $args $mode >out.txt 2>err.txt
    status=$?
    checks=$((checks + 1))
    if [ "$mode" = -q ]; then
      if [ "$status" -eq 0 ]; then
        [ ! -s err.txt ] || fail "$name -q: status text on standard error: $(head -3 err.txt)"
      fi
      if [ -n "$result" ]; then
        grep -qF -- "$result" out.txt || fail "$name -q: no '$result' on standard output: $(head -3 out.txt)"
      else
        [ ! -s out.txt ] || fail "$name -q: standard output holds $(head -c 200 out.txt)"
      fi
    else
      [ "$(wc -l <out.txt)" -eq 1 ] || fail "$name --json: not one line: $(head -c 300 out.txt)"
      jq -e --arg name "$name" --argjson exit "$status" \
        '.command == $name and .exit == $exit and (.code | type) == "number"' out.txt >/dev/null ||
        fail "$name --json: $(head -c 300 out.txt)"
      [ "$status" -ne 0 ] || [ ! -s err.txt ] ||
        fail "$name --json: status text on standard error: $(head -3 err.txt)"
    fi
  done
done
# Without -q, a redirected standard output holds the result alone.
for row in "report|--user bob H.10|UID=H.10" "verify|--user bob --in m.txt --sig m.sig|signer: H.10" \
  "get-param|5|  5  Hash Algorithm" "list-certs|--user bob|H.1  key 0"; do
  IFS='|' read -r name args result <<<"$row"
  # shellcheck disable=SC2086
  "$host" $name $args >out.txt 2>err.txt
  checks=$((checks + 1))
  head -1 out.txt | grep -qF -- "$result" && ! grep -q -- "-> 0" out.txt ||
    fail "$name > file: $(head -3 out.txt)"
done

echo "host traps: $((checks - failures)) of $checks checks passed ($SECONDS s)"
[ "$failures" -eq 0 ]
