# Sourced by the scripts that run Windows programs under Wine: wine_server_start
# makes the prefix $WINEPREFIX when it is missing (about 15 s) and starts one
# persistent wineserver for the run, which the caller ends with
# `wineserver -k` (a trap on EXIT).
wine_server_start() {
    export WINEARCH=win64 WINEDEBUG=-all
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "$(basename "$0"): creating the Wine prefix $WINEPREFIX"
        # Without .NET and HTML engines: flint needs neither, and their installers
        # would only be looked for.
        WINEDLLOVERRIDES="mscoree,mshtml=" wineboot --init >/dev/null 2>&1
        wineserver -w   # the server writes the new prefix's registry when it ends
    fi
    # One server for all cases, so each program starts in a fraction of a second
    # (a server left running by an earlier run of this prefix is ended first).
    wineserver -k >/dev/null 2>&1 || true
    wineserver -p >/dev/null 2>&1 </dev/null
    wineboot >/dev/null 2>&1 || true   # wait for the prefix's services
}
