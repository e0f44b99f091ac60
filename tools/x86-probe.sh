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

# What the kernel said about it, when its log or its command line tells:
# kernels with 32-bit emulation switched off log "32-bit emulation disabled"
# on the first 32-bit program they refuse.
kernel_line() {
  local line
  line=$(dmesg 2>/dev/null | grep -m1 -io '32-bit emulation disabled.*' || true)
  if [ -n "$line" ]; then printf 'kernel log: %s' "$line"
  elif grep -qo 'ia32_emulation=\(off\|0\|false\)' /proc/cmdline 2>/dev/null; then
    printf 'kernel command line: %s' "$(grep -o 'ia32_emulation=[^ ]*' /proc/cmdline)"
  fi
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
# The loader's own words when the kernel refuses it are no help (bash's
# "/usr/lib/wine/wine: Success" after "cannot execute binary file: Exec
# format error"): say what the kernel did instead.
kernel=$(kernel_line)
if [ "$code" = 124 ]; then
  echo "a trivial 32-bit program did not finish under Wine within 60 s"
elif [ -n "$kernel" ]; then
  echo "the kernel has its 32-bit emulation switched off ($kernel)"
elif grep -qi 'exec format error' <<<"$out"; then
  echo "the kernel refused to start the 32-bit Wine loader (exec format error): it runs no 32-bit programs"
else
  reason=$(printf '%s' "$out" | grep -v '^\s*$' | tail -1)
  echo "a trivial 32-bit program did not run under Wine (exit $code: ${reason:-no output})"
fi
exit 1
