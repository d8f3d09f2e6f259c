#!/usr/bin/python
# -*- coding: utf-8 -*-
# SPDX-License-Identifier: Apache-2.0

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
---
module: netconf
short_description: A QuillFerry board's network configuration
description:
  - Gives a QuillFerry board's C(eth0) the static configuration C(network), or takes it away
    (C(state=cleared)), through C(quillferry-ctl) on the host where the task runs, the
    controller host with the board's line (use C(delegate_to)).
  - Reports C(changed) from what the board runs (C(get_net_conf) with C(in_force)); a board
    that runs C(network) already is left alone. A board of an earlier version cannot tell what
    it runs; it is given the configuration and reported changed, with a warning.
  - A value the board would refuse fails the task with the board's own reason before anything
    is sent; C(quillferry-ctl) judges it with the board's checks.
version_added: 0.1.0
author:
  - QuillFerry developers
extends_documentation_fragment:
  - quillferry.board.line
options:
  network:
    description:
      - The configuration, as the C(network) object of a C(quillferry-ctl) inventory, with the
        same member names. Required with C(state=present).
    type: dict
    suboptions:
      address:
        description: C(eth0)'s address and prefix length (C(10.0.0.8/24), C(fd00::8/64)); the
          family follows it.
        type: str
      gateway:
        description: The default gateway, of the address's family.
        type: str
      dns:
        description: One or two name servers.
        type: list
        elements: str
      idc:
        description: The board's data centre.
        type: str
      soc_ip:
        description: The SoC's address as the controller names it.
        type: str
      pod_id:
        description: The pod number.
        type: int
      containers:
        description: The containers' MAC addresses and addresses, in order; without it the
          board keeps its own list.
        type: list
        elements: dict
        suboptions:
          mac:
            description: The container's MAC address.
            type: str
          address:
            description: The container's address, of the address's family.
            type: str
  state:
    description:
      - C(present) applies C(network); C(cleared) takes the configuration away (C(eth0) goes
        down), unless nothing is in force.
    type: str
    choices: [present, cleared]
    default: present
  verify_gateway:
    description:
      - Seconds (1 to 120) the gateway may take to answer once the configuration is up; when
        it does not, or the apply fails, the board puts its previous configuration back and the
        task fails. Give 2 or more for IPv6.
    type: int
  timeout:
    description:
      - Seconds each call on the line may take (C(quillferry-ctl --timeout)); by default 60 for
        an apply, 120 plus C(verify_gateway) for a verified one, 5 for a query.
    type: float
attributes:
  check_mode:
    support: full
    description: Asks the board what it runs and sends nothing that changes it.
  diff_mode:
    support: full
    description: C(before) is what the board runs, C(after) the configuration as it would run it.
'''

EXAMPLES = r'''
- name: The board runs its configuration
  quillferry.board.netconf:
    line: /dev/ttyUSB0
    network:
      address: 10.0.1.8/24
      gateway: 10.0.1.1
      dns: [10.0.0.53]
      idc: dc1
      soc_ip: 10.0.1.8
      pod_id: 3
    verify_gateway: 5
  delegate_to: controller1

- name: The board's configuration is taken away
  quillferry.board.netconf:
    line: telnet:console1:3003
    state: cleared
  delegate_to: controller1
'''

RETURN = r'''
in_force:
  description: What the board ran before the task, as an inventory's C(network) (null when
    nothing was in force, C(unknown) when the board did not know; absent when it cannot tell).
  returned: when the board tells
  type: raw
network:
  description: The configuration as the board runs it once applied (its texts without spaces,
    the IPv6 default second name server filled in).
  returned: with C(state=present)
  type: dict
differences:
  description: Each value that differed, as C(value), C(board) and C(inventory) texts.
  returned: with C(state=present), when the board tells
  type: list
  elements: dict
reply:
  description: The board's last reply.
  returned: when the board answered
  type: dict
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.quillferry.board.plugins.module_utils.quillferry_ctl import (
    EXIT_USAGE,
    LINE_ARGUMENT_SPEC,
    board_line,
    line_options,
    reasons,
    reply_of,
    run_ctl,
    write_inventory,
)

NETWORK_OPTIONS = dict(
    address=dict(type='str'),
    gateway=dict(type='str'),
    dns=dict(type='list', elements='str'),
    idc=dict(type='str'),
    soc_ip=dict(type='str'),
    pod_id=dict(type='int'),
    containers=dict(type='list', elements='dict',
                    options=dict(mac=dict(type='str'), address=dict(type='str'))),
)

CANNOT_TELL = ('the board cannot tell what it runs (an earlier version): it is reported '
               'changed')


def present(module):
    params = module.params
    inventory = write_inventory(module, params['network'])
    args = ['--inventory', inventory, '--format', 'jsonl'] + line_options(params) + ['set-net']
    if module.check_mode:
        args.append('--check')
    if params['verify_gateway'] is not None:
        args += ['--verify-gateway', str(params['verify_gateway'])]
    rc, out, err = run_ctl(module, args)
    if rc == EXIT_USAGE:
        module.fail_json(msg='refused before anything was sent: %s' % reasons(err), rc=rc)
    line = board_line(out)
    if line is None:
        module.fail_json(msg='quillferry-ctl set-net: %s' % (reasons(err) or 'no result'), rc=rc)
    result = dict(changed=line.get('changed') is not False, network=line.get('network'),
                  differences=line.get('differences'), reply=line.get('reply'))
    if 'in_force' in line:
        result['in_force'] = line['in_force']
    if line.get('changed') is None and line.get('outcome') == 'ok':
        module.warn(CANNOT_TELL)
    if module._diff:
        result['diff'] = dict(before=line.get('in_force', {}) or {}, after=line.get('network'))
    # A board that answered is no failure: in check mode it may have drifted (3) or be unable
    # to tell (1), which is told as changed.
    if line.get('outcome') != 'ok':
        module.fail_json(msg='quillferry-ctl set-net: %s' % (reasons(err) or line.get('detail')),
                         rc=rc, **result)
    module.exit_json(**result)


def cleared(module):
    reply = reply_of(module, 'netconf')
    result = dict(changed=True, reply=reply)
    if 'in_force' not in reply:
        module.warn(CANNOT_TELL)
    else:
        result['in_force'] = reply['in_force']
        result['changed'] = reply['in_force'] is not None
    if module._diff:
        result['diff'] = dict(before=reply.get('in_force') or {}, after={})
    if result['changed'] and not module.check_mode:
        in_force = reply.get('in_force')
        ipv6 = isinstance(in_force, dict) and 'ipv6' in in_force
        result['reply'] = reply_of(module, 'clear', ['--ipv6'] if ipv6 else [])
    module.exit_json(**result)


def main():
    argument_spec = dict(LINE_ARGUMENT_SPEC)
    argument_spec.update(
        network=dict(type='dict', options=NETWORK_OPTIONS),
        state=dict(type='str', choices=['present', 'cleared'], default='present'),
        verify_gateway=dict(type='int'),
    )
    module = AnsibleModule(argument_spec=argument_spec, supports_check_mode=True,
                           required_if=[('state', 'present', ['network'])])
    if module.params['state'] == 'present':
        present(module)
    else:
        cleared(module)


if __name__ == '__main__':
    main()
