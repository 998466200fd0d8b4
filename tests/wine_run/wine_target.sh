# Sourced first by the Wine tests: the Windows build that scripts/wine.sh chose for this machine,
# read from $MERIX_WINE_DIR/target.env. Sets MERIX_WINE_CROSS (that build's directory), wine (the
# loader to run) and Wine's environment, or skips the test (exit 77) when a piece is missing.

skip() {
    echo "SKIPPED: $*"
    exit 77
}

target_env="${MERIX_WINE_DIR:-}/target.env"
[ -f "$target_env" ] || skip "no Wine target in '${MERIX_WINE_DIR:-}' (scripts/wine.sh setup)"
# shellcheck source=/dev/null
. "$target_env"
echo "$MERIX_WINE_BANNER"
wine="$MERIX_WINE"
[ -x "$(command -v "$wine")" ] || skip "$wine is not installed (scripts/wine.sh setup)"
[ -f "$WINEPREFIX/system.reg" ] || skip "no Wine prefix at '$WINEPREFIX' (scripts/wine.sh prefix)"
