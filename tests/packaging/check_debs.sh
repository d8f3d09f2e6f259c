#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Usage: check_debs.sh SOURCE_DIR DEB_DIR ARCH [REBUILD_DIR]
# Checks the packages that tools/build-debs left in DEB_DIR for ARCH: lintian without
# errors or warnings, hardened binaries, each package's files, control data and
# maintainer scripts, the unit as systemd reads it and how exposed it is. With
# REBUILD_DIR (a second build of the same tree), every package must be identical.
set -euo pipefail
readonly src=$1 dir=$2 arch=$3 rebuild=${4-}
scratch=$(mktemp -d "${TMPDIR:-/tmp}/quillferry-debcheck.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

version=$(sed -n 's/^project(quillferry VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")
deb() { echo "$dir/${1}_${version}_$arch.deb"; }
packages=(quillferry quillferry-ctl quillferry-exporter quillferry-sim libquillferry-client0
    libquillferry-client-dev)
for p in "${packages[@]}"; do
    [[ -f $(deb "$p") ]] || { echo "FAIL: no $(deb "$p") (the changelog's version is not $version?)" >&2; exit 1; }
    [[ $(dpkg-deb -f "$(deb "$p")" Architecture) == "$arch" ]] || fail "$p is not an $arch package"
    dpkg-deb -x "$(deb "$p")" "$scratch/$p"
done
# The Ansible collection is Python, one package for every architecture.
ansible_deb=$dir/quillferry-ansible_${version}_all.deb
[[ -f $ansible_deb ]] || { echo "FAIL: no $ansible_deb" >&2; exit 1; }
dpkg-deb -x "$ansible_deb" "$scratch/quillferry-ansible"

# lintian: informational tags are listed in the README, anything worse fails.
if ! out=$(lintian --fail-on error,warning --display-info "$dir/quillferry_${version}_$arch.changes" 2>&1); then
    fail "lintian: $out"
fi

# Every binary with the distribution's hardening. Control-flow protection is compiled
# in but cannot be marked: Debian 12's C start files carry no CET or BTI marking. The client
# library is compiled with _FORTIFY_SOURCE too, but every call it makes that has a checked
# form (memcpy, read, recv, poll, ...) takes a size known only at run time, so no checked
# function can be seen in it.
while IFS= read -r -d '' f; do
    if file -b "$f" | grep -q '^ELF'; then
        nofortify=()
        [[ $f != */libquillferry-client.so.* ]] || nofortify=(--nofortify)
        out=$(hardening-check --nocfprotection "${nofortify[@]}" "$f" 2>/dev/null) ||
            fail "hardening-check: $out"
    fi
done < <(find "$scratch" -type f -print0)

# Each package holds exactly its files: the service only in quillferry, so that a
# workstation with the client or the simulator never gets it.
expect_files() {
    local p=$1 actual
    shift
    actual=$(cd "$scratch/$p" && find . ! -type d ! -path './usr/share/doc/*' | sed 's|^\.||' | sort)
    [[ $actual == "$(printf '%s\n' "$@" | sort)" ]] ||
        fail "$p holds other files than expected:"$'\n'"$actual"
}
expect_files quillferry /etc/default/quillferry /lib/systemd/system/quillferry.service \
    /usr/lib/tmpfiles.d/quillferry.conf /usr/sbin/quillferry /usr/share/man/man8/quillferry.8.gz
expect_files quillferry-ctl /usr/bin/quillferry-ctl /usr/share/man/man1/quillferry-ctl.1.gz \
    /lib/systemd/system/quillferry-metrics.service /lib/systemd/system/quillferry-metrics.timer
expect_files quillferry-exporter /etc/default/quillferry-exporter \
    /lib/systemd/system/quillferry-exporter.service /usr/bin/quillferry-exporter \
    /usr/lib/sysusers.d/quillferry-exporter.conf /usr/share/man/man1/quillferry-exporter.1.gz
for f in prometheus-quillferry.yml quillferry-exporter-rules.yml quillferry-dashboard.json \
    web-config.example.yml; do
    [[ -f $scratch/quillferry-exporter/usr/share/doc/quillferry-exporter/examples/$f ]] ||
        fail "quillferry-exporter lacks the example $f"
done
collection=/usr/share/ansible/collections/ansible_collections/quillferry/board
expect_files quillferry-ansible "$collection/README.md" "$collection/galaxy.yml" \
    "$collection/meta/runtime.yml" "$collection/plugins/module_utils/quillferry_ctl.py" \
    "$collection/plugins/doc_fragments/line.py" \
    "$collection/plugins/modules/facts.py" "$collection/plugins/modules/netconf.py" \
    /usr/share/lintian/overrides/quillferry-ansible
# The client library: the versioned library alone, and what programs on it are built with.
multiarch=$(dpkg-architecture -a"$arch" -qDEB_HOST_MULTIARCH 2>/dev/null)
lib=/usr/lib/$multiarch
expect_files libquillferry-client0 "$lib/libquillferry-client.so.0" "$lib/libquillferry-client.so.$version"
expect_files libquillferry-client-dev "$lib/libquillferry-client.so" \
    "$lib/pkgconfig/quillferry-client.pc" "$lib/cmake/QuillFerryClient/QuillFerryClientConfig.cmake" \
    "$lib/cmake/QuillFerryClient/QuillFerryClientConfigVersion.cmake" \
    "$lib/cmake/QuillFerryClient/QuillFerryClientTargets.cmake" \
    "$lib/cmake/QuillFerryClient/QuillFerryClientTargets-none.cmake" \
    /usr/include/quillferry/{address,client,export,line,reply,request}.h \
    /usr/share/doc-base/libquillferry-client-dev.libquillferry-client
devdoc=$scratch/libquillferry-client-dev/usr/share/doc/libquillferry-client-dev
for f in html/index.html html/namespaceqfclient.html examples/CMakeLists.txt examples/probe.cpp \
    examples/fleet_stat.cpp; do
    [[ -f $devdoc/$f ]] || fail "libquillferry-client-dev lacks $f"
done
[[ $(readelf -d "$scratch/libquillferry-client0$lib/libquillferry-client.so.$version" |
    sed -n 's/.*Library soname: \[\(.*\)\]/\1/p') == libquillferry-client.so.0 ]] ||
    fail "libquillferry-client's soname is not libquillferry-client.so.0"
# Only its API is exported (the namespace qfclient), nothing of the daemon's, the protocol's or
# the C++ library's; and the symbols file lists it.
exported=$(nm -D --defined-only -C "$scratch/libquillferry-client0$lib/libquillferry-client.so.$version" |
    cut -d' ' -f3- | grep -vE '^((typeinfo|typeinfo name|vtable) for )?qfclient::' || true)
[[ -z $exported ]] || fail "libquillferry-client exports more than its API:"$'\n'"$exported"
dpkg-deb --ctrl-tarfile "$(deb libquillferry-client0)" | tar -t | grep -x './symbols' >/dev/null ||
    fail "libquillferry-client0 has no symbols file"
expect_files quillferry-sim /usr/bin/quillferry-sim /usr/lib/quillferry/board-sandbox \
    /usr/lib/quillferry/board-facts \
    /usr/lib/quillferry/quillferry /usr/share/man/man1/quillferry-sim.1.gz

depends() {
    local f
    f=$(deb "$1")
    [[ $1 != quillferry-ansible ]] || f=$ansible_deb
    echo ", $(dpkg-deb -f "$f" Depends),"
}
needs() {
    local p=$1 d all
    all=$(depends "$p")
    shift
    for d in "$@"; do [[ $all == *", $d"[\ ,]* ]] || fail "$p does not depend on $d:$all"; done
}
needs quillferry libjsoncpp25 ifupdown iproute2
needs quillferry-ctl libquillferry-client0 libjsoncpp25
needs libquillferry-client0 libjsoncpp25 libtelnet2 libssh-4 libssl3 libc-ares2
needs libquillferry-client-dev libquillferry-client0 libjsoncpp-dev
needs quillferry-sim quillferry-ctl bubblewrap socat ifupdown iproute2 libjsoncpp25
needs quillferry-exporter libquillferry-client0 libjsoncpp25 libmicrohttpd12 libgnutls30 libyaml-0-2 libcrypt1
needs quillferry-ansible quillferry-ctl "ansible-core | ansible"
for p in quillferry-ctl quillferry-exporter quillferry-sim; do
    [[ $(depends "$p") != *", quillferry"[\ ,]* ]] || fail "$p depends on the service's package"
done
! dpkg-deb --ctrl-tarfile "$(deb quillferry-sim)" | tar -t | grep -qE 'post|pre' ||
    fail "quillferry-sim has maintainer scripts"
# The client's metrics job comes disabled: its scripts only keep an operator's choice.
dpkg-deb -e "$(deb quillferry-ctl)" "$scratch/ctl-control"
! grep -qE 'deb-systemd-invoke|_dh_action' "$scratch/ctl-control/postinst" ||
    fail "quillferry-ctl starts its metrics job on installation"
grep -q "was-enabled 'quillferry-metrics.timer'" "$scratch/ctl-control/postinst" ||
    fail "quillferry-ctl's postinst does not keep the timer's state"
# The exporter too comes disabled, and its user is made on installation.
dpkg-deb -e "$(deb quillferry-exporter)" "$scratch/exporter-control"
! grep -qE 'deb-systemd-invoke|_dh_action' "$scratch/exporter-control/postinst" ||
    fail "quillferry-exporter starts its service on installation"
grep -q "was-enabled 'quillferry-exporter.service'" "$scratch/exporter-control/postinst" ||
    fail "quillferry-exporter's postinst does not keep the service's state"
grep -q 'systemd-sysusers .*quillferry-exporter.conf' "$scratch/exporter-control/postinst" ||
    fail "quillferry-exporter's postinst does not make its user"
[[ $(cat "$scratch/exporter-control/conffiles") == /etc/default/quillferry-exporter ]] ||
    fail "quillferry-exporter's conffiles: $(cat "$scratch/exporter-control/conffiles")"

# The service's package: one conffile, the unit enabled, started and restarted on
# upgrade by debhelper's scripts, the marker folder made on installation.
ctrl=$scratch/control
dpkg-deb -e "$(deb quillferry)" "$ctrl"
[[ $(cat "$ctrl/conffiles") == /etc/default/quillferry ]] || fail "conffiles: $(cat "$ctrl/conffiles")"
grep -q 'deb-systemd-helper enable' "$ctrl/postinst" || fail "postinst does not enable the unit"
grep -q '_dh_action=restart' "$ctrl/postinst" || fail "postinst does not (re)start the unit"
grep -q 'systemd-tmpfiles .*--create quillferry.conf' "$ctrl/postinst" || fail "postinst does not make the marker folder"
grep -q 'deb-systemd-helper purge' "$ctrl/postrm" || fail "postrm does not forget the unit on purge"
state=$(sed -n 's/.*kStateDir = "\(.*\)";/\1/p' "$src/src/core/constants.h")
grep -q "rm -rf $state\$" "$ctrl/postrm" || fail "postrm does not remove the daemon's state $state on purge"

root=$scratch/quillferry
default=$(sed -n 's/.*kDefaultDnsSearch = "\(.*\)";/\1/p' "$src/src/core/constants.h")
grep -qx "#QUILLFERRY_DNS_SEARCH=$default" "$root/etc/default/quillferry" ||
    fail "/etc/default/quillferry does not show the default $default"
! grep -q '^[^#]' "$root/etc/default/quillferry" || fail "/etc/default/quillferry sets something"

# The unit as systemd reads it (with the machine's targets; the unpacked root has no
# systemd-tmpfiles and no man), and how exposed it is.
unit=$root/lib/systemd/system/quillferry.service
grep -qx 'EnvironmentFile=-/etc/default/quillferry' "$unit" || fail "the unit reads another environment file"
# A stop waits for the request in progress: ifdown and ifup at their default time limit, and
# for a verified apply the gateway check and both again to put the previous one back.
limit=$(sed -n 's/^#QUILLFERRY_IFUP_TIMEOUT=//p' "$root/etc/default/quillferry")
check=$(sed -n 's/.*kVerifyGatewayMaxSec = \([0-9]*\);/\1/p' "$src/src/protocol/wire.h")
stop=$(sed -n 's/^TimeoutStopSec=//p' "$unit")
if [[ -z $limit || -z $check || -z $stop ]] || ((stop < 4 * limit + check + 30)); then
    fail "TimeoutStopSec=${stop:-(none)} does not cover four runs of ifdown and ifup at ${limit:-?} s and a gateway check of ${check:-?} s"
fi
# The stop's SIGTERM for the daemon alone, which finishes an apply; its commands and their
# hooks are not to be stopped half-way.
grep -qx 'KillMode=mixed' "$unit" || fail "the unit's stop does not spare the daemon's commands (KillMode=mixed)"
# The daemon's state folder, which only systemd can make writable.
grep -qx "StateDirectory=${state#/var/lib/}" "$unit" || fail "the unit does not give the daemon $state"
mkdir -p "$root/etc/systemd/system"
cp /lib/systemd/system/*.target "$root/etc/systemd/system/"
out=$(systemd-analyze verify --root="$root" quillferry.service 2>&1 |
    grep -v -e 'Command systemd-tmpfiles is not executable' -e "'man quillferry(8)'" || true)
[[ -z $out ]] || fail "systemd-analyze verify: $out"
ctlroot=$scratch/quillferry-ctl
mkdir -p "$ctlroot/etc/systemd/system"
cp /lib/systemd/system/*.target "$ctlroot/etc/systemd/system/"
# The job's clean-up after a failed run is a shell of the system's, not of the package.
out=$(systemd-analyze verify --root="$ctlroot" quillferry-metrics.service quillferry-metrics.timer 2>&1 |
    grep -v -e "'man quillferry-ctl(1)'" -e 'Command /bin/sh is not executable' || true)
[[ -z $out ]] || fail "systemd-analyze verify (metrics job): $out"
exproot=$scratch/quillferry-exporter
mkdir -p "$exproot/etc/systemd/system"
cp /lib/systemd/system/*.target "$exproot/etc/systemd/system/"
out=$(systemd-analyze verify --root="$exproot" quillferry-exporter.service 2>&1 |
    grep -v -e "'man quillferry-exporter(1)'" -e 'Command /bin/kill is not executable' || true)
[[ -z $out ]] || fail "systemd-analyze verify (exporter): $out"
expexposure=$(systemd-analyze security --offline=true --root="$exproot" quillferry-exporter.service 2>&1 |
    sed -n 's/.*Overall exposure level for quillferry-exporter.service: \([0-9.]*\).*/\1/p')
if [[ -z $expexposure ]] || ! awk -v e="$expexposure" 'BEGIN { exit !(e <= 2.0) }'; then
    fail "systemd-analyze security rates the exporter's unit ${expexposure:-(no rating)}, more than 2.0"
fi
exposure=$(systemd-analyze security --offline=true --root="$root" quillferry.service 2>&1 |
    sed -n 's/.*Overall exposure level for quillferry.service: \([0-9.]*\).*/\1/p')
if [[ -z $exposure ]] || ! awk -v e="$exposure" 'BEGIN { exit !(e <= 3.5) }'; then
    fail "systemd-analyze security rates the unit ${exposure:-(no rating)}, more than 3.5"
fi

if [[ -n $rebuild ]]; then
    for f in "$dir"/*.deb; do
        cmp -s "$f" "$rebuild/${f##*/}" || fail "${f##*/} differs between two builds"
    done
fi

((failures == 0)) || exit 1
echo "check_debs: the $arch packages pass (unit exposure $exposure, exporter's $expexposure)"
