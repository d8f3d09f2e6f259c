#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The Ansible collection's own checks with Debian's ansible-core, offline: ansible-test's
# sanity tests that need no download (those that install into a virtual environment with pip
# cannot run here), ansible-doc on each module and the unit tests. ansible-test wants the
# collection in a path ending ansible_collections/NAMESPACE/NAME, in a git checkout (it lists
# the files with git): it runs on a copy in a temporary folder.
#
#   tests/ansible/ansible_test.sh COLLECTION_DIR
#
# Exit status 77 (skipped) when ansible-test or pytest is missing, unless CI is set.
set -euo pipefail
source_dir=$(cd "$1" && pwd)

missing=()
command -v ansible-test >/dev/null || missing+=(ansible-core)
command -v git >/dev/null || missing+=(git)
/usr/bin/python3 -c 'import pytest, xdist, pytest_forked, mock' 2>/dev/null ||
    missing+=(python3-pytest python3-pytest-xdist python3-pytest-forked python3-mock)
if ((${#missing[@]} > 0)); then
    echo "missing: ${missing[*]} (tools/install-deps ansible)"
    [[ -z ${CI:-} ]] && exit 77
    exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
copy=$work/ansible_collections/quillferry/board
mkdir -p "$(dirname "$copy")"
cp -r "$source_dir" "$copy"
rm -rf "$copy/tests/output"
cd "$copy"
git init -q
git add -A

offline=(action-plugin-docs changelog compile empty-init future-import-boilerplate ignores
    line-endings metaclass-boilerplate no-assert no-basestring no-dict-iteritems
    no-dict-iterkeys no-dict-itervalues no-get-exception no-illegal-filenames
    no-main-display no-smart-quotes no-unicode-literals pslint replace-urlopen shebang
    shellcheck symlinks use-argspec-type-path use-compat-six)
tests=()
for t in "${offline[@]}"; do tests+=(--test "$t"); done
export LC_ALL=C.UTF-8
ansible-test sanity --color no --python 3.11 "${tests[@]}"
# The modules' documentation as ansible-doc reads it (its sanity test needs a download).
for module in netconf facts; do
    ANSIBLE_COLLECTIONS_PATH=$work ansible-doc "quillferry.board.$module" >/dev/null
done
ansible-test units --color no --python 3.11
