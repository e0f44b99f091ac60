#!/usr/bin/env bash
# The set-up scripts' decisions, tried without touching the machine: the
# package steps run against a fake apt-get that fails as a mirror in the
# middle of a sync does, and the 32-bit probe is forced to its "cannot"
# answer.
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0; failed=0

check() {  # check NAME CONDITION-EXIT-CODE DETAIL
  if [ "$2" = 0 ]; then passed=$((passed + 1)); echo "ok   $1"
  else failed=$((failed + 1)); echo "FAIL $1: $3"; fi
}

# A fake apt-get: "update" fails the first $UPDATE_FAILS calls with the
# mirror's message; "install" without -t fails while $INSTALL_PLAIN=fail,
# with -t while $INSTALL_TARGET=fail. Every call is logged.
cat > "$work/apt-get" <<'FAKE'
#!/usr/bin/env bash
echo "$*" >> "$FAKE_LOG"
case "$1" in
  update)
    n=$(grep -c '^update' "$FAKE_LOG")
    if [ "$n" -le "${UPDATE_FAILS:-0}" ]; then
      echo "E: Failed to fetch .../binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?"
      exit 100
    fi ;;
  install)
    if [[ " $* " == *" -t "* ]]; then [ "${INSTALL_TARGET:-ok}" = ok ] || { echo "E: target failed"; exit 100; }
    else [ "${INSTALL_PLAIN:-ok}" = ok ] || { echo "E: Unable to correct problems, you have held broken packages."; exit 100; }; fi ;;
esac
exit 0
FAKE
chmod +x "$work/apt-get"

# run_steps UPDATE_FAILS INSTALL_PLAIN INSTALL_TARGET: prints the steps'
# messages, leaves the calls in $work/calls, answers the install's code.
run_steps() {
  rm -f "$work/calls"
  ( export FAKE_LOG=$work/calls UPDATE_FAILS=$1 INSTALL_PLAIN=$2 INSTALL_TARGET=$3
    APT_GET=$work/apt-get APT_RETRY_DELAY=0 APT_UPDATE_TRIES=3 APT_RELEASE=bookworm APT_LOG=$work/apt.log
    . "$root/tools/apt-steps.sh"
    apt_update_with_retries; echo "update=$?"
    apt_install_packages wine64 wine32:i386 )
}

out=$(run_steps 0 ok ok); code=$?
check "a clean update and install call apt-get once each, without a target release" \
  "$([ $code = 0 ] && [ "$(cat "$work/calls")" = "$(printf 'update -q\ninstall -y -q --no-install-recommends wine64 wine32:i386')" ]; echo $?)" \
  "code $code, calls: $(cat "$work/calls")"

out=$(run_steps 2 ok ok); code=$?
check "an update that fails twice is retried and the third try counts" \
  "$([ $code = 0 ] && [ "$(grep -c '^update' "$work/calls")" = 3 ] && grep -q 'update=0' <<<"$out" \
     && grep -q 'succeeded on try 3' <<<"$out" && ! grep -q -- ' -t ' "$work/calls"; echo $?)" \
  "code $code, output: $out"

out=$(run_steps 9 fail ok); code=$?
check "a mirror mid-sync: the update gives up after its tries, the install falls back to -t bookworm and says so" \
  "$([ $code = 0 ] && [ "$(grep -c '^update' "$work/calls")" = 3 ] && grep -q 'update=1' <<<"$out" \
     && grep -q 'never completed' <<<"$out" && grep -q 'installing from the release archive with -t bookworm' <<<"$out" \
     && [ "$(tail -1 "$work/calls")" = 'install -y -q --no-install-recommends -t bookworm wine64 wine32:i386' ]; echo $?)" \
  "code $code, output: $out, calls: $(cat "$work/calls")"

out=$(run_steps 0 fail fail); code=$?
check "when the release archive cannot help either, the install fails with the last error kept in the log" \
  "$([ $code != 0 ] && [ "$(grep -c '^install' "$work/calls")" = 2 ] && grep -q 'target failed' "$work/apt.log"; echo $?)" \
  "code $code, output: $out"

out=$(TELVARA_FORCE_NO_X86="switched off for this test" bash "$root/tools/x86-probe.sh" "$work/probe"); code=$?
check "a forced probe answers 'cannot' with the reason, before building or starting anything" \
  "$([ $code = 1 ] && [ "$out" = 'forced by TELVARA_FORCE_NO_X86: switched off for this test' ] && [ ! -e "$work/probe" ]; echo $?)" \
  "code $code, output: $out"

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
