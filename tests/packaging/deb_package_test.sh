#!/usr/bin/env bash
# Usage: deb_package_test.sh SOURCE_DIR PRESET ARCH
# Builds the package with the configure preset PRESET, unpacks it into a scratch root and
# checks its files, its control data and its systemd unit there.
set -euo pipefail
readonly src=$1 preset=$2 arch=$3
scratch=$(mktemp -d "${TMPDIR:-/tmp}/quillferry-deb.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

if ! (cd "$src" && cmake --preset "$preset" -B "$scratch/build" -DQUILLFERRY_TESTS=OFF &&
    cmake --build "$scratch/build" --parallel 2 &&
    cpack --config "$scratch/build/CPackConfig.cmake" -B "$scratch/out") >"$scratch/log" 2>&1; then
    cat "$scratch/log"
    fail "cannot build the package"
fi
debs=("$scratch"/out/quillferry_*_"$arch".deb)
readonly deb=${debs[0]} root=$scratch/root
[[ -f $deb ]] || fail "no $arch package in: $(ls "$scratch/out")"
dpkg-deb -x "$deb" "$root"

for f in usr/sbin/quillferry usr/bin/quillferry-ctl usr/bin/quillferry-sim usr/lib/quillferry/board-sandbox; do
    [[ -f $root/$f && -x $root/$f ]] || fail "$f is missing or not executable"
done
unit=$root/usr/lib/systemd/system/quillferry.service
[[ -f $unit && -f $root/etc/default/quillferry ]] || fail "the unit or /etc/default/quillferry is missing"
grep -qx 'EnvironmentFile=-/etc/default/quillferry' "$unit" || fail "the unit reads another environment file"
# The commented default must be the daemon's compiled one.
default=$(sed -n 's/.*kDefaultDnsSearch = "\(.*\)";/\1/p' "$src/src/core/constants.h")
grep -qx "#QUILLFERRY_DNS_SEARCH=$default" "$root/etc/default/quillferry" ||
    fail "/etc/default/quillferry does not show the default $default"
! grep -q '^[^#]' "$root/etc/default/quillferry" || fail "/etc/default/quillferry sets something"

[[ $(dpkg-deb -f "$deb" Architecture) == "$arch" ]] || fail "not an $arch package"
depends=", $(dpkg-deb -f "$deb" Depends),"
for d in libc6 libjsoncpp25 libstdc++6 ifupdown iproute2; do
    [[ $depends == *", $d"[\ ,]* ]] || fail "Depends lacks $d:$depends"
done
[[ $(dpkg-deb --ctrl-tarfile "$deb" | tar -xOf - ./conffiles) == /etc/default/quillferry ]] ||
    fail "/etc/default/quillferry is not the one conffile"

# Verified as on a system: the unit, its binary and the machine's own systemd targets.
mkdir -p "$root/etc/systemd/system"
cp /usr/lib/systemd/system/*.target "$root/etc/systemd/system/"
out=$(systemd-analyze verify --root="$root" quillferry.service 2>&1) || fail "systemd-analyze verify: $out"
[[ -z $out ]] || fail "systemd-analyze verify: $out"
echo "the $arch package is complete"
