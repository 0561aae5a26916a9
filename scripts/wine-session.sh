# Sourced by the scripts that run Windows programs under Wine.
#   kit_wine_start  makes a private prefix and a persistent wineserver for this run
#   kit_wine_stop   ends the server and removes the prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

kit_wine_prepare_prefix() {
  if [[ ! -f $WINEPREFIX/system.reg ]]; then
    mkdir -p "$WINEPREFIX"
    wineboot -i >/dev/null 2>&1
    wineserver -w
  fi
}

kit_wine_start() {
  KIT_WINE_PREFIX_OWNED=$(mktemp -d "${TMPDIR:-/tmp}/kit-wine.XXXXXX")
  export WINEPREFIX=$KIT_WINE_PREFIX_OWNED
  kit_wine_prepare_prefix
  # Keep one server for the whole run: a cold start costs about a second per program.
  wineserver -p
}

kit_wine_stop() {
  if [[ -n ${KIT_WINE_PREFIX_OWNED:-} ]]; then
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
    rm -rf "$KIT_WINE_PREFIX_OWNED"
    unset KIT_WINE_PREFIX_OWNED WINEPREFIX
  fi
}
