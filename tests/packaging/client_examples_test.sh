#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Usage: client_examples_test.sh SOURCE_DIR BUILD_DIR
# The client library as a program outside the tree sees it: the build installed under a
# scratch prefix, the examples built against that alone, with CMake
# (find_package(QuillFerryClient)) and with pkg-config, and both run against a board the
# test plays on a pty (it acknowledges the probe, and answers get_stat). The library exports
# its API alone.
set -euo pipefail
readonly src=$1 build=$2
scratch=$(mktemp -d "${TMPDIR:-/tmp}/quillferry-examples.XXXXXX")
board_pid=""
cleanup() {
    [[ -z $board_pid ]] || kill "$board_pid" 2>/dev/null || true
    rm -rf "$scratch"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# The client library's files alone: the rest of the build names folders outside any prefix.
cmake --install "$build" --prefix "$scratch/root" --component client >"$scratch/install.log" 2>&1 ||
    fail "cmake --install: $(cat "$scratch/install.log")"
pc=$(find "$scratch/root" -name quillferry-client.pc)
library=$(find "$scratch/root" -name 'libquillferry-client.so.0')
[[ -n $pc && -n $library ]] || fail "no pkg-config file or library installed"

if ! {
    cmake -S "$src/examples" -B "$scratch/with-cmake" -DCMAKE_PREFIX_PATH="$scratch/root" &&
        cmake --build "$scratch/with-cmake"
} >"$scratch/build.log" 2>&1; then
    fail "the examples do not build with CMake: $(cat "$scratch/build.log")"
fi
flags=$(PKG_CONFIG_PATH=$(dirname "$pc") pkg-config --cflags --libs quillferry-client) || fail "pkg-config does not know quillferry-client"
# shellcheck disable=SC2086 # the flags are words
c++ -std=c++17 "$src/examples/fleet_stat.cpp" -o "$scratch/fleet_stat" $flags \
    >"$scratch/build.log" 2>&1 || fail "the examples do not build with pkg-config: $(cat "$scratch/build.log")"

export LD_LIBRARY_PATH=${library%/*}
for program in "$scratch/with-cmake/probe" "$scratch/fleet_stat"; do
    ldd "$program" | grep -F "=> $library " >/dev/null || fail "${program##*/} does not use the installed library"
done
exported=$(nm -D --defined-only -C "$library" | cut -d' ' -f3- |
    grep -vE '^((typeinfo|typeinfo name|vtable) for )?qfclient::' || true)
[[ -z $exported ]] || fail "the library exports more than its API: $exported"

# The board: the probe's acknowledgement, and a get_stat reply with the request's uuid.
python3 - "$scratch/tty" >"$scratch/board.log" 2>&1 <<'PY' &
import os, pty, re, sys, time
master, slave = pty.openpty()
os.symlink(os.ttyname(slave), sys.argv[1])
end = time.monotonic() + 30
pending = b""
while time.monotonic() < end:
    pending += os.read(master, 4096)
    while b"\n" in pending:
        line, pending = pending.split(b"\n", 1)
        if line.startswith(b"Quillferry_Status_Check_"):
            os.write(master, b"Quillferry_Ok!!!\n\0")
        uuid = re.search(rb'"uuid":("[^"]*")', line)
        if uuid:
            os.write(master, b'{"cmd":"get_stat","cpu_pwr_lmt":100,"cpu_temp":41000,'
                     b'"netconf":0,"ret_val":0,"uuid":' + uuid.group(1) + b"}\n")
PY
board_pid=$!
for _ in $(seq 50); do [[ -e $scratch/tty ]] && break; sleep 0.1; done
[[ -e $scratch/tty ]] || fail "no board: $(cat "$scratch/board.log")"

out=$("$scratch/with-cmake/probe" "$scratch/tty" 2>&1) || fail "probe: $out"
[[ $out == alive* ]] || fail "probe: $out"
out=$("$scratch/fleet_stat" "$scratch/tty" /nonexistent/tty 2>&1) && fail "fleet_stat: 0 with a board missing"
[[ $out == *"$scratch/tty: ok, cpu_temp 41000"* && $out == *"/nonexistent/tty: unavailable"* ]] ||
    fail "fleet_stat: $out"
echo "client_examples_test: the examples build against the installed library and drive a board"
