#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Usage: container_test.sh DEB_DIR
# Installs the packages of this machine's architecture from DEB_DIR into a booted Debian
# 12 system (systemd-nspawn on a debootstrap root) and uses the service as a board
# would: a pty at /dev/ttyMSM0, the controller's end at /dev/ttyCTL0, eth0 one end of
# a veth pair in a network namespace of its own. Nothing of this machine's network,
# /etc or /opt is touched.
#
# The root is made once and kept in $QUILLFERRY_CACHE_DIR (default
# ~/.cache/quillferry); each run boots an overlay of it that is thrown away after.
# Exit status: 0 passed, 1 failed, 77 skipped (no container possible here; only when
# the environment variable CI is unset, else that fails).
set -euo pipefail
debs=$(realpath "$1")
arch=$(dpkg --print-architecture)
readonly debs arch
readonly machine=quillferry-test
# What the root holds besides debootstrap's minimal system: systemd, what the packages
# depend on (the container has no way to the archive), procps for ifup's sysctl, and what
# a program on the client library is built with (a compiler, CMake, pkg-config, jsoncpp's
# headers).
readonly include=systemd,systemd-sysv,dbus,ifupdown,iproute2,procps,libjsoncpp25,libtelnet2,libssh-4,libssl3,libc-ares2,bubblewrap,socat,g++,make,cmake,pkgconf,libjsoncpp-dev
cache=${QUILLFERRY_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/quillferry}/bookworm-$arch

cannot() {
    if [[ -n ${CI-} ]]; then
        echo "FAIL: no container for the system test: $*" >&2
        exit 1
    fi
    echo "SKIPPED: no container for the system test: $*" >&2
    exit 77
}
((EUID == 0)) || cannot "systemd-nspawn needs root"
for tool in systemd-nspawn debootstrap socat unshare nsenter; do
    command -v "$tool" >/dev/null || cannot "$tool is missing (tools/install-deps container)"
done

# --- the cached root --------------------------------------------------------------------
if [[ ! -f $cache/.quillferry-root || $(<"$cache/.quillferry-root") != "$include" ]]; then
    echo "container_test: making the Debian 12 root in $cache (once)"
    rm -rf "$cache" "$cache.new"
    mkdir -p "$(dirname "$cache")"
    if ! debootstrap --variant=minbase --include="$include" bookworm "$cache.new" \
        http://deb.debian.org/debian >"$cache.log" 2>&1; then
        tail -20 "$cache.log" >&2
        rm -rf "$cache.new"
        cannot "debootstrap failed (log: $cache.log)"
    fi
    echo "$include" >"$cache.new/.quillferry-root"
    mv "$cache.new" "$cache"
fi

# --- boot -------------------------------------------------------------------------------
work=$(mktemp -d "${TMPDIR:-/tmp}/quillferry-container.XXXXXX")
pids=()
nspawn_pid="" leader=""
cleanup() {
    # Killing the container's init ends its pid namespace; nspawn then exits and its
    # mount and network namespaces (overlay, veth) go with it.
    [[ -z $leader ]] || kill -KILL "$leader" 2>/dev/null || true
    [[ -z $nspawn_pid ]] || wait "$nspawn_pid" 2>/dev/null || true
    local pid
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

mkdir -p "$work"/{upper/root/debs,upper/usr/bin,lower-work,root}
for p in quillferry quillferry-ctl quillferry-sim libquillferry-client0 libquillferry-client-dev; do
    cp "$debs/${p}_"*"_$arch.deb" "$work/upper/root/debs/$p.deb"
done
# Stand-in for the board image's own post-up hook, which the interface file names. While
# /run/eth0_config.hold exists it waits, which holds an apply open.
cat >"$work/upper/usr/bin/eth0_config.sh" <<'EOF'
#!/bin/sh
echo "eth0_config.sh ran for $IFACE ($MODE $PHASE)" >&2
if [ -e /run/eth0_config.hold ]; then
    echo "eth0_config.sh holding" >&2
    while [ -e /run/eth0_config.hold ]; do sleep 0.2; done
    echo "eth0_config.sh held to its end" >&2
fi
EOF
chmod 755 "$work/upper/usr/bin/eth0_config.sh"

# The serial line: two ptys back to back; the board's end becomes /dev/ttyMSM0.
socat PTY,link="$work/board.tty",rawer PTY,link="$work/ctl.tty",rawer 2>"$work/socat.log" &
pids+=($!)
for _ in $(seq 50); do [[ -e $work/board.tty && -e $work/ctl.tty ]] && break; sleep 0.1; done
[[ -e $work/ctl.tty ]] || cannot "socat made no pty pair"

# Own mount namespace (overlay root; nspawn's bookkeeping in /run/systemd/nspawn on a
# tmpfs, since this machine's /run is no tmpfs) and own network namespace (for the host
# end of the veth). --register=no --keep-unit: no systemd or machined runs here.
mkdir -p /run/systemd/nspawn
# shellcheck disable=SC2016 # expanded by the inner shell
unshare --mount --net --propagation private sh -c '
    set -e
    mount -t tmpfs tmpfs /run/systemd/nspawn
    mount -t overlay overlay -o "lowerdir=$1,upperdir=$2/upper,workdir=$2/lower-work" "$2/root"
    ip link set lo up
    exec systemd-nspawn --quiet --directory="$2/root" --machine="$3" --boot \
        --register=no --keep-unit --resolv-conf=off --network-veth-extra=uplink0:eth0 \
        --bind="$4:/dev/ttyMSM0" --bind="$5:/dev/ttyCTL0"' \
    container "$cache" "$work" "$machine" "$(readlink -f "$work/board.tty")" \
    "$(readlink -f "$work/ctl.tty")" </dev/null >"$work/console.log" 2>&1 &
nspawn_pid=$!

for _ in $(seq 100); do
    for child in $(ps -o pid= --ppid "$nspawn_pid" 2>/dev/null); do
        [[ $(cat "/proc/$child/comm" 2>/dev/null) == systemd ]] && leader=$child
    done
    [[ -n $leader ]] && break
    kill -0 "$nspawn_pid" 2>/dev/null || break
    sleep 0.1
done
if [[ -z $leader ]]; then
    cat "$work/console.log" >&2
    cannot "systemd-nspawn did not boot the root"
fi
in_container() {
    nsenter --target "$leader" --mount --uts --ipc --net --pid --root --wd -- \
        env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"
}
# Until systemd answers on its socket and has finished starting up (up to a minute).
state=""
for _ in $(seq 240); do
    state=$(in_container systemctl is-system-running 2>&1) || true
    [[ $state == running || $state == degraded ]] && break
    kill -0 "$leader" 2>/dev/null || break
    sleep 0.25
done
if [[ $state != running && $state != degraded ]]; then
    cat "$work/console.log" >&2
    cannot "the container's systemd did not come up (state: $state)"
fi
# The uplink end of eth0 lives in the namespace that unshare made for nspawn.
nsenter --target "$nspawn_pid" --net -- ip link set uplink0 up

# --- the test ---------------------------------------------------------------------------
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
ctl() { in_container quillferry-ctl --device /dev/ttyCTL0 "$@"; }
expect() {
    local what=$1 pattern=$2 text
    shift 2
    text=$(in_container "$@" 2>&1) || true
    [[ $text =~ $pattern ]] || fail "$what: expected /$pattern/ from '$*', got: $text"
}
service_log() { in_container journalctl -u quillferry --no-pager -o cat; }

# The client and the simulator alone: no service, no daemon running.
in_container dpkg -i /root/debs/libquillferry-client0.deb /root/debs/quillferry-ctl.deb \
    /root/debs/quillferry-sim.deb >"$work/dpkg.log" 2>&1 ||
    { cat "$work/dpkg.log" >&2; fail "quillferry-ctl and quillferry-sim do not install"; }
expect "the client's package brings a service" '^not-found$' systemctl show -p LoadState --value quillferry.service
! in_container pidof quillferry >/dev/null || fail "a daemon runs without the service's package"
# The simulator runs its own daemon on its own simulated board.
in_container quillferry-sim >"$work/sim.log" 2>&1 || { cat "$work/sim.log" >&2; fail "quillferry-sim"; }

# The metrics job, as the user prometheus: a run with results replaces the file whole (a
# board that is not there is down); a run that fails or is killed leaves no file behind
# as if it were fresh.
metrics=/var/lib/prometheus/node-exporter/quillferry.prom
# Until the job has ended, the clean-up after a failed run included.
metrics_done() {
    local state
    for _ in $(seq 100); do
        state=$(in_container systemctl is-active quillferry-metrics.service) || true
        [[ $state == inactive || $state == failed ]] && return
        sleep 0.1
    done
    fail "the metrics job did not end: $state"
}
metrics_run() {
    in_container systemctl start "$@" quillferry-metrics.service >/dev/null 2>&1 || true
    [[ $* == --no-block ]] || metrics_done
}
inventory() { printf '{"boards": [{"name": "b1", "line": "%s"}]}' "$1" |
    in_container sh -c 'cat >/etc/quillferry/inventory.json'; }
in_container useradd --system --no-create-home prometheus || fail "cannot add the user prometheus"
in_container install -d -o prometheus /var/lib/prometheus/node-exporter
in_container install -d /etc/quillferry
inventory /nonexistent/tty
metrics_run
expect "the metrics of a board that is not there" '^quillferry_board_up\{board="b1"\} 0$' \
    grep '^quillferry_board_up' "$metrics"
inventory tcp:no-port
metrics_run
in_container test ! -e "$metrics" || fail "a run with a bad inventory leaves the old metrics"
inventory /nonexistent/tty
metrics_run
in_container test -e "$metrics" || fail "the metrics job wrote no metrics"
in_container systemd-run --unit=silent-board socat TCP-LISTEN:4000,bind=127.0.0.1,reuseaddr,fork \
    EXEC:'sleep 30' >/dev/null 2>&1 || fail "cannot start a board that never answers"
inventory tcp:127.0.0.1:4000
metrics_run --no-block
sleep 1
in_container systemctl kill quillferry-metrics.service || fail "cannot kill the metrics job"
metrics_done
in_container test ! -e "$metrics" || fail "a killed run leaves the old metrics"
in_container systemctl stop silent-board >/dev/null 2>&1 || true

in_container dpkg -i /root/debs/quillferry.deb >"$work/dpkg.log" 2>&1 ||
    { cat "$work/dpkg.log" >&2; fail "quillferry does not install"; }
expect "the service after installation" '^active$' systemctl is-active quillferry.service
expect "the service's sandbox" 'ProtectSystem=strict' systemctl show -p ProtectSystem quillferry.service
expect "the unit's exposure" 'exposure level for quillferry.service: (0\.[0-9]|1\.[0-9]|2\.[0-9]|3\.[0-5]) ' \
    systemd-analyze security quillferry.service

# Probe until the daemon has the line (it discards what came before it opened it).
alive=""
for _ in $(seq 20); do
    alive=$(ctl --timeout 0.5 probe 2>/dev/null) && break
done
[[ $alive == alive ]] || fail "no answer to the probe: $alive"
for cmd in stat hw netconf; do
    ctl --timeout 10 "$cmd" >"$work/reply" 2>&1 || fail "quillferry-ctl $cmd: $(cat "$work/reply")"
done

# A program outside the tree on the installed development package: the examples built with
# CMake and with pkg-config, each run against the board.
in_container dpkg -i /root/debs/libquillferry-client-dev.deb >"$work/dpkg.log" 2>&1 ||
    { cat "$work/dpkg.log" >&2; fail "libquillferry-client-dev does not install"; }
examples=/usr/share/doc/libquillferry-client-dev/examples
# shellcheck disable=SC2016 # expanded by the container's shell
if in_container sh -c 'set -e
    cmake -S "$1" -B /tmp/with-cmake >/tmp/examples.log 2>&1
    cmake --build /tmp/with-cmake >>/tmp/examples.log 2>&1
    mkdir -p /tmp/with-pkg-config && cd /tmp/with-pkg-config
    for example in probe fleet_stat; do
        c++ -std=c++17 "$1/$example.cpp" -o "$example" \
            $(pkg-config --cflags --libs quillferry-client) >>/tmp/examples.log 2>&1
    done' sh "$examples"; then
    expect "the example built with CMake probing the board" '^alive' /tmp/with-cmake/probe /dev/ttyCTL0
    expect "the example built with pkg-config probing the board" '^alive' \
        /tmp/with-pkg-config/probe /dev/ttyCTL0
    expect "the fleet example's stat of the board" '^/dev/ttyCTL0: ok, cpu_temp [0-9]' \
        /tmp/with-pkg-config/fleet_stat /dev/ttyCTL0
else
    fail "the examples do not build against libquillferry-client-dev: $(in_container cat /tmp/examples.log)"
fi

ctl --timeout 60 set-net --address 10.20.0.8/24 --gateway 10.20.0.1 --dns 10.20.0.53 \
    --idc dc1 --soc-ip 10.20.0.8 --pod-id 3 --container 02:00:00:00:01:01=10.20.0.101 \
    >"$work/reply" 2>&1 || fail "IPv4 set-net: $(cat "$work/reply")"
expect "eth0's IPv4 address" 'inet 10\.20\.0\.8/24' ip -4 -o addr show dev eth0
expect "the IPv4 default route" 'default via 10\.20\.0\.1 dev eth0' ip -4 route show default
expect "the resolver file" 'nameserver 10\.20\.0\.53' cat /etc/resolv.conf
expect "the container's files" 'ipconfig_1' ls -a /opt/.lxc_ipconfig/
expect "the board's post-up hook" 'eth0_config.sh ran for eth0' journalctl -u quillferry --no-pager -o cat

# ifup sets eth0's IPv6 sysctls (autoconf from 1 to 0 for a static address): they must
# be writable in the sandbox.
ctl --timeout 60 set-net --address fd00:20::8/64 --gateway fd00:20::1 --dns fd00:20::53 \
    --idc dc1 --soc-ip fd00:20::8 --pod-id 3 >"$work/reply" 2>&1 || fail "IPv6 set-net: $(cat "$work/reply")"
expect "eth0's IPv6 address" 'inet6 fd00:20::8/64 scope global' ip -6 -o addr show dev eth0
expect "the IPv6 default route" 'default via fd00:20::1 dev eth0' ip -6 route show default
expect "the IPv6 sysctl set by ifup" '^0$' cat /proc/sys/net/ipv6/conf/eth0/autoconf

# The debug marker that an administrator creates is seen by the service.
in_container touch /var/tmp/quillferry/openlog.event || fail "cannot create the debug marker"
sleep 0.5
ctl --timeout 10 --uuid marker-check stat >/dev/null 2>&1 || fail "stat with the debug marker"
service_log | grep -q marker-check || fail "the debug marker does not switch on the request log"
in_container rm -f /var/tmp/quillferry/openlog.event

# systemctl stop and restart (as a package upgrade does) while an apply is held in the
# post-up hook: the SIGTERM is the daemon's alone, so the hook runs to its end, the apply
# is answered with 0, and only then does the daemon exit.
count() { service_log | grep -c "$1" || true; }
# until_true SECONDS COMMAND...: until COMMAND succeeds, at most SECONDS.
until_true() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        ((SECONDS < deadline)) || return 1
        sleep 0.2
    done
}
unit_is() { [[ $(in_container systemctl show -p ActiveState --value quillferry.service) == "$1" ]]; }
more_than() { (($(count "$1") > $2)); }
# A daemon runs whose pid is not $1.
new_daemon() {
    local pid
    pid=$(in_container systemctl show -p MainPID --value quillferry.service)
    [[ $pid != 0 && $pid != "$1" ]]
}
held_apply() {
    local action=$1 net=$2 holding stopping ended main ctl_pid
    holding=$(count 'eth0_config.sh holding')
    stopping=$(count 'SIGTERM: stopping')
    ended=$(count 'eth0_config.sh held to its end')
    main=$(in_container systemctl show -p MainPID --value quillferry.service)
    in_container touch /run/eth0_config.hold
    ctl --timeout 120 set-net --address "10.2$net.0.8/24" --gateway "10.2$net.0.1" --dns 10.20.0.53 \
        --idc dc1 --soc-ip "10.2$net.0.8" --pod-id 3 >"$work/held" 2>&1 &
    ctl_pid=$!
    until_true 60 more_than 'eth0_config.sh holding' "$holding" ||
        fail "systemctl $action: the apply was not held in the post-up hook"
    in_container systemctl --no-block "$action" quillferry.service
    until_true 10 more_than 'SIGTERM: stopping' "$stopping" || fail "systemctl $action sent the daemon no SIGTERM"
    sleep 1
    in_container pgrep -f /usr/bin/eth0_config.sh >/dev/null ||
        fail "systemctl $action killed the post-up hook of the apply in progress"
    in_container rm -f /run/eth0_config.hold
    wait "$ctl_pid" || fail "the apply held during systemctl $action: $(cat "$work/held")"
    until_true 10 more_than 'eth0_config.sh held to its end' "$ended" ||
        fail "systemctl $action: the post-up hook did not run to its end"
    expect "eth0 after the apply held during systemctl $action" "inet 10\\.2$net\\.0\\.8/24" \
        ip -4 -o addr show dev eth0
    if [[ $action == stop ]]; then
        until_true 20 unit_is inactive || fail "systemctl stop did not stop the service"
        in_container systemctl start quillferry.service
    fi
    until_true 20 new_daemon "$main" || fail "systemctl $action: no new daemon"
    alive=""
    for _ in $(seq 20); do
        alive=$(ctl --timeout 0.5 probe 2>/dev/null) && break
    done
    [[ $alive == alive ]] || fail "no answer to the probe after systemctl $action"
}
held_apply stop 1
held_apply restart 2
! service_log | grep -q 'Got signal' || fail "ifup was sent a signal"

ctl --timeout 60 clear --ipv6 >"$work/reply" 2>&1 || fail "clear: $(cat "$work/reply")"

# Killed, it comes back on its own.
before=$(in_container systemctl show -p MainPID --value quillferry.service)
in_container systemctl kill --kill-who=main --signal=SIGKILL quillferry.service ||
    fail "cannot kill the daemon"
after=0
for _ in $(seq 50); do
    sleep 0.2
    after=$(in_container systemctl show -p MainPID --value quillferry.service)
    [[ $after != 0 && $after != "$before" ]] && break
done
[[ $after != 0 && $after != "$before" ]] || fail "the service did not come back after SIGKILL"
alive=""
for _ in $(seq 20); do
    alive=$(ctl --timeout 0.5 probe 2>/dev/null) && break
done
[[ $alive == alive ]] || fail "no answer to the probe after the restart: $alive"

# Purge leaves neither the unit, its enablement nor the conffile behind.
in_container dpkg --purge quillferry >"$work/dpkg.log" 2>&1 ||
    { cat "$work/dpkg.log" >&2; fail "quillferry does not purge"; }
for f in /lib/systemd/system/quillferry.service /etc/default/quillferry \
    /etc/systemd/system/multi-user.target.wants/quillferry.service; do
    in_container test ! -e "$f" || fail "$f is left after purge"
done
expect "the unit after purge" '^not-found$' systemctl show -p LoadState --value quillferry.service
! in_container pidof quillferry >/dev/null || fail "a daemon still runs after purge"

if ((failures > 0)); then
    echo "--- the service's journal:" >&2
    service_log >&2 || true
    echo "--- the metrics job's journal:" >&2
    in_container journalctl -u quillferry-metrics --no-pager -o cat >&2 || true
    exit 1
fi
echo "container_test: the packages work under systemd"
