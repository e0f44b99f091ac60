#!/usr/bin/env bash
# The set-up scripts' decisions, tried without touching the machine: the
# package steps run against a fake apt-get that fails as a mirror in the
# middle of a sync does or as a missing network does, and the 32-bit probe
# runs with a fake compiler, Wine and kernel log.
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0; failed=0

check() {  # check NAME CONDITION-EXIT-CODE DETAIL
  if [ "$2" = 0 ]; then passed=$((passed + 1)); echo "ok   $1"
  else failed=$((failed + 1)); echo "FAIL $1: $3"; fi
}

# A fake apt-get: "update" fails the first $UPDATE_FAILS calls, printing
# what apt prints for the failure $UPDATE_ERROR (below); "install" without -t
# fails while $INSTALL_PLAIN=fail, with -t while $INSTALL_TARGET=fail. Every
# call is logged.
cat > "$work/apt-get" <<'FAKE'
#!/usr/bin/env bash
echo "$*" >> "$FAKE_LOG"
case "$1" in
  update)
    n=$(grep -c '^update' "$FAKE_LOG")
    if [ "$n" -le "${UPDATE_FAILS:-0}" ]; then
      cat "$FAKE_DIR/update-$UPDATE_ERROR.txt"
      exit 100
    fi ;;
  install)
    if [[ " $* " == *" -t "* ]]; then [ "${INSTALL_TARGET:-ok}" = ok ] || { echo "E: target failed"; exit 100; }
    else [ "${INSTALL_PLAIN:-ok}" = ok ] || { echo "E: Unable to correct problems, you have held broken packages."; exit 100; }; fi ;;
esac
exit 0
FAKE
chmod +x "$work/apt-get"

# What `apt-get update` prints when it fails: a mirror mid-sync serving one
# index of the wrong size; the same with apt naming only the index that
# failed; no network at all; a mirror that is down.
cat > "$work/update-midsync.txt" <<'OUT'
Hit:1 http://deb.debian.org/debian bookworm InRelease
Get:2 http://deb.debian.org/debian-security bookworm-security InRelease [48.0 kB]
Err:9 http://deb.debian.org/debian-security bookworm-security/main i386 Packages
  File has unexpected size (374820 != 376004). Mirror sync in progress? [IP: 151.101.2.132 80]
  Hashes of expected file:
   - Filesize:376004 [weak]
E: Failed to fetch http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress? [IP: 151.101.2.132 80]
E: Some index files failed to download. They have been ignored, or old ones used instead.
OUT
cat > "$work/update-oneindex.txt" <<'OUT'
Hit:1 http://deb.debian.org/debian bookworm InRelease
Err:5 http://deb.debian.org/debian-security bookworm-security/main i386 Packages
E: Some index files failed to download. They have been ignored, or old ones used instead.
OUT
cat > "$work/update-network.txt" <<'OUT'
Err:1 http://deb.debian.org/debian bookworm InRelease
  Temporary failure resolving 'deb.debian.org'
W: Failed to fetch http://deb.debian.org/debian/dists/bookworm/InRelease  Temporary failure resolving 'deb.debian.org'
W: Some index files failed to download. They have been ignored, or old ones used instead.
OUT
cat > "$work/update-down.txt" <<'OUT'
Err:1 http://deb.debian.org/debian bookworm InRelease
  503  Service Unavailable [IP: 151.101.2.132 80]
Err:2 http://deb.debian.org/debian-security bookworm-security InRelease
  503  Service Unavailable [IP: 151.101.2.132 80]
W: Failed to fetch http://deb.debian.org/debian/dists/bookworm/InRelease  503  Service Unavailable [IP: 151.101.2.132 80]
OUT

# run_steps UPDATE_FAILS UPDATE_ERROR INSTALL_PLAIN INSTALL_TARGET: prints the
# steps' messages, leaves the calls in $work/calls, answers the install's code.
run_steps() {
  rm -f "$work/calls"
  ( export FAKE_LOG=$work/calls FAKE_DIR=$work UPDATE_FAILS=$1 UPDATE_ERROR=$2 INSTALL_PLAIN=$3 INSTALL_TARGET=$4
    APT_GET=$work/apt-get APT_RETRY_DELAY=0 APT_UPDATE_TRIES=3 APT_RELEASE=bookworm APT_LOG=$work/apt.log
    . "$root/tools/apt-steps.sh"
    apt_update_with_retries; echo "update=$?"
    apt_install_packages wine64 wine32:i386 )
}

# The package steps, one row per case: name | update fails, how | plain
# install, pinned install | exit code | every apt-get call in order (U =
# update, P = plain install, T = install -t bookworm) | what the output says.
apt_cases=(
  "a clean update and install call apt-get once each, without a target release|0 midsync|ok ok|0|U P|update=0"
  "an update without network is retried and its third try counts|2 network|ok ok|0|U U U P|succeeded on try 3"
  "a mirror that stays down: the update gives up after its tries, the refused plain install falls back to -t bookworm|9 down|fail ok|0|U U U P T|never completed.*installing from the release archive with -t bookworm"
  "a mirror mid-sync (an index of the wrong size): no retry, the install takes the release archive at once|9 midsync|fail ok|0|U T|middle of a sync: not waiting for it, installing from the release archive with -t bookworm"
  "a mirror mid-sync where apt names only the failed index: no retry, the release archive at once|9 oneindex|fail ok|0|U T|middle of a sync"
  "a mirror mid-sync where the release archive is refused: the plain install with the kept lists still gets its chance|9 midsync|ok fail|0|U T P|install -t bookworm failed: E: target failed"
  "when neither install works the step fails with the last error kept in the log|0 midsync|fail fail|100|U P T|installing from the release archive"
)
for row in "${apt_cases[@]}"; do
  IFS='|' read -r name update installs want_code want_calls want_out <<<"$row"
  # shellcheck disable=SC2086 # the columns hold the arguments
  out=$(run_steps $update $installs); code=$?
  calls=$(sed -e 's/^update -q$/U/' -e 's/^install -y -q --no-install-recommends -t bookworm wine64 wine32:i386$/T/' \
              -e 's/^install -y -q --no-install-recommends wine64 wine32:i386$/P/' "$work/calls" | paste -sd' ')
  check "$name" \
    "$([ "$code" = "$want_code" ] && [ "$calls" = "$want_calls" ] && grep -qE "$want_out" <<<"$(paste -sd' ' <<<"$out")"; echo $?)" \
    "code $code (want $want_code), calls '$calls' (want '$want_calls'), output: $out"
done
check "when neither install works the log keeps the last attempt's error" \
  "$(grep -q 'target failed' "$work/apt.log"; echo $?)" "log: $(cat "$work/apt.log")"

out=$(TELVARA_FORCE_NO_X86="switched off for this test" bash "$root/tools/x86-probe.sh" "$work/probe"); code=$?
check "a forced probe answers 'cannot' with the reason, before building or starting anything" \
  "$([ $code = 1 ] && [ "$out" = 'forced by TELVARA_FORCE_NO_X86: switched off for this test' ] && [ ! -e "$work/probe" ]; echo $?)" \
  "code $code, output: $out"

# The probe itself, with the Wine scripts beside it, the i686 compiler,
# dmesg and the kernel's command line faked: the fake loader prints
# $LOADER_SAYS and exits $LOADER_EXIT, dmesg prints $KERNEL_SAYS (and fails
# when it is "-"). One row per case: name | loader's exit | loader's output |
# kernel log | kernel command line | probe's exit | its output, exactly.
mkdir -p "$work/probe-tools" "$work/bin"
sed "s|/proc/cmdline|$work/cmdline|g" "$root/tools/x86-probe.sh" > "$work/probe-tools/x86-probe.sh"
printf '#!/usr/bin/env bash\nexit 0\n' > "$work/probe-tools/wine-server.sh"
printf '#!/usr/bin/env bash\n[ -n "$LOADER_SAYS" ] && printf "%%b\\n" "$LOADER_SAYS"\nexit "$LOADER_EXIT"\n' > "$work/probe-tools/wine-run.sh"
printf '#!/usr/bin/env bash\nwhile [ "$1" != -o ]; do shift; done; : > "$2"\n' > "$work/bin/i686-w64-mingw32-gcc-posix"
printf '#!/usr/bin/env bash\n[ "$KERNEL_SAYS" = - ] && exit 1\n[ -n "$KERNEL_SAYS" ] && printf "%%b\\n" "$KERNEL_SAYS"\nexit 0\n' > "$work/bin/dmesg"
chmod +x "$work/bin/"*
kernel_off='[    0.000000] Linux version 6.1.0\n[  265.407503] 32-bit emulation disabled. You can reenable with ia32_emulation=on'
# What bash says when the kernel refuses the 32-bit loader.
refused='tools/wine-run.sh: line 13: /usr/lib/wine/wine: cannot execute binary file: Exec format error\ntools/wine-run.sh: line 13: /usr/lib/wine/wine: Success'
probe_cases=(
  "a machine that runs 32-bit programs: exit 0, silent|32|||quiet|0|"
  "a kernel without 32-bit emulation: the kernel's words, not the loader's 'Success'|1|$refused|$kernel_off|quiet|1|the kernel has its 32-bit emulation switched off (kernel log: 32-bit emulation disabled. You can reenable with ia32_emulation=on)"
  "an unreadable kernel log and emulation off on the kernel's command line|1|$refused|-|quiet ia32_emulation=off|1|the kernel has its 32-bit emulation switched off (kernel command line: ia32_emulation=off)"
  "a refused loader and nothing from the kernel: exec format error in words|1|$refused|-|quiet|1|the kernel refused to start the 32-bit Wine loader (exec format error): it runs no 32-bit programs"
  "any other failure keeps Wine's last line and the exit code|1|wine: could not load kernel32.dll, status c0000135\\n||quiet|1|a trivial 32-bit program did not run under Wine (exit 1: wine: could not load kernel32.dll, status c0000135)"
)
for row in "${probe_cases[@]}"; do
  IFS='|' read -r name loader_exit loader_says kernel_says cmdline want_code want_out <<<"$row"
  printf '%s\n' "$cmdline" > "$work/cmdline"
  out=$(PATH=$work/bin:$PATH LOADER_EXIT=$loader_exit LOADER_SAYS=$loader_says KERNEL_SAYS=$kernel_says \
        bash "$work/probe-tools/x86-probe.sh" "$work/probe-build"); code=$?
  check "probe: $name" "$([ "$code" = "$want_code" ] && [ "$out" = "$want_out" ]; echo $?)" \
    "code $code (want $want_code), output: '$out'"
done

# POCO's cache folder: the bootstrap (poco_prefix in deps.env) and the build
# (TelvaraDeps.cmake, which reports the folder it misses) name the same one,
# and a change to any part of the recipe names another.
recipe=$work/recipe
recipe_copy() {
  rm -rf "$recipe"; mkdir -p "$recipe/tools" "$recipe/cmake"
  cp "$root/tools/deps.env" "$root/tools/poco-mingw-fixes.sh" "$recipe/tools/"
  cp "$root/cmake/TelvaraDeps.cmake" "$root/cmake/mingw-x64.cmake" "$root/cmake/mingw-x86.cmake" "$recipe/cmake/"
}
bash_folder() { ( export TELVARA_DEPS_CACHE=$work/cache; . "$recipe/tools/deps.env"; poco_prefix "$1" "$recipe/tools" ); }
cmake_folder() {
  ( cd "$recipe" && TELVARA_DEPS_CACHE=$work/cache cmake -DTELVARA_TARGET="$1" -P cmake/TelvaraDeps.cmake 2>&1 ) \
    | tr -s '\n ' ' ' | grep -o 'missing at [^ ]*:' | sed 's/^missing at //; s/:$//'
}
recipe_copy
base64=$(bash_folder x64); base86=$(bash_folder x86)
check "the bootstrap and the build name the same POCO folder for each target, and a different one per target" \
  "$([ -n "$base64" ] && [ "$base64" = "$(cmake_folder x64)" ] && [ "$base86" = "$(cmake_folder x86)" ] \
     && [ "$base64" != "$base86" ] && [[ $base64 == "$work/cache/poco-"*"-x64-"* ]]; echo $?)" \
  "bash: $base64 $base86, cmake: $(cmake_folder x64) $(cmake_folder x86)"
recipe_changes=(
  "a build option|tools/deps.env|s/-DCMAKE_UNITY_BUILD_BATCH_SIZE=[0-9]*/-DCMAKE_UNITY_BUILD_BATCH_SIZE=99/"
  "the source fixes|tools/poco-mingw-fixes.sh|\$a # changed"
  "the toolchain file|cmake/mingw-x64.cmake|\$a set(CMAKE_CXX_FLAGS_INIT -O1)"
)
for row in "${recipe_changes[@]}"; do
  IFS='|' read -r what file edit <<<"$row"
  recipe_copy
  sed -i "$edit" "$recipe/$file"
  changed=$(bash_folder x64)
  check "a change to $what names another POCO folder, in the bootstrap and in the build alike" \
    "$(! cmp -s "$root/$file" "$recipe/$file" && [ "$changed" != "$base64" ] && [ "$changed" = "$(cmake_folder x64)" ]; echo $?)" \
    "before $base64, after $changed, cmake $(cmake_folder x64)"
done

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
