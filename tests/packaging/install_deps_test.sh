#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# tools/install-deps where it cannot install: each fault ends it with 1 and one line on
# standard error that names it. The package tools are stand-ins on a PATH of their own.
#
#   tests/packaging/install_deps_test.sh SOURCE_DIR
set -euo pipefail
source_dir=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
bin=$work/bin
mkdir "$bin"
for tool in bash sed grep env; do ln -s "$(command -v "$tool")" "$bin/$tool"; done
stub() { printf '#!/bin/sh\n%s\n' "$2" >"$bin/$1" && chmod +x "$bin/$1"; }
stub sudo 'exec "$@"'
stub dpkg-query 'exit 1'  # nothing is installed

status=0
expect() {  # the line that standard error must hold
    local code=0
    PATH=$bin "$source_dir/tools/install-deps" bench >/dev/null 2>"$work/err" || code=$?
    if ((code != 1)) || [[ $(grep -c . "$work/err") != 1 ]] || ! grep -qF "$1" "$work/err"; then
        echo "expected exit 1 and one line with '$1'; got $code:" >&2
        cat "$work/err" >&2
        status=1
    fi
}

expect "apt-get or dpkg-query is missing (not a Debian system); install by hand: strace"
stub apt-get 'exit 0'
stub apt-cache 'echo "  Candidate: (none)"'
expect "no such package in the configured archives: strace"
stub apt-cache 'echo "  Candidate: 6.1-0.1"'
stub apt-get "[ \"\$1\" = update ] && exit 0; exit 100"
expect "installing failed: strace"
stub apt-get 'exit 100'
expect "apt-get update failed"
exit "$status"
