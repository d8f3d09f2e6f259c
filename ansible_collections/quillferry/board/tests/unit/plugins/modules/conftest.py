# -*- coding: utf-8 -*-
# SPDX-License-Identifier: Apache-2.0
# Runs a module of the collection in the test's process with its arguments, quillferry-ctl
# played by the test: each run of it is recorded and answered from a list.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

import json

import pytest

from ansible.module_utils import basic
from ansible.module_utils.common.text.converters import to_bytes


class Exited(Exception):
    """The module's exit_json or fail_json: its result, and whether it failed."""

    def __init__(self, result, failed):
        super(Exited, self).__init__(result)
        self.result = result
        self.failed = failed


class Ctl(object):
    """quillferry-ctl as the test plays it: `answers` are (exit status, output, errors), one
    per run; `runs` the command lines it was given, the inventories it was handed, and the
    warnings the module gave."""

    def __init__(self, answers):
        self.answers = list(answers)
        self.runs = []
        self.inventories = []
        self.warnings = []

    def __call__(self, module_self, args):
        self.runs.append(args[1:])
        if '--inventory' in args:
            with open(args[args.index('--inventory') + 1]) as f:
                self.inventories.append(json.load(f))
        return self.answers.pop(0)


@pytest.fixture
def run_module(monkeypatch, tmp_path):
    """run_module(main, args, answers, check_mode=False, diff=False) -> (Exited, Ctl)."""

    def run(main, args, answers, check_mode=False, diff=False):
        args = dict(args, _ansible_check_mode=check_mode, _ansible_diff=diff,
                    _ansible_tmpdir=str(tmp_path), _ansible_remote_tmp=str(tmp_path),
                    _ansible_keep_remote_files=False)
        monkeypatch.setattr(basic, '_ANSIBLE_ARGS',
                            to_bytes(json.dumps({'ANSIBLE_MODULE_ARGS': args})))
        ctl = Ctl(answers)
        monkeypatch.setattr(basic.AnsibleModule, 'run_command',
                            lambda self, args, check_rc=False, **kwargs: ctl(self, args))
        monkeypatch.setattr(basic.AnsibleModule, 'warn', lambda self, text: ctl.warnings.append(text))
        monkeypatch.setattr(basic.AnsibleModule, 'get_bin_path',
                            lambda self, name, required=False, opt_dirs=None: '/usr/bin/' + name)

        def exit_json(self, **result):
            raise Exited(result, False)

        def fail_json(self, msg, **result):
            raise Exited(dict(result, msg=msg), True)

        monkeypatch.setattr(basic.AnsibleModule, 'exit_json', exit_json)
        monkeypatch.setattr(basic.AnsibleModule, 'fail_json', fail_json)
        with pytest.raises(Exited) as exited:
            main()
        return exited.value, ctl

    return run
