#!/usr/bin/env bash
# Installs a build into a temporary prefix and uses it as a user would: builds a small host with
# find_package(merix) and with pkg-config, runs it and the installed tools, then makes the Debian
# packages (checked by debian_packages.sh) and the Windows zip and checks what they hold. Parts
# whose tools or cross build are missing are skipped with a message, never failed.
# Usage: release_test.sh BUILD_DIR WORK_DIR CONSUMER_SOURCE VERSION CROSS_BUILD_DIR CXX CXXFLAGS LDFLAGS
set -euo pipefail
build=$1 work=$2 consumer=$3 version=$4 cross=$5 cxx=$6 cxxflags=$7 ldflags=$8

rm -rf "$work"
mkdir -p "$work"
prefix=$work/prefix
failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }
skip() { echo "SKIPPED: $*"; }
# shellcheck source-path=SCRIPTDIR source=debian_packages.sh
source "$(dirname "$0")/debian_packages.sh"

# Every name in the list must be among the lines of the listing.
expect_files() { # LISTING_FILE WHAT NAME...
    local listing=$1 what=$2
    shift 2
    for name in "$@"; do
        grep -qxF -- "$name" "$listing" || fail "$what lacks $name"
    done
}

# Every program and DLL under DIR runs on a Windows machine as it comes: each DLL it imports is
# one of the system's (ws2_32.dll for the ports behind device servers), the host's QORLIB.dll, or
# lies beside it. MinGW's runtime is linked into
# each, so a lost -static shows here as an import of libstdc++-6.dll that nothing provides.
check_windows_imports() { # WHAT DIR
    local binary dll
    while IFS= read -r binary; do
        while IFS= read -r dll; do
            case "${dll,,}" in
            kernel32.dll | msvcrt.dll | winmm.dll | ws2_32.dll | qorlib.dll) ;;
            *) [ -f "$(dirname "$binary")/$dll" ] ||
                fail "$1: ${binary#"$2"/} imports $dll, which is neither a system DLL nor beside it" ;;
            esac
        done < <(objdump -p "$binary" | awk '/DLL Name:/ {print $3}')
    done < <(find "$2" -type f \( -iname '*.exe' -o -iname '*.dll' \) | sort)
}

echo "== cmake --install into $prefix"
cmake --install "$build" --prefix "$prefix" >"$work/install.log"
(cd "$prefix" && find . -mindepth 1 | sed 's|^\./||' | sort) >"$work/installed.txt"
expect_files "$work/installed.txt" "the installation" \
    lib/libmerix.so lib/libmerix.so.0 "lib/libmerix.so.$version" lib/libqorlib.so.0 \
    lib/libqorlib.so include/merix/vpi.h include/merix/qorlib.h include/merix/statistics_gates.h \
    include/merix/qorlib_control.h include/merix/version.h lib/cmake/merix/merixConfig.cmake \
    lib/cmake/merix/merixConfigVersion.cmake lib/cmake/merix/merixTargets.cmake \
    lib/pkgconfig/merix.pc bin/merixhost bin/h51sim share/man/man1/merixhost.1.gz \
    share/man/man1/h51sim.1.gz share/doc/merix/README.md share/doc/merix/LICENSE \
    share/doc/merix/CHANGELOG.md share/doc/merix/docs/merixhost.md share/doc/merix/docs/h51sim.md share/doc/merix/docs/host-interface.md \
    share/doc/merix/examples/MERIX01.INI share/doc/merix/examples/plant.gates \
    share/merix/demo/demo.gates share/merix/demo/demo-plant.json share/merix/wireshark/merix.lua
# The Debian packages' own files (copyright, changelogs, their docs) stay out of it.
if grep -E '^share/doc/(libmerix|merix-tools)' "$work/installed.txt"; then
    fail "the installation holds files of the Debian packages"
fi
readelf -d "$prefix/lib/libmerix.so.$version" | grep -q 'SONAME.*\[libmerix\.so\.0\]' ||
    fail "libmerix.so.$version has no SONAME libmerix.so.0"

# The consumer must say that VpiMain came from the installed library, not from the build.
run_consumer() { # WHAT PROGRAM
    local out
    if ! out=$("$2" 2>&1); then
        fail "$1: the consumer failed: $out"
        return
    fi
    echo "$out"
    local from
    from=$(sed -n 's/.*VpiMain from //p' <<<"$out")
    [ "$(realpath "$(dirname "$from")")" = "$(realpath "$prefix/lib")" ] ||
        fail "$1: VpiMain did not come from $prefix/lib"
}

echo "== a host built with find_package(merix)"
if cmake -S "$consumer" -B "$work/cmake-consumer" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_CXX_FLAGS="$cxxflags" \
    -DCMAKE_EXE_LINKER_FLAGS="$ldflags" >"$work/cmake-consumer.log" 2>&1 &&
    cmake --build "$work/cmake-consumer" >>"$work/cmake-consumer.log" 2>&1; then
    run_consumer find_package "$work/cmake-consumer/merix_consumer"
else
    cat "$work/cmake-consumer.log"
    fail "the consumer does not build with find_package(merix)"
fi

echo "== a host built with pkg-config"
if command -v pkg-config >/dev/null; then
    export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
    [ "$(pkg-config --modversion merix)" = "$version" ] || fail "merix.pc has not version $version"
    libdir=$(pkg-config --variable=libdir merix)
    # shellcheck disable=SC2086,SC2046 # the flags are lists of words
    if $cxx -std=c++20 $cxxflags $(pkg-config --cflags merix) "$consumer/consumer.cpp" \
        -o "$work/pkg-config-consumer" $ldflags $(pkg-config --libs merix) \
        -Wl,-rpath,"$libdir" -ldl; then
        run_consumer pkg-config "$work/pkg-config-consumer"
    else
        fail "the consumer does not build with pkg-config"
    fi
else
    skip "pkg-config is not installed (scripts/deps.sh installs it)"
fi

echo "== the installed tools"
for tool in merixhost h51sim; do
    out=$("$prefix/bin/$tool" --version 2>&1) || true
    [ "$out" = "$tool $version" ] || fail "$tool --version printed '$out'"
done
# With the samples but no port to open it gets as far as a ColdStart: it loads the installed
# driver, which reads the sample initialisation file.
examples=$prefix/share/doc/merix/examples
out=$("$prefix/bin/merixhost" --plain --port "$work/no-such-port" --gates "$examples/plant.gates" \
    --ini-dir "$examples" 2>&1) || true
echo "$out"
case "$out" in
*"from $prefix/bin/../lib/libmerix.so.0"*) ;;
*) fail "the installed merixhost did not take the installed driver or refused the sample gates" ;;
esac
case "$out" in
*"illegal line"* | *"not found"*) fail "the driver did not take the sample MERIX01.INI as it is" ;;
*"MERIX> SEND:DTR=1 RTS=0"*) ;;
*) fail "the driver did not read the sample MERIX01.INI" ;;
esac

echo "== the Debian packages"
if command -v dpkg-deb >/dev/null && command -v dpkg-shlibdeps >/dev/null; then
    if cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/deb" >"$work/deb.log" 2>&1; then
        check_debian_packages "$work/deb" "$version" "$work"
    else
        cat "$work/deb.log"
        fail "cpack made no Debian packages"
    fi
else
    skip "the Debian packages: dpkg-deb or dpkg-shlibdeps is missing (scripts/deps.sh installs dpkg-dev)"
fi

echo "== the Windows zip"
if [ -n "$cross" ] && [ -f "$cross/CPackConfig.cmake" ] && [ -f "$cross/merix.dll" ]; then
    if cpack --config "$cross/CPackConfig.cmake" -B "$work/zip" >"$work/zip.log" 2>&1; then
        cat "$work/zip.log"
        zip="$work/zip/merix-$version-windows.zip"
        top="merix-$version-windows"
        cmake -E tar tf "$zip" | sed 's|/$||' >"$work/zip.txt"
        expected=("$top/INSTALL.txt" "$top/LICENSE.txt" "$top/THIRD-PARTY.txt"
            "$top/driver/x86/merix.dll" "$top/merixhost/merixhost.exe"
            "$top/merixhost/merix.dll" "$top/merixhost/QORLIB.dll"
            "$top/README.md" "$top/CHANGELOG.md" "$top/docs/merixhost.md"
            "$top/docs/host-interface.md"
            "$top/samples/MERIX01.INI" "$top/samples/plant.gates" "$top/wireshark/merix.lua")
        if grep -q "the zip takes the 64-bit driver" "$work/zip.log"; then
            expected+=("$top/driver/x64/merix.dll")
        fi
        expect_files "$work/zip.txt" "the Windows zip" "${expected[@]}"
        # The runtime is linked in, so that its DLLs (and their licences) stay out of the zip.
        if grep -iE '/lib(stdc\+\+|gcc_s|winpthread)[^/]*\.dll$' "$work/zip.txt"; then
            fail "the Windows zip holds MinGW runtime DLLs"
        fi
        (cd "$work/zip" && cmake -E tar xf "$zip")
        if command -v objdump >/dev/null; then
            check_windows_imports "the Windows zip" "$work/zip/$top"
        else
            skip "the Windows zip's imports: objdump is missing (binutils)"
        fi
        strings -el "$work/zip/$top/driver/x86/merix.dll" | grep -qxF "$version" ||
            fail "merix.dll has no version resource with $version"
    else
        cat "$work/zip.log"
        fail "cpack made no Windows zip"
    fi
else
    skip "the Windows zip: no cross build in '${cross:-build/mingw-i686}'" \
        "(cmake --preset mingw-i686 && cmake --build --preset mingw-i686)"
fi

if ((failures)); then
    echo "$failures check(s) failed"
    exit 1
fi
echo "release checks passed"
