// SPDX-License-Identifier: Apache-2.0
// Runs a program with a disk fault staged (syscall_faults.h), for the system tests:
//
//   quillferry_fault_exec fsync|folder-open PROGRAM [ARG...]
// Exit status 64 for a usage error, 77 when the fault cannot be staged here (qemu-user),
// 127 when PROGRAM cannot be executed.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "syscall_faults.h"

int main(int argc, char** argv) {
    SyscallFault fault{};
    if (argc < 3 || !parseSyscallFault(argv[1], fault)) {
        std::fprintf(stderr, "usage: %s fsync|folder-open PROGRAM [ARG...]\n", argv[0]);
        return 64;
    }
    if (std::string why; !failOnThisThread(fault, why)) {
        std::fprintf(stderr, "%s: %s\n", argv[0], why.c_str());
        return 77;
    }
    ::execv(argv[2], argv + 2);
    std::fprintf(stderr, "%s: cannot run %s: %s\n", argv[0], argv[2], std::strerror(errno));
    return 127;
}
