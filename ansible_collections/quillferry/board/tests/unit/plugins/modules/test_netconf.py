# -*- coding: utf-8 -*-
# SPDX-License-Identifier: Apache-2.0
# quillferry.board.netconf: what it asks quillferry-ctl and what it makes of the answers.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

import json

import pytest

from ansible_collections.quillferry.board.plugins.modules import netconf

NETWORK = dict(address='10.0.1.8/24', gateway='10.0.1.1', dns=['10.0.0.53'], idc='dc 1',
               soc_ip='10.0.1.8', pod_id=3)
AS_RUN = dict(NETWORK, idc='dc1')
BEFORE = dict(AS_RUN, gateway='10.0.1.9')


def jsonl(**members):
    line = dict(name='board', address='/dev/x', outcome='ok', exit_status=0,
                elapsed_seconds=0.1, detail='', network=AS_RUN, reply={'ret_val': 0})
    line.update(members)
    return json.dumps(line) + '\n'


DRIFTED = dict(changed=True, in_force=BEFORE,
               differences=[dict(value='gateway', board='10.0.1.9', inventory='10.0.1.1')])


@pytest.mark.parametrize('check_mode, status, line, changed, warned', [
    # Check mode: asks only, and what would change is changed.
    (True, 3, jsonl(**DRIFTED), True, False),
    (True, 0, jsonl(changed=False, in_force=AS_RUN, differences=[]), False, False),
    # The board cannot tell: it is given the configuration, changed with a warning.
    (True, 1, jsonl(changed=None, differences=None), True, True),
    (False, 0, jsonl(**DRIFTED), True, False),
    (False, 0, jsonl(changed=False, in_force=AS_RUN, differences=[]), False, False),
    (False, 0, jsonl(changed=None, differences=None), True, True),
])
def test_present_reports_changed_from_what_the_board_runs(run_module, check_mode, status, line,
                                                          changed, warned):
    exited, ctl = run_module(netconf.main, dict(line='/dev/x', network=NETWORK),
                             [(status, line, '')], check_mode=check_mode, diff=True)
    assert not exited.failed, exited.result
    assert exited.result['changed'] == changed
    args = ctl.runs[0]
    assert args[args.index('set-net'):] == (['set-net', '--check'] if check_mode else ['set-net'])
    # The network goes to quillferry-ctl as given, members left unset dropped.
    assert ctl.inventories == [dict(boards=[dict(name='board', line='/dev/x', network=NETWORK)])]
    assert exited.result['diff']['after'] == AS_RUN
    assert bool(ctl.warnings) == warned


def test_a_refused_value_fails_before_anything_is_sent(run_module):
    err = ('quillferry-ctl: /tmp/t/inventory.json: line 1: board "board": network: address '
           "'10.0.1.8/33': netmask is not a prefix length from 1 to 32\n"
           'quillferry-ctl: nothing was sent to any board\n')
    exited, ctl = run_module(netconf.main,
                             dict(line='/dev/x', network=dict(NETWORK, address='10.0.1.8/33')),
                             [(64, '', err)])
    assert exited.failed
    assert exited.result['msg'] == (
        "refused before anything was sent: network: address '10.0.1.8/33': netmask is not a "
        'prefix length from 1 to 32; nothing was sent to any board')
    assert len(ctl.runs) == 1


@pytest.mark.parametrize('line', [
    jsonl(outcome='failed', changed=False, reply={'ret_val': -5, 'gateway_check': 'silent'}),
    jsonl(outcome='timeout', changed=None, reply=None),
])
def test_a_failed_apply_fails_the_task(run_module, line):
    exited, ctl = run_module(netconf.main,
                             dict(line='/dev/x', network=NETWORK, verify_gateway=5),
                             [(1, line, 'quillferry-ctl: 1 board: 0 ok, 1 failed\n')])
    assert exited.failed
    assert ctl.runs[0][-2:] == ['--verify-gateway', '5']


def test_the_secure_lines_options_pass_through_only_when_set(run_module):
    exited, ctl = run_module(netconf.main,
                             dict(line='tcp:h:1', network=NETWORK, identity='/k/id',
                                  known_hosts='/k/hosts', timeout=2.5),
                             [(0, jsonl(**DRIFTED), '')])
    args = ctl.runs[0]
    assert args[args.index('--identity'):args.index('set-net')] == [
        '--identity', '/k/id', '--known-hosts', '/k/hosts', '--timeout', '2.5']
    for absent in ('--ca', '--cert', '--key'):
        assert absent not in args


@pytest.mark.parametrize('check_mode, in_force, changed, runs', [
    (False, None, False, [['--device', '/dev/x', 'netconf']]),
    (True, 'unknown', True, [['--device', '/dev/x', 'netconf']]),
    (False, {'ipv6': {'address': 'fd00::8'}}, True,
     [['--device', '/dev/x', 'netconf'], ['--device', '/dev/x', 'clear', '--ipv6']]),
    (False, {'ipv4': {'address': '10.0.0.8'}}, True,
     [['--device', '/dev/x', 'netconf'], ['--device', '/dev/x', 'clear']]),
])
def test_cleared_clears_only_what_is_in_force(run_module, check_mode, in_force, changed, runs):
    reply = json.dumps(dict(cmd='get_net_conf', in_force=in_force, ret_val=0))
    exited, ctl = run_module(netconf.main, dict(line='/dev/x', state='cleared'),
                             [(0, reply, ''), (0, '{"ret_val": 0}', '')], check_mode=check_mode)
    assert not exited.failed, exited.result
    assert exited.result['changed'] == changed
    assert ctl.runs == runs


def test_present_needs_a_network(run_module):
    exited, ctl = run_module(netconf.main, dict(line='/dev/x'), [])
    assert exited.failed
    assert 'network' in exited.result['msg']
    assert ctl.runs == []
