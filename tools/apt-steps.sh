# Package installation that survives a Debian mirror in the middle of a sync.
# Sourced by bootstrap.sh; the tests source it with APT_GET pointing at a fake.
#
# A mirror mid-sync serves an index of the wrong size: `apt-get update` exits
# 100 on that one index and keeps the old list, or none. Retrying later often
# gets past it. When it does not, the i386 lists may be older than the amd64
# ones, so the 32-bit half of a multi-arch package (wine32:i386) no longer
# matches its 64-bit half and the install is refused; asking for the release's
# own archive (apt's target release) pins both halves to one version.

APT_GET=${APT_GET:-apt-get}
APT_UPDATE_TRIES=${APT_UPDATE_TRIES:-4}
APT_RETRY_DELAY=${APT_RETRY_DELAY:-15}
APT_LOG=${APT_LOG:-/tmp/telvara-apt.log}

apt_say() { printf '[bootstrap]   %s\n' "$*"; }

# The codename of the release this machine runs (bookworm).
apt_release() { [ -n "${APT_RELEASE:-}" ] && { printf '%s\n' "$APT_RELEASE"; return; }; ( . /etc/os-release && printf '%s\n' "$VERSION_CODENAME" ); }

# Runs `apt-get update` until it succeeds, at most APT_UPDATE_TRIES times.
# Answers 0 after a clean update, 1 when every try left an index behind (the
# lists apt kept are then used, and the install below says whether they do).
apt_update_with_retries() {
  local try
  for ((try = 1; try <= APT_UPDATE_TRIES; try++)); do
    if "$APT_GET" update -q >"$APT_LOG" 2>&1; then
      [ "$try" -gt 1 ] && apt_say "apt-get update succeeded on try $try"
      return 0
    fi
    apt_say "apt-get update failed (try $try of $APT_UPDATE_TRIES): $(grep -m1 -E '^(E|Err):' "$APT_LOG" || tail -1 "$APT_LOG")"
    [ "$try" -lt "$APT_UPDATE_TRIES" ] && sleep "$((APT_RETRY_DELAY * try))"
  done
  apt_say "apt-get update never completed; going on with the package lists apt kept"
  return 1
}

# Installs the packages named. When the plain install is refused, tries once
# more with the release's own archive preferred and says so. Answers the exit
# code of the last attempt; its output is in APT_LOG.
apt_install_packages() {
  if DEBIAN_FRONTEND=noninteractive "$APT_GET" install -y -q --no-install-recommends "$@" >"$APT_LOG" 2>&1; then
    return 0
  fi
  local release; release=$(apt_release)
  apt_say "apt-get install failed: $(grep -m1 -E '^E:' "$APT_LOG" || tail -1 "$APT_LOG")"
  apt_say "the 64-bit and 32-bit halves may not match (mirror mid-sync?): installing from the release archive with -t $release"
  DEBIAN_FRONTEND=noninteractive "$APT_GET" install -y -q --no-install-recommends -t "$release" "$@" >"$APT_LOG" 2>&1
}
