# Sourced by the Wine scripts: the project's own prefix and quiet defaults.
# Never touches ~/.wine.
telvara_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEPREFIX=${TELVARA_WINEPREFIX:-$telvara_root/build/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
# No sound hardware here: keep winmm's ALSA/Pulse probing quiet. No Mono/Gecko
# install dialogs and no desktop menu entries while the prefix is created.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-winealsa.drv,winepulse.drv,mscoree,mshtml,winemenubuilder.exe=d}
wine_loader_x64=/usr/lib/wine/wine64
wine_loader_x86=/usr/lib/wine/wine
wine_server_pidfile=$WINEPREFIX.wineserver.pid
# Written once wineboot has set the prefix up. The registry files appear only
# when a server ends, so they cannot tell a ready prefix while one runs.
wine_prefix_ready=$WINEPREFIX/.telvara-prefix-ready
