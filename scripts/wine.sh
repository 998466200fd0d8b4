#!/usr/bin/env bash
# The Windows build under Wine: installs MinGW-w64 and Wine where missing, cross-builds merix.dll
# with its test host, and prepares a Wine prefix whose COM1 is the pseudo-terminal of an h51sim
# that the Wine tests run natively.
#
# Which build runs under Wine depends on the machine. Where it runs 32-bit programs, the 32-bit
# DLL (the product most hosts load) is tested in a 32-bit prefix. Where the kernel refuses them,
# the 64-bit twin is tested in a 64-bit prefix instead, and the 32-bit DLL is still built and its
# exports and imports checked. MERIX_WINE64=1 takes the 64-bit path on any machine.
#
# Usage: scripts/wine.sh [install | build | prefix | start | stop | setup | test [DIR] | all [DIR]]
#   install  Debian packages: MinGW-w64, googletest and Wine (32-bit: wine32:i386, which adds the
#            i386 architecture; 64-bit: wine64)
#   build    the mingw-i686 preset, and on the 64-bit path the mingw-x86_64 preset too:
#            merix.dll, QORLIB.dll, merixhost.exe, the test host and the unit tests
#   prefix   a fresh prefix in build/wine/prefix (32-bit) or build/wine/prefix64, COM1 mapped to
#            build/wine/com1; writes build/wine/target.env, which the Wine tests read
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
source "$root/scripts/lib/apt_install.sh"
wine_dir="$root/build/wine"

# A 95-byte i386 ELF program that exits with 42, written byte by byte so that no 32-bit toolchain
# is needed to ask the kernel whether it runs 32-bit programs at all (some refuse them:
# "32-bit emulation disabled").
runs_32bit_programs() {
    # In the build tree, not /tmp, which may be mounted noexec.
    local probe="$wine_dir/probe32" status=0
    mkdir -p "$wine_dir"
    {
        printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00'     # ident
        printf '\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08'           # exec, i386, entry
        printf '\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00' # phoff, ehsize
        printf '\x01\x00\x00\x00\x00\x00\x00\x00'                           # one segment
        printf '\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08' # PT_LOAD
        printf '\x5f\x00\x00\x00\x5f\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00' # sizes, r-x
        printf '\xb8\x01\x00\x00\x00\x31\xdb\xb3\x2a\xcd\x80' # exit(42) through int 0x80
    } >"$probe"
    chmod +x "$probe"
    "$probe" 2>/dev/null || status=$?
    rm -f "$probe"
    ((status == 42))
}

installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

# Written when the 32-bit Wine could not be installed (a mirror's i386 index can be broken while
# every amd64 one is fine); it holds apt's reason. It is read only while wine32 is still missing,
# so a later install that succeeds puts the 32-bit path back.
no_wine32="$wine_dir/no-wine32"

# The Windows build that runs under Wine here, and why.
if [ "${MERIX_WINE64:-0}" = 1 ]; then
    bits=64 why="forced by MERIX_WINE64=1"
elif [ -f "$no_wine32" ] && ! installed wine32:i386; then
    bits=64 why="Wine's 32-bit packages could not be installed: $(tail -n 1 "$no_wine32")"
elif runs_32bit_programs; then
    bits=32 why="this machine runs 32-bit programs"
else
    bits=64 why="this machine runs no 32-bit programs"
fi
if ((bits == 32)); then
    preset=mingw-i686
    export WINEPREFIX="$wine_dir/prefix" WINEARCH=win32
    wine=wine
    packages=(g++-mingw-w64-i686 googletest wine wine32:i386)
    banner="Wine: 32-bit build ($why)"
else
    preset=mingw-x86_64
    export WINEPREFIX="$wine_dir/prefix64" WINEARCH=win64
    # Debian's wine command takes the 32-bit loader whenever wine32 is installed.
    wine=/usr/lib/wine/wine64
    export WINELOADER="$wine"
    packages=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 googletest wine wine64)
    banner="Wine: 64-bit twin ($why)"
fi
cross="$root/build/$preset"
export WINEDEBUG=-all
# No Mono or Gecko: nothing here needs them, and their installers would ask for a download.
export WINEDLLOVERRIDES="mscoree,mshtml="
# The serial line of the prefix: h51sim creates this link to its pseudo-terminal.
com1_link="$wine_dir/com1"

sudo_cmd=""
[ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"

do_install() {
    local missing=() p
    # googletest: the sources, from which the unit tests get a GoogleTest for MinGW.
    for p in "${packages[@]}"; do
        installed "$p" || missing+=("$p")
    done
    ((${#missing[@]})) || return 0
    echo "installing: ${missing[*]}"
    mkdir -p "$wine_dir"
    if ((bits == 32)) && ! dpkg --print-foreign-architectures | grep -qx i386; then
        $sudo_cmd dpkg --add-architecture i386
    fi
    if ((bits == 64)); then
        apt_install --no-install-recommends "${missing[@]}"
    elif ! apt_install --no-install-recommends "${missing[@]}" 2>&1 | tee "$no_wine32.log"; then
        # The 32-bit path is the better test, not the only one: the 64-bit twin still builds
        # and checks the 32-bit DLL. Run this same command again on that path.
        { grep '^E:' "$no_wine32.log" | tail -n 1 || echo "apt-get install failed"; } >"$no_wine32"
        echo "merix: WARNING: Wine's 32-bit packages could not be installed; taking the 64-bit path"
        exec "$root/scripts/wine.sh" "${script_args[@]}"
    fi
    rm -f "$no_wine32.log"
}

# Prints a DLL's imports and exports, and fails unless VpiMain is its one export and it imports
# nothing beyond the system DLLs (WS2_32 for the ports behind device servers) and the host's
# QORLIB.dll.
check_dll() {
    local dll="$1" triplet="$2" table
    echo "== ${dll#"$root"/}"
    table="$("$triplet-objdump" -p "$dll" |
        awk '/DLL Name:/ {print "imports", $3} /^\[Ordinal\/Name Pointer\] Table/ {e=1; next}
             e && /^\t\[/ {print "exports", $NF} e && !/^\t\[/ {e=0}')"
    sed 's/^/  /' <<<"$table"
    [ "$(grep '^exports' <<<"$table")" = "exports VpiMain" ] ||
        { echo "$dll must export VpiMain alone"; exit 1; }
    if grep '^imports' <<<"$table" | grep -viqE ' (KERNEL32|msvcrt|WINMM|WS2_32|QORLIB)\.dll$'; then
        echo "$dll imports more than the system DLLs and QORLIB.dll"
        exit 1
    fi
}

# Configures and builds one cross preset's TARGETS.
cross_build() {
    local name="$1" dir="$root/build/$1" fresh=()
    shift
    # A 32-bit build directory configured before the toolchain file set its compiler flags
    # needs a fresh configuration to take them.
    if [ "$name" = mingw-i686 ] && [ -f "$dir/CMakeCache.txt" ] &&
        ! grep -q '^CMAKE_CXX_FLAGS:STRING=.*-mfpmath=sse' "$dir/CMakeCache.txt"; then
        fresh=(--fresh)
    fi
    cmake --preset "$name" "${fresh[@]}" >/dev/null
    cmake --build --preset "$name" -j"$(nproc)" --target "$@"
}

do_build() {
    # Only what runs under Wine: the native tools of the tree (h51sim) are not for Windows.
    local wine_targets=(merix qorlib merix_wine_host merix_unit_tests_win32 merixhost)
    if ((bits == 32)); then
        cross_build mingw-i686 "${wine_targets[@]}"
    else
        # All of it, although only the DLL is checked here: the release test's cpack builds
        # whatever is missing, one file at a time, within the test's time limit.
        cross_build mingw-i686 all
        cross_build mingw-x86_64 "${wine_targets[@]}"
    fi
    check_dll "$root/build/mingw-i686/merix.dll" i686-w64-mingw32
    ((bits == 32)) || check_dll "$cross/merix.dll" x86_64-w64-mingw32
}

do_stop() {
    if command -v wineserver >/dev/null && [ -d "$WINEPREFIX" ]; then
        wineserver -k 2>/dev/null || true
        wineserver -w 2>/dev/null || true
    fi
}

need_wine() {
    [ -x "$(command -v "$wine")" ] || { echo "$wine is not installed: scripts/wine.sh install"; exit 1; }
}

# What the Wine tests of the native build read to find the build, the prefix and the loader.
# Quoted with %q: the banner may carry apt's words, quotes included, and the tests source this.
write_target() {
    mkdir -p "$wine_dir"
    {
        echo "# Written by scripts/wine.sh: the Windows build that the Wine tests run."
        printf 'MERIX_WINE_BANNER=%q\n' "$banner"
        printf 'MERIX_WINE_CROSS=%q\n' "$cross"
        printf 'MERIX_WINE=%q\n' "$wine"
        printf 'export WINEPREFIX=%q WINEARCH=%q WINEDEBUG=-all\n' "$WINEPREFIX" "$WINEARCH"
        printf 'export WINEDLLOVERRIDES=%q\n' "$WINEDLLOVERRIDES"
        ((bits == 32)) || printf 'export WINELOADER=%q\n' "$wine"
    } >"$wine_dir/target.env"
}

do_prefix() {
    need_wine
    do_stop
    rm -rf "$WINEPREFIX"
    mkdir -p "$wine_dir"
    echo "== creating $WINEPREFIX"
    "$wine" wineboot -i </dev/null >"$wine_dir/wineboot.log" 2>&1
    # Wine rewrites hand-made dosdevices links when its server starts; the registry entry is
    # what its mount manager reads to make COM1.
    "$wine" reg add 'HKLM\Software\Wine\Ports' /v COM1 /t REG_SZ /d "$com1_link" /f \
        </dev/null >>"$wine_dir/wineboot.log" 2>&1
    wineserver -k
    wineserver -w
    grep -q "\"COM1\"=\"$com1_link\"" "$WINEPREFIX/system.reg" ||
        { echo "COM1 mapping missing from $WINEPREFIX/system.reg"; exit 1; }
    echo "COM1 -> $com1_link"
    write_target
}

do_start() {
    need_wine
    [ -f "$WINEPREFIX/system.reg" ] || do_prefix
    # /dev/null and setsid: neither the server nor the services that the first wine process
    # starts may hold the caller's output open.
    # The server puts itself in the background; it answers 2 when one runs already.
    wineserver -p </dev/null >/dev/null 2>&1 || true
    setsid "$wine" cmd /c exit </dev/null >/dev/null 2>&1
    echo "Wine server running for $WINEPREFIX"
}

do_test() {
    local build="${1:-$root/build/asan}"
    trap do_stop EXIT
    do_start
    ctest --test-dir "$build" -L wine --output-on-failure -V
}

script_args=("$@")
command="${1:-all}"
shift || true
case "$command" in
install) do_install ;;
build) do_build ;;
prefix) do_prefix ;;
start) do_start ;;
stop) do_stop ;;
setup | all)
    echo "$banner"
    do_install
    do_build
    do_prefix
    if [ "$command" = setup ]; then do_start; else do_test "$@"; fi
    echo "$banner"
    ;;
test) do_test "$@" ;;
*)
    awk 'NR > 1 && !/^#/ {exit} NR > 1 {print}' "$0"
    exit 2
    ;;
esac
