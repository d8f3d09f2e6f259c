#!/usr/bin/python
# -*- coding: utf-8 -*-
# SPDX-License-Identifier: Apache-2.0

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
---
module: facts
short_description: Facts of a QuillFerry board
description:
  - Gathers a QuillFerry board's status (C(get_stat)), hardware (C(get_hardware_conf)) and
    network (C(get_net_conf) with what is in force and what C(eth0) carries) through
    C(quillferry-ctl) on the host where the task runs, the controller host with the board's
    line (use C(delegate_to)).
version_added: 0.1.0
author:
  - QuillFerry developers
extends_documentation_fragment:
  - quillferry.board.line
options:
  timeout:
    description: Seconds each query may take (C(quillferry-ctl --timeout), 5 by default).
    type: float
attributes:
  check_mode:
    support: full
    description: Queries only, in check mode too.
  facts:
    support: full
    description: Returns C(ansible_facts.quillferry).
'''

EXAMPLES = r'''
- name: Facts of the board
  quillferry.board.facts:
    line: tcp:console1:3002
  delegate_to: controller1

- name: What it runs
  ansible.builtin.debug:
    var: ansible_facts.quillferry.network.in_force
'''

RETURN = r'''
ansible_facts:
  description: The board's facts.
  returned: always
  type: complex
  contains:
    quillferry:
      description: The board's replies without their envelope (uuid, cmd, ret_val).
      returned: always
      type: complex
      contains:
        status:
          description: C(cpu_temp), C(cpu_pwr_lmt) and C(netconf) of C(get_stat).
          returned: always
          type: dict
        hardware:
          description: C(cpu), C(gpu), C(ram) and C(rom) of C(get_hardware_conf).
          returned: always
          type: dict
        network:
          description: The C(get_net_conf) reply, with C(in_force) (null when nothing is in
            force, C(unknown)) and C(live) when the board reports them.
          returned: always
          type: dict
        in_force_known:
          description: Whether the board reports what it runs (false for a board of an
            earlier version).
          returned: always
          type: bool
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.quillferry.board.plugins.module_utils.quillferry_ctl import (
    LINE_ARGUMENT_SPEC,
    reply_of,
    without_envelope,
)


def main():
    module = AnsibleModule(argument_spec=dict(LINE_ARGUMENT_SPEC), supports_check_mode=True)
    network = without_envelope(reply_of(module, 'netconf'))
    facts = dict(
        status=without_envelope(reply_of(module, 'stat')),
        hardware=without_envelope(reply_of(module, 'hw')),
        network=network,
        in_force_known='in_force' in network,
    )
    module.exit_json(changed=False, ansible_facts=dict(quillferry=facts))


if __name__ == '__main__':
    main()
