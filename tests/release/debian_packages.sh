# shellcheck shell=bash
# The Debian packages, sourced by release_test.sh (which defines fail, skip and expect_files):
# the three packages, what each holds, their dependencies, their changelogs, that they install
# side by side and work together, and lintian's verdict.

# The files and links of a package, one path a line, without directories.
deb_files() { # DEB
    dpkg-deb -c "$1" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./||' | sort
}

# Usage: check_debian_packages PACKAGE_DIR VERSION WORK_DIR
check_debian_packages() {
    local dir=$1 version=$2 work=$3 deb name
    local -A debs=()
    for name in libmerix0 libmerix-dev merix-tools; do
        deb=$(ls "$dir/${name}_${version}"-*.deb 2>/dev/null) || true
        if [ -z "$deb" ] || [ "$(wc -l <<<"$deb")" -ne 1 ]; then
            fail "no single Debian package $name ${version}-*"
            return
        fi
        debs[$name]=$deb
        deb_files "$deb" >"$work/$name.txt"
    done
    local count
    count=$(find "$dir" -maxdepth 1 -name '*.deb' | wc -l)
    ((count == 3)) || fail "cpack made $count Debian packages, not 3: $(ls "$dir"/*.deb)"

    # The library package holds the two libraries under their SONAMEs and nothing to build with.
    printf '%s\n' usr/lib/libmerix.so.0 "usr/lib/libmerix.so.$version" usr/lib/libqorlib.so.0 \
        "usr/lib/libqorlib.so.$version" usr/share/doc/libmerix0/changelog.Debian.gz \
        usr/share/doc/libmerix0/copyright | sort >"$work/libmerix0.expected"
    diff -u "$work/libmerix0.expected" "$work/libmerix0.txt" ||
        fail "libmerix0 holds other files than the libraries and its copyright and changelog"
    expect_files "$work/libmerix-dev.txt" libmerix-dev usr/lib/libmerix.so usr/lib/libqorlib.so \
        usr/include/merix/vpi.h usr/include/merix/qorlib.h usr/include/merix/statistics_gates.h \
        usr/include/merix/qorlib_control.h usr/include/merix/version.h usr/lib/cmake/merix/merixConfig.cmake \
        usr/lib/cmake/merix/merixConfigVersion.cmake usr/lib/cmake/merix/merixTargets.cmake \
        usr/lib/pkgconfig/merix.pc usr/share/doc/libmerix-dev/copyright \
        usr/share/doc/libmerix-dev/changelog.Debian.gz
    local doc=usr/share/doc/merix-tools
    expect_files "$work/merix-tools.txt" merix-tools usr/bin/merixhost usr/bin/h51sim \
        usr/share/man/man1/merixhost.1.gz usr/share/man/man1/h51sim.1.gz \
        $doc/copyright $doc/changelog.Debian.gz $doc/changelog.gz $doc/README.md \
        $doc/docs/merixhost.md $doc/docs/h51sim.md $doc/docs/host-interface.md $doc/examples/MERIX01.INI $doc/examples/plant.gates \
        usr/share/merix/demo/demo.gates usr/share/merix/demo/demo-plant.json \
        usr/share/merix/wireshark/merix.lua
    # dpkg refuses to install a package with a file that another one already holds.
    local shared
    shared=$(sort "$work"/libmerix0.txt "$work"/libmerix-dev.txt "$work"/merix-tools.txt | uniq -d)
    [ -z "$shared" ] || fail "files in more than one package: $shared"

    for name in libmerix0 libmerix-dev merix-tools; do
        deb=${debs[$name]}
        local deb_version depends log
        deb_version=$(dpkg-deb -f "$deb" Version)
        depends=$(dpkg-deb -f "$deb" Depends)
        echo "$name $deb_version: Depends: $depends"
        # The newest changelog entry is the package's version: a new release needs a new entry.
        log=$work/$name.changelog
        dpkg-deb --fsys-tarfile "$deb" |
            tar -xO "./usr/share/doc/$name/changelog.Debian.gz" | gzip -dc >"$log" || true
        [ "$(dpkg-parsechangelog -l "$log" -S Version 2>/dev/null)" = "$deb_version" ] ||
            fail "$name: its changelog's newest entry is not $deb_version" \
                "(packaging/debian/changelog)"
        case $name in
        libmerix0)
            [[ $depends == *libc6* ]] || fail "libmerix0 declares no dependency on libc6"
            dpkg-deb -I "$deb" triggers 2>/dev/null | grep -qx "activate-noawait ldconfig" ||
                fail "libmerix0 does not activate the ldconfig trigger"
            dpkg-deb -I "$deb" shlibs 2>/dev/null | grep -qx "libmerix 0 libmerix0 (>= $version)" ||
                fail "libmerix0's shlibs does not name it for libmerix.so.0"
            ;;
        *)
            [[ $depends == *"libmerix0 (= $deb_version)"* ]] ||
                fail "$name does not depend on libmerix0 (= $deb_version)"
            ;;
        esac
    done

    # Unpacked side by side, the tools start and merixhost loads the packaged driver.
    local root=$work/deb-root
    for name in libmerix0 libmerix-dev merix-tools; do
        dpkg-deb -x "${debs[$name]}" "$root"
    done
    local tool out
    for tool in merixhost h51sim; do
        out=$("$root/usr/bin/$tool" --version 2>&1) || true
        [ "$out" = "$tool $version" ] || fail "the packaged $tool --version printed '$out'"
    done
    out=$("$root/usr/bin/merixhost" --plain --port "$work/no-such-port" \
        --gates "$root/$doc/examples/plant.gates" 2>&1) || true
    [[ $out == *"from $root/usr/bin/../lib/libmerix.so.0"* ]] ||
        fail "the packaged merixhost did not load the packaged driver: $out"

    if command -v lintian >/dev/null; then
        # Errors fail; warnings are listed (the README says why each is left).
        local report status=0
        report=$(lintian --fail-on error "${debs[@]}" 2>&1) || status=$?
        grep -v "root privileges" <<<"$report" || true
        ((status == 0)) || fail "lintian reports errors (exit status $status)"
    else
        skip "lintian is not installed (scripts/deps.sh installs it)"
    fi
}
