# Package installation that survives a Debian mirror in the middle of a sync.
# Sourced by bootstrap.sh; the tests source it with APT_GET pointing at a fake.
#
# A mirror mid-sync serves an index of the wrong size (or hash): `apt-get
# update` exits 100 on that one index and keeps the old list, or none. Then
# the i386 lists may be older than the amd64 ones, so the 32-bit half of a
# multi-arch package (wine32:i386) no longer matches its 64-bit half and the
# plain install is refused; asking for the release's own archive (apt's
# target release) pins both halves to one version. Waiting for the sync to
# end takes longer than that, so on this failure the update is not retried
# and the install goes to the release archive at once. Other failures of the
# update (no network, a mirror that does not answer) are retried a few times.

APT_GET=${APT_GET:-apt-get}
APT_UPDATE_TRIES=${APT_UPDATE_TRIES:-4}
APT_RETRY_DELAY=${APT_RETRY_DELAY:-15}
APT_LOG=${APT_LOG:-/tmp/telvara-apt.log}
# Set to 1 by apt_update_with_retries when the mirror was found mid-sync.
APT_MIRROR_MID_SYNC=0

apt_say() { printf '[bootstrap]   %s\n' "$*"; }

# The codename of the release this machine runs (bookworm).
apt_release() { [ -n "${APT_RELEASE:-}" ] && { printf '%s\n' "$APT_RELEASE"; return; }; ( . /etc/os-release && printf '%s\n' "$VERSION_CODENAME" ); }

# Does the `apt-get update` output in file $1 show a mirror in the middle of a
# sync? Yes when an index came with the wrong size or hash, or when exactly
# one index file (not a Release file) failed and nothing says the network did.
apt_mid_sync() {
  local log=$1 errs
  grep -qE 'File has unexpected size|Mirror sync in progress|Hash Sum mismatch|Hashes of expected file' "$log" && return 0
  errs=$(grep -E '^Err:' "$log" || true)
  [ "$(printf '%s' "$errs" | grep -c '^Err:')" = 1 ] || return 1
  grep -qE '[[:space:]](Packages|Sources|Translation-[A-Za-z_]+|Contents-[A-Za-z0-9]+)([[:space:]]|$)' <<<"$errs" || return 1
  ! grep -qiE 'Temporary failure resolving|Could not resolve|Could not connect|Connection timed out|Connection failed|No route to host|Network is unreachable' "$log"
}

# Runs `apt-get update` until it succeeds, at most APT_UPDATE_TRIES times, or
# once when the mirror is mid-sync. Answers 0 after a clean update, 1 when
# it did not complete (the lists apt kept are then used, and the install
# below says whether they do).
apt_update_with_retries() {
  local try first
  APT_MIRROR_MID_SYNC=0
  for ((try = 1; try <= APT_UPDATE_TRIES; try++)); do
    if "$APT_GET" update -q >"$APT_LOG" 2>&1; then
      [ "$try" -gt 1 ] && apt_say "apt-get update succeeded on try $try"
      return 0
    fi
    first=$(grep -m1 -E '^(E|Err):' "$APT_LOG" || tail -1 "$APT_LOG")
    if apt_mid_sync "$APT_LOG"; then
      APT_MIRROR_MID_SYNC=1
      apt_say "apt-get update failed: $first"
      apt_say "the mirror is in the middle of a sync: not waiting for it, installing from the release archive with -t $(apt_release)"
      return 1
    fi
    apt_say "apt-get update failed (try $try of $APT_UPDATE_TRIES): $first"
    [ "$try" -lt "$APT_UPDATE_TRIES" ] && sleep "$((APT_RETRY_DELAY * try))"
  done
  apt_say "apt-get update never completed; going on with the package lists apt kept"
  return 1
}

# Installs the packages named. The plain install comes first and, when it is
# refused, the install with the release's own archive preferred; after an
# update that found the mirror mid-sync, the other way round. Answers the
# exit code of the last attempt; its output is in APT_LOG.
apt_install_packages() {
  local release; release=$(apt_release)
  local plain=(install -y -q --no-install-recommends "$@")
  local pinned=(install -y -q --no-install-recommends -t "$release" "$@")
  if [ "$APT_MIRROR_MID_SYNC" = 1 ]; then
    DEBIAN_FRONTEND=noninteractive "$APT_GET" "${pinned[@]}" >"$APT_LOG" 2>&1 && return 0
    apt_say "apt-get install -t $release failed: $(grep -m1 -E '^E:' "$APT_LOG" || tail -1 "$APT_LOG")"
    apt_say "trying the plain install with the package lists apt kept"
    DEBIAN_FRONTEND=noninteractive "$APT_GET" "${plain[@]}" >"$APT_LOG" 2>&1
    return
  fi
  DEBIAN_FRONTEND=noninteractive "$APT_GET" "${plain[@]}" >"$APT_LOG" 2>&1 && return 0
  apt_say "apt-get install failed: $(grep -m1 -E '^E:' "$APT_LOG" || tail -1 "$APT_LOG")"
  apt_say "the 64-bit and 32-bit halves may not match (mirror mid-sync?): installing from the release archive with -t $release"
  DEBIAN_FRONTEND=noninteractive "$APT_GET" "${pinned[@]}" >"$APT_LOG" 2>&1
}
