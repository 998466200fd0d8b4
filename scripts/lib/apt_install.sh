# Sourced by the scripts that install Debian packages. apt_install PKG... refreshes the package
# lists and installs the packages, as root or through sudo.
#
# A mirror caught mid-sync serves one index of a different size from what its Release file
# says, and apt-get update then fails as a whole, although every other index is fresh and the
# packages asked for are usually found. So a failed update is tried again, and after the last
# try the install goes on with the lists it has: if a package truly cannot be found, the install
# itself fails and says which.
apt_install() {
    local sudo_cmd="" try
    [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
    for try in 1 2 3; do
        $sudo_cmd apt-get update -q && break
        if ((try < 3)); then
            echo "apt-get update failed (try $try of 3), trying again in $((try * 10)) s"
            sleep $((try * 10))
        else
            echo "apt-get update failed 3 times: installing from the package lists as they are"
        fi
    done
    DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -q "$@"
}
