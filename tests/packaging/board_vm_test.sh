#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Usage: board_vm_test.sh DEB_DIR QUILLFERRY_CTL
# Boots the board's arm64 packages from DEB_DIR on the emulated board (tools/board-vm:
# Debian 12 arm64 under qemu-system-aarch64, the line a PCI 16550 at /dev/ttyMSM0 with a
# getty enabled on it, eth0 a virtio NIC that reaches nothing) and drives the service over
# that UART with QUILLFERRY_CTL, this machine's client: the probe from power-on, every
# command, IPv4 and IPv6 applied by the real ifupdown, a refused request, an apply whose
# gateway answers and one put back, a killed daemon, a reboot, a power cut in the middle of
# an apply, and systemctl stop and restart in the middle of one. What happens in the board
# is checked through the board's agent, a channel of its own apart from the line.
#
# Prints the time from power-on to the first acknowledgement. Exit status: 0 passed,
# 1 failed, 77 skipped (the board cannot run here; only when the environment variable
# CI is unset, else that fails).
# The scripts in single quotes are run in the board, which expands them.
# shellcheck disable=SC2016
set -euo pipefail
deb_dir=$(realpath "$1")
ctl_bin=$(realpath "$2")
readonly ctl_bin
readonly restart_sec=2 # RestartSec= of the unit

cannot() {
    if [[ -n ${CI-} ]]; then
        echo "FAIL: no emulated board for the test: $*" >&2
        exit 1
    fi
    echo "SKIPPED: no emulated board for the test: $*" >&2
    exit 77
}
board_fail() { cannot "$@"; }
# shellcheck source=tools/board-vm
source "$(dirname "$0")/../../tools/board-vm"
board_check_host
[[ -x $ctl_bin ]] || { echo "FAIL: $ctl_bin is not a program" >&2; exit 1; }
board_image

work=$(mktemp -d "${TMPDIR:-/tmp}/quillferry-board-test.XXXXXX")
cleanup() {
    board_cleanup
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
board_prepare "$work" "$deb_dir"

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
# Stops at once: what follows would only fail for the same reason.
fatal() {
    fail "$@"
    echo "--- the board's console (last lines):" >&2
    tail -40 "$work/boot$board_boot/console.log" >&2 || true
    echo "--- the service's journal:" >&2
    board_run -t 30 'journalctl -u quillferry -b --no-pager -o short-monotonic' >&2 || true
    exit 1
}
ctl() { "$ctl_bin" --device "$board_line" "$@"; }
# expect WHAT PATTERN SCRIPT: the output of SCRIPT, run in the board, matches PATTERN.
expect() {
    local text
    text=$(board_run "$3" 2>&1) || true
    [[ $text =~ $2 ]] || fail "$1: expected /$2/ from '$3', got: $text"
}
# Seconds since $1 (an $EPOCHREALTIME), one decimal.
since() {
    local d=$((${EPOCHREALTIME//[.,]/} - ${1//[.,]/}))
    printf '%d.%d' $((d / 1000000)) $((d % 1000000 / 100000))
}
# Probes until the service acknowledges, at most $1 seconds.
wait_probe() {
    local deadline=$((SECONDS + $1)) reply
    while ((SECONDS < deadline)); do
        reply=$(ctl --timeout 1 probe 2>/dev/null) && [[ $reply == alive ]] && return 0
        kill -0 "$board_qemu_pid" 2>/dev/null || return 1
        [[ -e $board_line ]] || sleep 1
    done
    return 1
}
boot_up() {
    board_wait_up "$1" >/dev/null || fatal "the board's system did not finish booting (boot $board_boot)"
}

# The journal of this boot: whole lines, and no error but those in $@ (the ones the test
# provoked, as extended regular expressions) and the emulated board's lack of thermal zones.
check_journal() {
    local breaks lines unexpected
    breaks=$(board_run 'journalctl -u quillferry -b -o export | grep -ac "^_LINE_BREAK="') || true
    [[ $breaks == 0 ]] || fail "journal of boot $board_boot: $breaks entries are not whole lines"
    lines=$(board_run 'journalctl -u quillferry -b --no-pager -o cat') ||
        { fail "journal of boot $board_boot cannot be read"; return; }
    local provoked='^get temp error: *$'
    (($# == 0)) || provoked+="|$(IFS='|'; echo "$*")"
    unexpected=$(grep -Ei 'error|fail|cannot|denied|refus|killed|timed out|not found|invalid|warn' <<<"$lines" |
        grep -Ev "$provoked" || true)
    [[ -z $unexpected ]] || fail "journal of boot $board_boot has unexpected errors:"$'\n'"$unexpected"
}
# The board's files: "PATH SIZE SHA256", or "PATH missing".
readonly board_files='/etc/network/interfaces /etc/resolv.conf /opt/.hostinfo /opt/.ipconfig.txt /opt/.cmd.txt'
snapshot() {
    board_run "for f in $board_files /opt/.lxc_ipconfig/*; do"'
        if [ -f "$f" ]; then echo "$f $(stat -c %s "$f") $(sha256sum <"$f" | cut -c1-64)"
        else echo "$f missing"; fi
    done'
}

# --- the first boot: the packages installed before systemd starts ------------------------
board_power_on
wait_probe 600 || fatal "no acknowledgement of the probe after power-on; the installation's log:
$(board_run -t 30 'tail -15 /root/debs/dpkg.log')"
first_probe=$(since "$board_powered_at")
echo "board_vm_test: power-on to the first acknowledgement: $first_probe s (first boot, installation included)"
boot_up 300

expect "the board's architecture" '^aarch64 arm64$' 'echo "$(uname -m) $(dpkg --print-architecture)"'
expect "the packages installed" '^quillferry arm64 ii.?quillferry-ctl arm64 ii' \
    "dpkg-query -W -f='\${Package} \${Architecture} \${db:Status-Abbrev}' quillferry quillferry-ctl"
expect "the line is a UART of the 8250 driver" '^/dev/ttyS[0-9]+ serial$' \
    't=$(readlink -f /dev/ttyMSM0); echo "$t $(basename "$(readlink -f /sys/class/tty/${t#/dev/}/device/driver)")"'
# The getty is enabled on the line, yet the service holds it, alone.
expect "the getty on the line" '^enabled inactive$' \
    'echo "$(systemctl is-enabled serial-getty@ttyMSM0.service) $(systemctl is-active serial-getty@ttyMSM0.service)"'
expect "who holds the line" '^quillferry$' 't=$(readlink -f /dev/ttyMSM0)
    for p in /proc/[0-9]*; do
        for f in "$p"/fd/*; do [ "$(readlink "$f")" = "$t" ] && cat "$p/comm"; done
    done 2>/dev/null | sort -u'
expect "the service started at boot by its unit" '^enabled active 0$' \
    'echo "$(systemctl is-enabled quillferry) $(systemctl is-active quillferry) $(systemctl show -p NRestarts --value quillferry)"'
expect "the service's sandbox" '^NoNewPrivs:[[:space:]]+1$' \
    'grep NoNewPrivs /proc/$(systemctl show -p MainPID --value quillferry)/status'

for cmd in probe stat hw netconf; do
    ctl --timeout 10 "$cmd" >"$work/reply" 2>&1 || fail "quillferry-ctl $cmd: $(cat "$work/reply")"
done

ctl --timeout 120 set-net --address 10.20.0.8/24 --gateway 10.20.0.1 --dns 10.20.0.53 --dns 10.20.0.54 \
    --idc dc1 --soc-ip 10.20.0.8 --pod-id 3 --container 02:00:00:00:01:01=10.20.0.101 \
    --container 02:00:00:00:01:02=10.20.0.102 >"$work/reply" 2>&1 || fail "IPv4 set-net: $(cat "$work/reply")"
expect "eth0's IPv4 address" 'inet 10\.20\.0\.8/24' 'ip -4 -o addr show dev eth0'
expect "the IPv4 default route" '^default via 10\.20\.0\.1 dev eth0' 'ip -4 route show default'
expect "the interface file" 'iface eth0 inet static.*address 10\.20\.0\.8' 'tr "\n" " " </etc/network/interfaces'
expect "the resolver file" 'nameserver 10\.20\.0\.53.*nameserver 10\.20\.0\.54' 'tr "\n" " " </etc/resolv.conf'
expect "the host information" '^idc=dc1,soc_ip=10\.20\.0\.8,pod_id=3$' 'cat /opt/.hostinfo'
expect "the containers' files" '^02:00:00:00:01:02 10\.20\.0\.102$' \
    'echo "$(cat /opt/.lxc_ipconfig/mac_2) $(cat /opt/.lxc_ipconfig/ip_2)"'
expect "the board's post-up hook" 'eth0_config.sh ran for eth0' 'journalctl -u quillferry -b -o cat'

# A control character in a value: refused, and nothing of the board changes.
before=$(snapshot | grep -v /opt/.cmd.txt)
reply=$(ctl --raw --timeout 10 send '{"cmd":"set_net_conf","uuid":"ctrl-1","ipv4":{"address":"10.20.0.9","gateway":"10.20.0.1","netmask":24},"location":{"idc":"dc\u001b1","soc_ip":"10.20.0.9","pod_id":3},"nameservers":["10.20.0.53"]}' 2>&1) &&
    fail "a request with a control character was not refused: $reply"
[[ $reply == *'"ret_val":-1'* ]] || fail "the refusal's reply: $reply"
[[ $(snapshot | grep -v /opt/.cmd.txt) == "$before" ]] || fail "a refused request changed the board's files"
expect "eth0 after the refusal" 'inet 10\.20\.0\.8/24' 'ip -4 -o addr show dev eth0'

# An apply whose gateway must answer, with the real kernel in the service's sandbox: QEMU's
# gateway 10.0.2.2 answers ARP (kept), 10.0.2.99 is nobody (put back).
verify() {
    ctl --raw --timeout 300 send '{"cmd":"set_net_conf","uuid":"'"$1"'","verify_gateway":'"$4"',"ipv4":{"address":"'"$2"'","gateway":"'"$3"'","netmask":24},"location":{"idc":"dc1","soc_ip":"'"$2"'","pod_id":3},"nameservers":["10.0.2.3"]}' 2>/dev/null
}
started=$EPOCHREALTIME
reply=$(verify vk 10.0.2.15 10.0.2.2 10) || true
echo "board_vm_test: an apply whose gateway answers: $(since "$started") s"
[[ $reply == '{"cmd":"set_net_conf","gateway_check":"answered","ret_val":0,"uuid":"vk"}' ]] ||
    fail "the verified apply whose gateway answers: $reply"
started=$EPOCHREALTIME
reply=$(verify vp 10.0.2.16 10.0.2.99 3) || true
back=$(board_run 'journalctl -u quillferry -b -o cat |
    sed -n "s/.*the previous configuration is back (\([0-9]*\) ms).*/\1/p"') || true
echo "board_vm_test: an apply whose gateway does not answer within 3 s, put back: $(since "$started") s, the put-back itself ${back:-?} ms"
[[ $reply == '{"cmd":"set_net_conf","gateway_check":"silent","ret_val":-5,"uuid":"vp"}' ]] ||
    fail "the verified apply whose gateway is silent: $reply"
expect "eth0 put back" '^10\.0\.2\.15/24 default via 10\.0\.2\.2 dev eth0$' \
    'echo $(ip -o -4 addr show dev eth0 | sed "s/.* inet //;s/ .*//") $(ip -4 route show default | cut -d" " -f1-5)'
reply=$(ctl --raw --timeout 10 send '{"cmd":"get_net_conf","uuid":"if","in_force":true}' 2>&1) || true
[[ $reply == *'"in_force":{"ipv4":{"address":"10.0.2.15","gateway":"10.0.2.2","netmask":24}'* &&
    $reply == *'"live":{"ipv4":[{"address":"10.0.2.15","netmask":24}],"ipv6":[]}'* ]] ||
    fail "what is in force after the put-back: $reply"

ctl --timeout 120 set-net --address fd00:20::8/64 --gateway fd00:20::1 --dns fd00:20::53 \
    --idc dc2 --soc-ip fd00:20::8 --pod-id 4 --container 02:00:00:00:02:01=fd00:20::101 \
    >"$work/reply" 2>&1 || fail "IPv6 set-net: $(cat "$work/reply")"
expect "eth0's IPv6 address" 'inet6 fd00:20::8/64 scope global' 'ip -6 -o addr show dev eth0'
expect "eth0's IPv4 address taken away" '^$' 'ip -4 -o addr show dev eth0'
expect "the IPv6 default route" '^default via fd00:20::1 dev eth0' 'ip -6 route show default'
expect "the IPv6 interface file" 'iface eth0 inet6 static.*address fd00:20::8' 'tr "\n" " " </etc/network/interfaces'
expect "the IPv6 sysctl set by ifup" '^0$' 'cat /proc/sys/net/ipv6/conf/eth0/autoconf'

# Killed, it comes back by itself.
main_pid=$(board_run 'systemctl show -p MainPID --value quillferry')
killed_at=$EPOCHREALTIME
board_run 'systemctl kill -s KILL quillferry' >/dev/null || fail "cannot kill the daemon"
wait_probe 60 || fail "no answer to the probe after SIGKILL"
back=$(since "$killed_at")
echo "board_vm_test: SIGKILL to answering again: $back s (RestartSec=$restart_sec)"
((${back%.*} < restart_sec + 8)) || fail "the service took $back s to answer after SIGKILL"
expect "a new daemon" '^[1-9][0-9]* [1-9]' \
    "echo \"\$(systemctl show -p MainPID --value quillferry) \$(systemctl show -p NRestarts --value quillferry)\" | grep -v '^$main_pid '"
check_journal 'readCmdRecords open file fail /opt/.cmd.txt' 'set_net_conf rejected: .*control character' 'Configuration Failed And Response Data:.*ctrl-1' \
    'Main process exited, code=killed, status=9/KILL' "Failed with result 'signal'"

# --- a reboot: the service comes back; eth0 up from the interface file --------------------
boot1=$(board_run 'cat /proc/sys/kernel/random/boot_id')
# From a timer, so that the agent answers before the reboot stops it.
board_run 'systemd-run --quiet --on-active=2 systemctl reboot' >/dev/null ||
    fail "cannot reboot the board"
deadline=$((SECONDS + 600))
until boot=$(board_run -t 10 'cat /proc/sys/kernel/random/boot_id') && [[ $boot != "$boot1" ]]; do
    ((SECONDS < deadline)) || fatal "the board did not come back from the reboot"
    sleep 5
done
boot_up 300
wait_probe 120 || fatal "no acknowledgement of the probe after the reboot"
reply=$(ctl --raw --timeout 10 netconf 2>&1) || fail "netconf after the reboot: $reply"
[[ $reply == *'"address":"fd00:20::8"'*'"gateway":"fd00:20::1"'* ]] ||
    fail "get_net_conf does not report the remembered request after the reboot: $reply"
reply=$(ctl --raw --timeout 10 send '{"cmd":"get_net_conf","uuid":"rb","in_force":true}' 2>&1) || true
[[ $reply == *'"in_force":{"ipv6":{"address":"fd00:20::8","gateway":"fd00:20::1","netmask":64}'* ]] ||
    fail "what is in force after the reboot: $reply"
expect "eth0 from the interface file at boot" 'inet6 fd00:20::8/64 scope global' 'ip -6 -o addr show dev eth0'
expect "the default route at boot" '^default via fd00:20::1 dev eth0' 'ip -6 route show default'
expect "the service after the reboot" '^active 0$' \
    'echo "$(systemctl is-active quillferry) $(systemctl show -p NRestarts --value quillferry)"'
check_journal

# --- a power cut in the middle of a set_net_conf ------------------------------------------
old=$(snapshot)
board_run 'touch /run/eth0_config.hold' >/dev/null
request=(set-net --uuid cut-1 --address 10.30.0.8/24 --gateway 10.30.0.1 --dns 10.30.0.53
    --idc dc3 --soc-ip 10.30.0.8 --pod-id 5 --container 02:00:00:00:03:01=10.30.0.101
    --container 02:00:00:00:03:02=10.30.0.102 --container 02:00:00:00:03:03=10.30.0.103)
ctl --timeout 300 "${request[@]}" >/dev/null 2>&1 &
ctl_pid=$!
deadline=$((SECONDS + 120))
until board_run 'journalctl -u quillferry -b -o cat | grep -q "eth0_config.sh holding"'; do
    ((SECONDS < deadline)) || fatal "the post-up hook never held the apply"
    sleep 2
done
board_power_cut
kill "$ctl_pid" 2>/dev/null || true
wait "$ctl_pid" 2>/dev/null || true

board_power_on
wait_probe 900 || fatal "no acknowledgement of the probe after the power cut"
cold_probe=$(since "$board_powered_at")
echo "board_vm_test: power-on to the first acknowledgement: $cold_probe s (boot after the power cut)"
boot_up 300
after=$(snapshot)
# The apply was cut short: the board does not claim either configuration.
reply=$(ctl --raw --timeout 10 send '{"cmd":"get_net_conf","uuid":"pc","in_force":true}' 2>&1) || true
[[ $reply == *'"in_force":"unknown"'* ]] || fail "what is in force after the power cut: $reply"
check_journal
ctl --timeout 120 "${request[@]}" >"$work/reply" 2>&1 || fail "set-net after the power cut: $(cat "$work/reply")"
new=$(snapshot)
expect "eth0 after the power cut" 'inet 10\.30\.0\.8/24' 'ip -4 -o addr show dev eth0'

# Every file as before the request or as the request makes it, never torn or empty; and the
# cut came in the middle: some files already new, some still old.
declare -A was is will
while read -r f rest; do was[$f]=$rest; done <<<"$old"
while read -r f rest; do is[$f]=$rest; done <<<"$after"
while read -r f rest; do will[$f]=$rest; done <<<"$new"
olds=() news=()
for f in $(printf '%s\n' "${!was[@]}" "${!is[@]}" "${!will[@]}" | sort -u); do
    now=${is[$f]-missing} before=${was[$f]-missing} later=${will[$f]-missing}
    if [[ $now == "$before" && $now == "$later" ]]; then
        continue
    elif [[ $now == "$before" ]]; then
        olds+=("$f")
    elif [[ $now == "$later" ]]; then
        news+=("$f")
    else
        fail "after the power cut $f is neither the old nor the new one: $now (old $before, new $later)"
    fi
done
echo "board_vm_test: after the power cut, new: ${news[*]:-none}; old: ${olds[*]:-none}"
((${#news[@]} > 0 && ${#olds[@]} > 0)) || fail "the power cut did not come in the middle of the apply"

# --- systemctl stop and restart while an apply is held in the post-up hook ----------------
# As a package upgrade restarts the service. The SIGTERM is the daemon's alone: the hook
# runs to its end, the apply is answered with 0, and only then does the daemon exit.
held_apply() {
    local action=$1 net=$2 holding stopping main ctl_pid
    holding=$(board_run 'journalctl -u quillferry -b -o cat | grep -c "eth0_config.sh holding"') || true
    stopping=$(board_run 'journalctl -u quillferry -b -o cat | grep -c "SIGTERM: stopping"') || true
    main=$(board_run 'systemctl show -p MainPID --value quillferry')
    board_run 'touch /run/eth0_config.hold' >/dev/null
    ctl --timeout 300 set-net --uuid "$action-1" --address "10.4$net.0.8/24" --gateway "10.4$net.0.1" \
        --dns 10.40.0.53 --idc dc4 --soc-ip "10.4$net.0.8" --pod-id 6 >"$work/held" 2>&1 &
    ctl_pid=$!
    deadline=$((SECONDS + 120))
    until (($(board_run 'journalctl -u quillferry -b -o cat | grep -c "eth0_config.sh holding"') > holding)); do
        ((SECONDS < deadline)) || fatal "systemctl $action: the apply was not held in the post-up hook"
        sleep 2
    done
    board_run "systemctl --no-block $action quillferry" >/dev/null || fail "cannot $action the service"
    deadline=$((SECONDS + 60))
    until (($(board_run 'journalctl -u quillferry -b -o cat | grep -c "SIGTERM: stopping"') > stopping)); do
        ((SECONDS < deadline)) || fatal "systemctl $action sent the daemon no SIGTERM"
        sleep 1
    done
    sleep 3
    board_run 'pgrep -f /usr/bin/eth0_config.sh' >/dev/null ||
        fail "systemctl $action killed the post-up hook of the apply in progress"
    board_run 'rm -f /run/eth0_config.hold' >/dev/null
    wait "$ctl_pid" || fail "the apply held during systemctl $action: $(cat "$work/held")"
    expect "eth0 after the apply held during systemctl $action" "inet 10\\.4$net\\.0\\.8/24" \
        'ip -4 -o addr show dev eth0'
    if [[ $action == stop ]]; then
        deadline=$((SECONDS + 60))
        until [[ $(board_run 'systemctl show -p ActiveState --value quillferry') == inactive ]]; do
            ((SECONDS < deadline)) || fatal "systemctl stop did not stop the service"
            sleep 1
        done
        board_run 'systemctl start quillferry' >/dev/null || fail "cannot start the service again"
    fi
    wait_probe 120 || fatal "no acknowledgement of the probe after systemctl $action"
    expect "a new daemon after systemctl $action" '^[1-9]' \
        "systemctl show -p MainPID --value quillferry | grep -vx '$main'"
}
held_apply stop 1
held_apply restart 2
expect "no signal for ifup" '^0$' 'journalctl -u quillferry -b -o cat | grep -c "Got signal"'
check_journal

if ((failures > 0)); then
    echo "--- the service's journal:" >&2
    board_run 'journalctl -u quillferry -b --no-pager -o short-monotonic' >&2 || true
    exit 1
fi
echo "board_vm_test: the arm64 packages work on the emulated board"
