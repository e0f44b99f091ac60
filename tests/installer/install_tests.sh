#!/usr/bin/env bash
# The installer as a user meets it, under Wine in a fresh prefix of its own:
#   1. tools/package.sh makes the installer, the zip and their sums;
#   2. a silent install puts both drivers and the panel into Program Files,
#      registers each driver in the registry view of its bitness (hosts of
#      each bitness list it), adds the Start-menu entry and the uninstall
#      entry; the panel starts from its installed place;
#   3. a silent uninstall closes the running panel and leaves no file and no
#      key of ours, but the user's config.ini, byte for byte;
#   4. installed again, the uninstaller asked with /RemoveSettings removes
#      config.ini too;
#   5. installed over a running copy (a host holding the driver, the panel
#      running) and removed again in the same situation;
#   6. on 32-bit Windows (a 32-bit prefix) it installs and registers the
#      32-bit driver only, and removes it again.
# Exit 0 passed, 1 failed, 77 skipped (with the reason on the last line).
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
cd "$root"

skip() { echo "SKIPPED: $*"; exit 77; }
[ -z "${TELVARA_X86_UNAVAILABLE:-}" ] || skip "the installer is a 32-bit program, and this machine cannot run 32-bit programs: $TELVARA_X86_UNAVAILABLE"
command -v makensis >/dev/null || skip "makensis is missing (Debian package nsis; tools/bootstrap.sh installs it)"
[ -f build/x86/telvara-package.env ] || skip "the x86 build is missing (build the x86 preset first)"

failures=0
t0=$(date +%s)
say() { echo "[install-test $(( $(date +%s) - t0 ))s] $*"; }
# check "what" [!] command...: one line, PASS or FAIL; with ! the command
# must fail.
check() {
  local what=$1 expect=0; shift
  if [ "$1" = "!" ]; then expect=1; shift; fi
  local got=0
  "$@" || got=1
  if [ $got = $expect ]; then echo "  PASS $what"; else echo "  FAIL $what"; failures=$((failures + 1)); fi
}

work=$root/build/x64/install-test
rm -rf "$work"
mkdir -p "$work"

say "packaging"
tools/package.sh --no-build --out "$work/out" || { echo "FAIL tools/package.sh"; exit 1; }
version=$(sed -n 's/^TELVARA_VERSION=//p' build/x64/telvara-package.env)
setup=$work/out/telvara-setup-$version.exe
zip=$work/out/telvara-$version.zip
check "the installer, the zip and SHA256SUMS are there" test -s "$setup" -a -s "$zip" -a -s "$work/out/SHA256SUMS"
sums_match() { (cd "$1" && [ "$(wc -l < SHA256SUMS)" = "$2" ] && sha256sum --quiet -c SHA256SUMS); }
check "SHA256SUMS holds exactly the installer and the zip, and they match" sums_match "$work/out" 2
panel_built=$(sed -n 's/^TELVARA_PANEL=//p' build/x86/telvara-package.env)
expected_files=(telvara_x64.dll telvara_x86.dll)
[ -n "$panel_built" ] && expected_files+=(telvarapanel.exe)
mkdir "$work/unzipped"
(cd "$work/unzipped" && cmake -E tar xf "$zip")
unzipped=$work/unzipped/telvara-$version
check "the zip holds the shipped files under telvara-$version/" \
  test "$(ls "$unzipped" | sort)" = "$(printf '%s\n' SHA256SUMS "${expected_files[@]}" | sort)"
check "the zip's own SHA256SUMS matches its files" sums_match "$unzipped" ${#expected_files[@]}
say "installer: $(stat -c %s "$setup") bytes, zip: $(stat -c %s "$zip") bytes"

# A fresh prefix with a server of its own; Xvfb on a free display for the
# panel.
export TELVARA_WINEPREFIX=$work/prefix
. tools/wine-env.sh
xvfb_pid=
cleanup() {
  tools/wine-server.sh stop >/dev/null 2>&1 || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
  return 0
}
trap cleanup EXIT
# The display first: the prefix's desktop is made by its first GUI process
# and stays without a display if that one had none.
exec 3< <(exec Xvfb -displayfd 1 -nolisten tcp -screen 0 1024x768x24 2>/dev/null)
xvfb_pid=$!
read -r -t 20 display <&3 || { echo "FAIL Xvfb did not start"; exit 1; }
export DISPLAY=:$display
say "creating a fresh prefix"
tools/wine-server.sh start || { echo "FAIL starting Wine for $WINEPREFIX"; exit 1; }

w64() { timeout 120 "$wine_loader_x64" "$@" </dev/null 2>/dev/null | tr -d '\r'; }
w32() { timeout 120 "$wine_loader_x86" "$@" </dev/null 2>/dev/null | tr -d '\r'; }
# reg query of one view: the value's data, or nothing when absent.
reg_value() {  # bits key value-name|(default)
  local out
  if [ "$3" = "(default)" ]; then out=$("w$1" reg query "$2" /ve); else out=$("w$1" reg query "$2" /v "$3"); fi
  echo "$out" | sed -n "s/^ *$3 *REG_[A-Z_]* *//Ip" | head -n 1
}
key_exists() { timeout 60 "$([ "$1" = 64 ] && echo "$wine_loader_x64" || echo "$wine_loader_x86")" reg query "$2" </dev/null >/dev/null 2>&1; }
clsid='{6F3D27A1-94C2-4E58-B1D7-5A0C8E2F9B34}'
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Telvara'
inst="$WINEPREFIX/drive_c/Program Files/Telvara"
appdata=$("$wine_loader_x64" winepath -u "$(w64 cmd /c echo %APPDATA%)" 2>/dev/null)
startmenu="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Telvara"
lists_telvara() { "w$1" "$2" list | grep -Eq '^ *TelvaraDriver +TELVARA *$'; }

# The user's settings before anything is installed.
mkdir -p "$appdata/ZQV"
printf '[default]\r\nout=Speaker A\r\nVolume=0.5\r\n' > "$appdata/ZQV/config.ini"

install() {
  say "silent install"
  timeout 120 "$wine_loader_x86" "$setup" /S </dev/null >/dev/null 2>&1
  check "the installer exits with 0" test $? = 0
}

# The uninstaller copies itself away and runs from there; the folder's
# going is its last step. Waits up to 60 s.
uninstall() {
  say "silent uninstall $*"
  timeout 60 "$wine_loader_x86" "$inst/uninstall.exe" /S "$@" </dev/null >/dev/null 2>&1
  for _ in $(seq 1 600); do [ -e "$inst" ] || break; sleep 0.1; done
  check "the install folder is gone within 60 s$( [ -e "$inst" ] && echo " (left: $(ls "$inst" | tr '\n' ' '))")" test ! -e "$inst"
}

install
for f in "${expected_files[@]}" uninstall.exe; do
  check "installed $f" test -f "$inst/$f"
done
check "the installed drivers are the built ones" \
  cmp -s "$inst/telvara_x86.dll" "$(sed -n 's/^TELVARA_DRIVER_x86=//p' build/x86/telvara-package.env)"
check "64-bit view: the class is served by the installed telvara_x64.dll" \
  test "$(reg_value 64 "HKCR\\CLSID\\$clsid\\InprocServer32" '(default)')" = "c:\\program files\\telvara\\telvara_x64.dll"
check "32-bit view: the class is served by the installed telvara_x86.dll" \
  test "$(reg_value 32 "HKCR\\CLSID\\$clsid\\InprocServer32" '(default)')" = "c:\\program files\\telvara\\telvara_x86.dll"
check "64-bit view: HKLM\\SOFTWARE\\ASIO\\TelvaraDriver names the class" \
  test "$(reg_value 64 'HKLM\SOFTWARE\ASIO\TelvaraDriver' CLSID)" = "$clsid"
check "32-bit view: HKLM\\SOFTWARE\\ASIO\\TelvaraDriver names the class" \
  test "$(reg_value 32 'HKLM\SOFTWARE\ASIO\TelvaraDriver' CLSID)" = "$clsid"
check "a 64-bit host lists the driver" lists_telvara 64 "$root/build/x64/host/telvara-host.exe"
check "a 32-bit host lists the driver" lists_telvara 32 "$root/build/x86/host/telvara-host.exe"
check "the uninstall entry (64-bit view) has the version" \
  test "$(reg_value 64 "$uninstall_key" DisplayVersion)" = "$version"
check "the uninstall entry runs the installed uninstaller" \
  test "$(reg_value 64 "$uninstall_key" UninstallString)" = "\"C:\\Program Files\\Telvara\\uninstall.exe\""
check "no uninstall entry in the 32-bit view" ! key_exists 32 "$uninstall_key"

panel_pid=
if [ -n "$panel_built" ]; then
  check "the Start menu has the panel's entry" test -n "$(ls "$startmenu"/*.lnk 2>/dev/null)"
  say "starting the panel from its installed place"
  # By its host path, so that Wine runs it in this very process (a Windows
  # path goes through start.exe, which ends at once).
  WINEDEBUG=err+all "$wine_loader_x86" "$inst/telvarapanel.exe" </dev/null >"$work/panel.log" 2>&1 &
  panel_pid=$!
  sleep 3
  check "the installed panel runs (3 s after its start)" kill -0 "$panel_pid"
  kill -0 "$panel_pid" 2>/dev/null || { wait "$panel_pid"; echo "    it ended with $?; its Wine errors:"; tail -5 "$work/panel.log"; }
else
  echo "  SKIP the Start-menu entry and the panel's start: this build has no telvarapanel target yet"
  check "no Start-menu folder without a panel" test ! -e "$startmenu"
fi
settings_before=$(sha256sum < "$appdata/ZQV/config.ini")

uninstall
if [ -n "$panel_pid" ]; then
  for _ in $(seq 1 50); do kill -0 "$panel_pid" 2>/dev/null || break; sleep 0.1; done
  check "the uninstaller closed the running panel" ! kill -0 "$panel_pid" 2>/dev/null
fi
for bits in 64 32; do
  check "$bits-bit view: no class key left" ! key_exists $bits "HKCR\\CLSID\\$clsid"
  check "$bits-bit view: no ASIO key left" ! key_exists $bits 'HKLM\SOFTWARE\ASIO\TelvaraDriver'
  check "$bits-bit view: no uninstall entry left" ! key_exists $bits "$uninstall_key"
done
check "no Start-menu folder left" test ! -e "$startmenu"
check "the 64-bit host no longer lists the driver" ! lists_telvara 64 "$root/build/x64/host/telvara-host.exe"
check "the 32-bit host no longer lists the driver" ! lists_telvara 32 "$root/build/x86/host/telvara-host.exe"
check "the user's config.ini is kept, byte for byte" test "$(sha256sum < "$appdata/ZQV/config.ini" 2>/dev/null)" = "$settings_before"

install
uninstall /RemoveSettings
check "asked to, the uninstaller removes config.ini and its folder" test ! -e "$appdata/ZQV"

# Installing over a running copy: a 64-bit host holds the installed driver
# and the panel runs while the installer runs again, then while the
# uninstaller runs. Each ends with 0, or with 3010 (a restart finishes the
# job) and then the held file is named for the restart; the host is never
# disturbed and nothing is left half installed.
helper=$root/build/x64/tests/endtoend/e2e_helper.exe
# A Windows program's exit code reaches its Unix parent cut to the low 8 bits
# (3010 arrives as 194), so the installer runs from a batch file of the
# prefix, which prints the code whole.
exit_code_of() {  # program [arguments]: prints the program's exit code
  local program; program=$("$wine_loader_x64" winepath -w "$1" 2>/dev/null | tr -d '\r'); shift
  printf '@start /wait "" "%s" %s\r\n@echo %%ERRORLEVEL%%\r\n' "$program" "$*" > "$WINEPREFIX/drive_c/exit-code.cmd"
  timeout 120 "$wine_loader_x86" cmd /c 'C:\exit-code.cmd' </dev/null 2>/dev/null | tr -d '\r' | tail -n 1
  rm -f "$WINEPREFIX/drive_c/exit-code.cmd"
}
pending() {  # the files Windows is to move or delete at the next restart
  w64 reg query 'HKLM\System\CurrentControlSet\Control\Session Manager' /v PendingFileRenameOperations
}
if [ -f "$helper" ]; then
  install
  # The installed copy differs from the one the installer brings, so the
  # replacement shows.
  printf 'previous' >> "$inst/telvara_x64.dll"
  say "a host holds the installed driver"
  "$wine_loader_x64" "$helper" hold 'C:\Program Files\Telvara\telvara_x64.dll' 120 </dev/null >"$work/hold.log" 2>&1 &
  hold_pid=$!
  for _ in $(seq 1 200); do grep -q '^holding' "$work/hold.log" 2>/dev/null && break; sleep 0.1; done
  check "the host has the installed driver loaded" grep -q '^holding' "$work/hold.log"
  panel_pid=
  if [ -n "$panel_built" ]; then
    "$wine_loader_x86" "$inst/telvarapanel.exe" </dev/null >"$work/panel2.log" 2>&1 &
    panel_pid=$!
    sleep 3
  fi
  say "silent install over the running copy"
  rc=$(exit_code_of "$setup" /S)
  check "the installer over a running copy exits with 0 or 3010 (got $rc)" test $rc = 0 -o $rc = 3010
  if [ -n "$panel_pid" ]; then
    for _ in $(seq 1 50); do kill -0 "$panel_pid" 2>/dev/null || break; sleep 0.1; done
    check "the installer closed the running panel" ! kill -0 "$panel_pid" 2>/dev/null
  fi
  check "the host holding the driver still runs" kill -0 "$hold_pid"
  if cmp -s "$inst/telvara_x64.dll" "$(sed -n 's/^TELVARA_DRIVER_x64=//p' build/x64/telvara-package.env)"; then
    check "the new driver is in place; an old copy set aside is deleted at the restart (exit $rc)" \
      bash -c '[ '$rc' = 0 ] || { ls "$1"/telvara_x64.dll.old-* >/dev/null && grep -qi "telvara_x64.dll.old-" <<<"$2"; }' _ "$inst" "$(pending)"
  else
    check "the held driver is replaced at the restart, and the installer said so (exit $rc)" \
      bash -c '[ '$rc' = 3010 ] && grep -qi "telvara_x64.dll.new" <<<"$1"' _ "$(pending)"
  fi
  check "the installed drivers are registered after an install over a running copy" \
    test "$(reg_value 64 "HKCR\\CLSID\\$clsid\\InprocServer32" '(default)')" = "c:\\program files\\telvara\\telvara_x64.dll"
  check "a 64-bit host lists the driver after an install over a running copy" lists_telvara 64 "$root/build/x64/host/telvara-host.exe"

  say "silent uninstall while the host holds the driver"
  timeout 60 "$wine_loader_x86" "$inst/uninstall.exe" /S </dev/null >/dev/null 2>&1
  for _ in $(seq 1 600); do key_exists 64 "$uninstall_key" || break; sleep 0.1; done
  check "the uninstall entry is gone" ! key_exists 64 "$uninstall_key"
  check "the class key is gone though the driver is held" ! key_exists 64 "HKCR\\CLSID\\$clsid"
  check "the host holding the driver still runs after the uninstall" kill -0 "$hold_pid"
  # Each file left in the folder is one Windows deletes at the restart.
  left_over() {
    local list; list=$(pending)
    for f in "$inst"/*; do
      [ -e "$f" ] || continue
      grep -qiF "$(basename "$f")" <<<"$list" || { echo "not scheduled: $f"; return 1; }
    done
  }
  for _ in $(seq 1 100); do [ -e "$inst/uninstall.exe" ] || break; sleep 0.1; done
  check "every file the uninstaller left is deleted at the restart$( [ -e "$inst" ] && echo " (left: $(ls "$inst" | tr '\n' ' '))")" left_over
  kill "$hold_pid" 2>/dev/null; wait "$hold_pid" 2>/dev/null
  rm -rf "$inst"
else
  echo "  SKIP installing over a running copy: $helper is not built"
fi

# 32-bit Windows: only the 32-bit driver, in the one registry there is. A
# 32-bit prefix runs without the persistent server; it is ended at the end.
say "32-bit Windows: a 32-bit prefix"
tools/wine-server.sh stop >/dev/null 2>&1
export WINEPREFIX=$work/prefix32 WINEARCH=win32
timeout 300 "$wine_loader_x86" wineboot -i </dev/null >/dev/null 2>&1
check "a 32-bit prefix is made" test $? = 0
inst="$WINEPREFIX/drive_c/Program Files/Telvara"
install
check "the 32-bit driver installed" test -f "$inst/telvara_x86.dll"
check "no 64-bit driver on 32-bit Windows" test ! -e "$inst/telvara_x64.dll"
check "the class is served by the installed telvara_x86.dll" \
  test "$(reg_value 32 "HKCR\\CLSID\\$clsid\\InprocServer32" '(default)')" = "c:\\program files\\telvara\\telvara_x86.dll"
check "the 32-bit host lists the driver" lists_telvara 32 "$root/build/x86/host/telvara-host.exe"
check "the uninstall entry has the version" test "$(reg_value 32 "$uninstall_key" DisplayVersion)" = "$version"
uninstall
check "no class key left" ! key_exists 32 "HKCR\\CLSID\\$clsid"
check "no ASIO key left" ! key_exists 32 'HKLM\SOFTWARE\ASIO\TelvaraDriver'
check "no uninstall entry left" ! key_exists 32 "$uninstall_key"
timeout 20 /usr/lib/wine/wineserver -k >/dev/null 2>&1

say "$failures failed"
# The prefixes stay for a look only when something failed.
[ $failures = 0 ] && rm -rf "$work/prefix" "$work/prefix32"
[ $failures = 0 ]
