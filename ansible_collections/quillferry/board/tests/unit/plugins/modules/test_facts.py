# -*- coding: utf-8 -*-
# SPDX-License-Identifier: Apache-2.0
# quillferry.board.facts: the board's replies as facts, or the reason there are none.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

import json

from ansible_collections.quillferry.board.plugins.modules import facts


def reply(cmd, **members):
    return json.dumps(dict(members, cmd=cmd, ret_val=0, uuid='u'))


def test_the_replies_without_their_envelope(run_module):
    answers = [(0, reply('get_net_conf', in_force=None, mac='m'), ''),
               (0, reply('get_stat', cpu_temp=45000), ''),
               (0, reply('get_hardware_conf', cpu='c'), '')]
    exited, ctl = run_module(facts.main, dict(line='/dev/x', ca='/k/ca'), answers)
    assert not exited.failed
    assert exited.result['changed'] is False
    assert exited.result['ansible_facts']['quillferry'] == dict(
        status=dict(cpu_temp=45000), hardware=dict(cpu='c'),
        network=dict(in_force=None, mac='m'), in_force_known=True)
    assert [r[-1] for r in ctl.runs] == ['netconf', 'stat', 'hw']
    assert all(r[:4] == ['--device', '/dev/x', '--ca', '/k/ca'] for r in ctl.runs)


def test_a_board_that_does_not_answer_fails_the_task(run_module):
    exited, ctl = run_module(facts.main, dict(line='/dev/x'),
                             [(2, '', 'quillferry-ctl: no reply within 5 s\n')])
    assert exited.failed
    assert exited.result['msg'] == 'quillferry-ctl netconf: no reply within 5 s'
