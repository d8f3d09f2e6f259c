# -*- coding: utf-8 -*-
# SPDX-License-Identifier: Apache-2.0
# The options of every module of the collection: the board's line and how it is reached.

from __future__ import absolute_import, division, print_function

__metaclass__ = type


class ModuleDocFragment(object):
    DOCUMENTATION = r'''
options:
  line:
    description:
      - The board's line address, as C(quillferry-ctl --device) takes it (C(/dev/ttyUSB0),
        C(tcp:HOST:PORT), C(telnet:HOST:PORT)).
    type: str
    required: true
  identity:
    description: Passed to C(quillferry-ctl --identity), for a line that needs it.
    type: path
  known_hosts:
    description: Passed to C(quillferry-ctl --known-hosts), for a line that needs it.
    type: path
  ca:
    description: Passed to C(quillferry-ctl --ca), for a line that needs it.
    type: path
  cert:
    description: Passed to C(quillferry-ctl --cert), for a line that needs it.
    type: path
  key:
    description: Passed to C(quillferry-ctl --key), for a line that needs it.
    type: path
requirements:
  - quillferry-ctl on the host where the task runs
notes:
  - Run it on the controller host that holds the board's line, with C(delegate_to).
'''
