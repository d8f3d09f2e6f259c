// SPDX-License-Identifier: Apache-2.0
// Faults of the disk that no file system here can be made to show, staged with a seccomp
// filter: the system calls named fail with EIO on the calling thread and in whatever it
// starts or executes afterwards. The filter cannot be taken back: install it on a thread of
// its own, or in a process that then executes the program under test (fault_exec).
#pragma once

#include <string>

enum class SyscallFault {
    Fsync,       // every fsync (fdatasync and syncfs still work)
    FolderOpen,  // opening a folder for reading (O_DIRECTORY without O_PATH), as a folder's
                 // flush needs; walking paths with O_PATH still works
};

// "fsync" or "folder-open"; false for anything else.
bool parseSyscallFault(const std::string& name, SyscallFault& fault);

// Installs the filter; false with `why` when the kernel (or an emulator such as qemu-user,
// which keeps seccomp to itself) refuses.
bool failOnThisThread(SyscallFault fault, std::string& why);
