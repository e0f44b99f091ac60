#!/usr/bin/env bash
# Can this machine run 32-bit Windows programs under Wine? Asks by running a
# trivial i686 program in the project's prefix: kernels with 32-bit emulation
# switched off refuse every i386 binary, the 32-bit Wine loader included, and
# no file on disk says so beforehand.
#   x86-probe.sh BUILD_DIR   exit 0, silent: it can
#                            exit 1, one line on stdout: why it cannot
# TELVARA_FORCE_NO_X86=TEXT makes the answer "cannot" with TEXT as the reason,
# so the rest of the test command can be tried on a machine that can.
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build=${1:?usage: x86-probe.sh BUILD_DIR}

if [ -n "${TELVARA_FORCE_NO_X86:-}" ]; then
  echo "forced by TELVARA_FORCE_NO_X86: $TELVARA_FORCE_NO_X86"
  exit 1
fi

# What the kernel said about it, when the kernel log or its command line tells.
kernel_reason() {
  local line
  line=$(dmesg 2>/dev/null | grep -m1 -io '32-bit emulation disabled.*' || true)
  [ -z "$line" ] && grep -qo 'ia32_emulation=\(off\|0\|false\)' /proc/cmdline 2>/dev/null \
    && line="kernel command line has $(grep -o 'ia32_emulation=[^ ]*' /proc/cmdline)"
  [ -n "$line" ] && printf '; kernel: %s' "$line"
}

compiler=$(command -v i686-w64-mingw32-gcc-posix || command -v i686-w64-mingw32-gcc || true)
if [ -z "$compiler" ]; then
  echo "no i686 MinGW compiler to build the probe with"
  exit 1
fi
mkdir -p "$build"
printf 'int main(void) { return 32; }\n' > "$build/x86-probe.c"
"$compiler" -O0 -static -o "$build/x86-probe.exe" "$build/x86-probe.c" 2>"$build/x86-probe.log" \
  || { echo "the probe did not compile: $(head -1 "$build/x86-probe.log")"; exit 1; }

bash "$here/wine-server.sh" start >"$build/x86-probe.log" 2>&1 \
  || { echo "the Wine server did not start: $(tail -1 "$build/x86-probe.log")"; exit 1; }
out=$(timeout 60 bash "$here/wine-run.sh" x86 "$build/x86-probe.exe" 2>&1)
code=$?
[ "$code" = 32 ] && exit 0
reason=$(printf '%s' "$out" | grep -v '^\s*$' | tail -1)
[ "$code" = 124 ] && reason="timed out after 60 s"
echo "a trivial 32-bit program did not run under Wine (exit $code: ${reason:-no output})$(kernel_reason)"
exit 1
