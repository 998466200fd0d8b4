#!/usr/bin/env bash
# The 32-bit Windows build under Wine: installs MinGW-w64 and Wine where missing, cross-builds
# merix.dll with its test host, and prepares a Wine prefix whose COM1 is the pseudo-terminal of
# an h51sim that the Wine tests run natively.
#
# Usage: scripts/wine.sh [install | build | prefix | start | stop | setup | test [DIR] | all [DIR]]
#   install  Debian packages: g++-mingw-w64-i686, googletest, wine and wine32:i386 (adds the
#            i386 architecture)
#   build    the mingw-i686 preset: merix.dll, QORLIB.dll, merixhost.exe, the test host and
#            the unit tests
#   prefix   a fresh 32-bit prefix in build/wine/prefix, COM1 mapped to build/wine/com1
#   start    a persistent Wine server and its services, detached from our output: ctest would
#            otherwise wait on the pipes they inherit, for seconds per test or for ever
#   stop     ends the Wine server of the prefix
#   setup    install, build, prefix, start: what the test suite needs before its ctest runs
#   test     the Wine-labelled tests of a native build DIR (default build/asan, which must
#            have h51sim built), between start and stop
#   all      (default) install, build, prefix, then test
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"

cross="$root/build/mingw-i686"
wine_dir="$root/build/wine"
export WINEPREFIX="$wine_dir/prefix"
export WINEARCH=win32
export WINEDEBUG=-all
# No Mono or Gecko: nothing here needs them, and their installers would ask for a download.
export WINEDLLOVERRIDES="mscoree,mshtml="
# The serial line of the prefix: h51sim creates this link to its pseudo-terminal.
com1_link="$wine_dir/com1"

sudo_cmd=""
[ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"

installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

do_install() {
    local missing=() p
    # googletest: the sources, from which the unit tests get a GoogleTest for MinGW.
    for p in g++-mingw-w64-i686 googletest wine wine32:i386; do
        installed "$p" || missing+=("$p")
    done
    ((${#missing[@]})) || return 0
    echo "installing: ${missing[*]}"
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        $sudo_cmd dpkg --add-architecture i386
    fi
    $sudo_cmd apt-get update -q
    DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -q --no-install-recommends \
        "${missing[@]}"
}

do_build() {
    # A build directory configured before the toolchain file set its compiler flags needs a
    # fresh configuration to take them.
    local fresh=()
    if [ -f "$cross/CMakeCache.txt" ] &&
        ! grep -q '^CMAKE_CXX_FLAGS:STRING=.*-mfpmath=sse' "$cross/CMakeCache.txt"; then
        fresh=(--fresh)
    fi
    cmake --preset mingw-i686 "${fresh[@]}" >/dev/null
    # Only what runs under Wine: the native tools of the tree (h51sim) are not for Windows.
    cmake --build --preset mingw-i686 -j"$(nproc)" --target merix qorlib merix_wine_host \
        merix_unit_tests_win32 merixhost
    echo "== $(basename "$cross")/merix.dll"
    i686-w64-mingw32-objdump -p "$cross/merix.dll" |
        awk '/DLL Name:/ {print "  imports", $3} /^\[Ordinal\/Name Pointer\] Table/ {e=1; next}
             e && /^\t\[/ {print "  exports", $NF} e && !/^\t\[/ {e=0}'
}

do_stop() {
    if command -v wineserver >/dev/null && [ -d "$WINEPREFIX" ]; then
        wineserver -k 2>/dev/null || true
        wineserver -w 2>/dev/null || true
    fi
}

do_prefix() {
    command -v wine >/dev/null || { echo "wine is not installed: scripts/wine.sh install"; exit 1; }
    do_stop
    rm -rf "$WINEPREFIX"
    mkdir -p "$wine_dir"
    echo "== creating $WINEPREFIX"
    wineboot -i </dev/null >"$wine_dir/wineboot.log" 2>&1
    # Wine rewrites hand-made dosdevices links when its server starts; the registry entry is
    # what its mount manager reads to make COM1.
    wine reg add 'HKLM\Software\Wine\Ports' /v COM1 /t REG_SZ /d "$com1_link" /f \
        </dev/null >>"$wine_dir/wineboot.log" 2>&1
    wineserver -k
    wineserver -w
    grep -q "\"COM1\"=\"$com1_link\"" "$WINEPREFIX/system.reg" ||
        { echo "COM1 mapping missing from $WINEPREFIX/system.reg"; exit 1; }
    echo "COM1 -> $com1_link"
}

do_start() {
    command -v wine >/dev/null || { echo "wine is not installed: scripts/wine.sh install"; exit 1; }
    [ -f "$WINEPREFIX/system.reg" ] || do_prefix
    # /dev/null and setsid: neither the server nor the services that the first wine process
    # starts may hold the caller's output open.
    # The server puts itself in the background; it answers 2 when one runs already.
    wineserver -p </dev/null >/dev/null 2>&1 || true
    setsid wine cmd /c exit </dev/null >/dev/null 2>&1
    echo "Wine server running for $WINEPREFIX"
}

do_test() {
    local build="${1:-$root/build/asan}"
    trap do_stop EXIT
    do_start
    ctest --test-dir "$build" -L wine --output-on-failure -V
}

command="${1:-all}"
shift || true
case "$command" in
install) do_install ;;
build) do_build ;;
prefix) do_prefix ;;
start) do_start ;;
stop) do_stop ;;
setup)
    do_install
    do_build
    do_prefix
    do_start
    ;;
test) do_test "$@" ;;
all)
    do_install
    do_build
    do_prefix
    do_test "$@"
    ;;
*)
    awk 'NR > 1 && !/^#/ {exit} NR > 1 {print}' "$0"
    exit 2
    ;;
esac
