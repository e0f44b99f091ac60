#!/usr/bin/env bash
# Makes a Debian 12 machine ready to build and test Telvara: cross compilers,
# Wine (64 and 32-bit), GUI-test tools, the zh_CN locale, GoogleTest sources and
# POCO built for the Windows targets named (x64, x86; none named: both).
# Safe to run again: every step checks first and does nothing when it is
# already done. Needs root.
#   bootstrap.sh [x64] [x86]
set -Eeuo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=tools/deps.env
. "$here/deps.env"
# shellcheck source=tools/apt-steps.sh
. "$here/apt-steps.sh"

step_start=0
step() { step_name=$1; step_start=$(date +%s.%N); printf '[bootstrap] %s ...\n' "$step_name"; }
done_step() { printf '[bootstrap] %s: %s (%.1f s)\n' "$step_name" "${1:-done}" "$(echo "$(date +%s.%N) - $step_start" | bc)"; }
fail() { printf '[bootstrap] FAILED: %s\n' "$*" >&2; exit 1; }
trap 'fail "step \"${step_name:-start}\" stopped at line $LINENO (exit code $?)"' ERR

targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(x64 x86)
for target in "${targets[@]}"; do
  case "$target" in x64|x86) ;; *) fail "unknown target '$target' (usage: bootstrap.sh [x64] [x86])" ;; esac
done

[ "$(id -u)" = 0 ] || fail "run as root (it installs Debian packages)"
grep -q 'VERSION_CODENAME=bookworm' /etc/os-release || fail "this script targets Debian 12 (bookworm)"
command -v bc >/dev/null || { apt_update_with_retries || true; apt_install_packages bc || fail "cannot install bc"; }

packages=(
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix binutils-mingw-w64 mingw-w64-tools
  cmake ninja-build make dpkg-dev googletest
  wine wine64 wine32:i386
  xvfb xdotool imagemagick x11-utils
  locales fonts-wqy-microhei sox bc
  nsis zip
)

step "i386 architecture for 32-bit Wine"
if dpkg --print-foreign-architectures | grep -qx i386; then done_step "already there"
else dpkg --add-architecture i386; done_step "added"; fi

step "source package entry (deb-src)"
src_list=/etc/apt/sources.list.d/telvara-src.sources
if [ -f "$src_list" ]; then done_step "already there"
else
  cat > "$src_list" <<'SRC'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
  done_step "added"
fi

step "Debian packages"
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then done_step "all ${#packages[@]} installed"
else
  printf '[bootstrap]   installing: %s\n' "${missing[*]}"
  apt_update_with_retries || true
  apt_install_packages "${missing[@]}" \
    || { tail -20 "$APT_LOG" >&2; fail "apt-get install failed, also with the release archive preferred (log: $APT_LOG)"; }
  done_step "installed ${#missing[@]}"
fi

step "zh_CN.UTF-8 locale"
if locale -a 2>/dev/null | grep -qi '^zh_CN\.utf8$'; then done_step "already there"
else localedef -i zh_CN -f UTF-8 zh_CN.UTF-8 || fail "localedef zh_CN.UTF-8 failed"; done_step "generated"; fi

# POCO: Debian's source package, patched for MinGW and built as static
# libraries for each Windows target named, with the options of deps.env. The
# source is fetched once per run, whatever the number of targets. The cache
# folder's name changes with the version, the target and the build recipe
# (poco_prefix in deps.env), so a change to any of them builds anew.
poco_work=
poco_source() {
  [ -z "$poco_work" ] || return 0
  poco_work=$(mktemp -d /tmp/telvara-poco.XXXXXX)
  ( cd "$poco_work" && apt-get source -q "poco=$POCO_DEBIAN_VERSION" >"$poco_work/source.log" 2>&1 ) \
    || { tail -5 "$poco_work/source.log" >&2; fail "apt-get source poco=$POCO_DEBIAN_VERSION failed"; }
  bash "$here/poco-mingw-fixes.sh" "$poco_work/poco-$POCO_VERSION"
}
build_poco() {
  local target=$1 triplet=$2
  local prefix; prefix=$(poco_prefix "$target" "$here")
  step "POCO $POCO_VERSION for $target"
  # Another bootstrap on this machine may be building the same folder: wait
  # for it (at most an hour) and take its result.
  local lock
  exec {lock}>"$prefix.lock"
  flock -w 3600 "$lock" || fail "another bootstrap has held $prefix.lock for an hour"
  if [ -f "$prefix/.complete" ]; then done_step "cached in $prefix"; exec {lock}>&-; return; fi
  poco_source
  local build="$poco_work/build-$target"
  rm -rf "$prefix"
  cmake -S "$poco_work/poco-$POCO_VERSION" -B "$build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$here/../cmake/mingw-$target.cmake" -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DCMAKE_MC_COMPILER="$(command -v "$triplet-windmc")" "${POCO_CMAKE_OPTIONS[@]}" >"$build.configure.log" 2>&1 \
    || { tail -30 "$build.configure.log" >&2; fail "POCO configure for $target failed (log: $build.configure.log)"; }
  cmake --build "$build" -j "$(nproc)" >"$build.log" 2>&1 \
    || { grep -m5 -B2 -A5 -i 'error' "$build.log" >&2 || tail -20 "$build.log" >&2; fail "POCO build for $target failed (log: $build.log)"; }
  cmake --install "$build" >"$build.install.log" 2>&1 || { tail -5 "$build.install.log" >&2; fail "POCO install for $target failed (log: $build.install.log)"; }
  touch "$prefix/.complete"
  exec {lock}>&-
  rm -rf "$build" "$build".*.log "$build.log"
  done_step "built into $prefix"
}
mkdir -p "$TELVARA_DEPS_CACHE"
for target in "${targets[@]}"; do
  case "$target" in
    x64) build_poco x64 x86_64-w64-mingw32 ;;
    x86) build_poco x86 i686-w64-mingw32 ;;
  esac
done
[ -z "$poco_work" ] || rm -rf "$poco_work"
step "libsamplerate"; bash "$here/deps-libsamplerate.sh" "${targets[@]}" || fail "libsamplerate (tools/deps-libsamplerate.sh)"; done_step
bash "$here/deps-portaudio.sh" "${targets[@]}" || fail "PortAudio (test-only) could not be built"
printf '[bootstrap] ready (%s)\n' "${targets[*]}"
