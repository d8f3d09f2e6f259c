# -*- coding: utf-8 -*-
# SPDX-License-Identifier: Apache-2.0
# Running quillferry-ctl for the collection's modules and reading its JSON output. Every rule
# about a board (what it accepts, what it runs, how the two compare) stays in quillferry-ctl:
# this file only builds its command lines and reads what it prints.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

import json
import os
import re

# Options of the secure lines, passed straight through to quillferry-ctl: the module
# parameter and its command line option.
SECURE_OPTIONS = (
    ('identity', '--identity'),
    ('known_hosts', '--known-hosts'),
    ('ca', '--ca'),
    ('cert', '--cert'),
    ('key', '--key'),
)

# The argument_spec every module shares: the board's line and how it is reached.
LINE_ARGUMENT_SPEC = dict(
    line=dict(type='str', required=True),
    timeout=dict(type='float'),
    identity=dict(type='path'),
    known_hosts=dict(type='path'),
    ca=dict(type='path'),
    cert=dict(type='path'),
    key=dict(type='path'),
)

# quillferry-ctl's exit statuses that are no failure of the command itself.
EXIT_OK = 0
EXIT_USAGE = 64

# The board's name in the one-board inventory the modules write.
BOARD_NAME = 'board'


def line_options(params):
    """The options that reach the board's line, as given: the secure lines' and --timeout."""
    args = []
    for name, option in SECURE_OPTIONS:
        if params.get(name) is not None:
            args += [option, params[name]]
    if params.get('timeout') is not None:
        args += ['--timeout', '%g' % params['timeout']]
    return args


def ctl_command(module, args):
    """quillferry-ctl, found on the PATH of the host where the task runs, with `args`."""
    return [module.get_bin_path('quillferry-ctl', required=True)] + args


def run_ctl(module, args):
    """Runs quillferry-ctl with `args`; returns (exit status, standard output, standard error)."""
    return module.run_command(ctl_command(module, args), check_rc=False)


def write_inventory(module, network):
    """A one-board inventory of the task's line and `network` (members left unset dropped),
    in the module's own temporary folder, readable by its owner only; returns its path."""
    board = dict(name=BOARD_NAME, line=module.params['line'])
    if network is not None:
        board['network'] = drop_unset(network)
    path = os.path.join(module.tmpdir, 'inventory.json')
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_EXCL, 0o600)
    with os.fdopen(fd, 'w') as f:
        json.dump(dict(boards=[board]), f)
    return path


def drop_unset(value):
    """`value` without the members that the task left unset (None)."""
    if isinstance(value, dict):
        return dict((k, drop_unset(v)) for k, v in value.items() if v is not None)
    if isinstance(value, list):
        return [drop_unset(v) for v in value]
    return value


def board_line(out):
    """The board's JSON line of quillferry-ctl's --format jsonl output, or None."""
    for text in out.splitlines():
        try:
            line = json.loads(text)
        except ValueError:
            continue
        if isinstance(line, dict) and line.get('name') == BOARD_NAME:
            return line
    return None


def reasons(err):
    """quillferry-ctl's complaints (standard error) without its own prefixes: the inventory's
    path and line and the board's name, which the task does not know."""
    found = []
    for text in err.splitlines():
        text = re.sub(r'^quillferry-ctl: ', '', text)
        text = re.sub(r'^.*: line \d+: board "%s": ' % BOARD_NAME, '', text)
        if text and not text.startswith('Usage:') and not text.startswith('  '):
            found.append(text)
    return '; '.join(found)


def reply_of(module, command, extra=None):
    """Runs one command on the task's line and returns the board's reply as a dict; fails the
    task with quillferry-ctl's reasons when there is none."""
    args = ['--device', module.params['line']] + line_options(module.params)
    args += [command] + (extra or [])
    rc, out, err = run_ctl(module, args)
    reply = None
    try:
        reply = json.loads(out) if out else None
    except ValueError:
        pass
    if rc != EXIT_OK or not isinstance(reply, dict):
        module.fail_json(msg='quillferry-ctl %s: %s' % (command, reasons(err) or 'no reply'),
                         rc=rc, stderr=err)
    return reply


def without_envelope(reply):
    """A reply without the members every reply has (uuid, cmd, ret_val)."""
    return dict((k, v) for k, v in reply.items() if k not in ('uuid', 'cmd', 'ret_val'))
