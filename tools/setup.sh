#!/bin/sh
# Installs the Debian packages that building, running and testing Kelmora and
# its tools need: the one list of them.  As root it installs whatever is
# missing with apt; otherwise it prints the apt command to run and fails.
# Silent and quick when everything is there.
packages="cmake ninja-build g++ libgtest-dev libbenchmark-dev clang libclang-rt-14-dev time
python3-pandas python3-numpy python3-scipy python3-matplotlib python3-netcdf4 python3-xarray python3-pytest parallel"

installed=$(dpkg-query -W -f '${Package} ${Status}\n' $packages 2>/dev/null | awk '/ ok installed$/ {print $1}')
missing=""
for p in $packages; do
    echo "$installed" | grep -qx "$p" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "setup: missing Debian packages; run as root:" >&2
    echo "apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends$missing" >&2
    exit 1
fi
echo "setup: installing$missing" >&2
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq && apt-get install -y -qq --no-install-recommends $missing >/dev/null || {
    echo "setup: apt-get failed to install$missing" >&2
    exit 1
}
