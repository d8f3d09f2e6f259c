// SPDX-License-Identifier: Apache-2.0
#include "syscall_faults.h"

#include <fcntl.h>
#include <seccomp.h>

#include <cerrno>
#include <cstring>
#include <memory>

bool parseSyscallFault(const std::string& name, SyscallFault& fault) {
    if (name == "fsync") {
        fault = SyscallFault::Fsync;
    } else if (name == "folder-open") {
        fault = SyscallFault::FolderOpen;
    } else {
        return false;
    }
    return true;
}

bool failOnThisThread(SyscallFault fault, std::string& why) {
    // Everything allowed but the calls below; only the calling thread is filtered.
    const std::unique_ptr<void, void (*)(scmp_filter_ctx)> ctx(seccomp_init(SCMP_ACT_ALLOW),
                                                               &seccomp_release);
    if (!ctx) {
        why = "seccomp_init failed";
        return false;
    }
    int rc = 0;
    if (fault == SyscallFault::Fsync) {
        rc = seccomp_rule_add(ctx.get(), SCMP_ACT_ERRNO(EIO), SCMP_SYS(fsync), 0);
    } else {
        const auto folderFlags = [](unsigned arg) {
            return scmp_arg_cmp{arg, SCMP_CMP_MASKED_EQ, O_DIRECTORY | O_PATH, O_DIRECTORY};
        };
        rc = seccomp_rule_add(ctx.get(), SCMP_ACT_ERRNO(EIO), SCMP_SYS(openat), 1, folderFlags(2));
        // open(2) exists on some architectures only; glibc opens with openat anyway.
        (void)seccomp_rule_add(ctx.get(), SCMP_ACT_ERRNO(EIO), SCMP_SYS(open), 1, folderFlags(1));
    }
    if (rc == 0) rc = seccomp_load(ctx.get());
    if (rc != 0) why = std::string("cannot install a seccomp filter: ") + std::strerror(-rc);
    return rc == 0;
}
