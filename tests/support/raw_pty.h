// SPDX-License-Identifier: Apache-2.0
// One end of a serial line for tests that play the other end: a pty whose slave is raw from
// the start (nothing is echoed before a program configures the line) and held open by the
// test, so that the master never reads EIO while no program has the slave open.
#pragma once

#include <fcntl.h>
#include <termios.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "core/unique_fd.h"

struct RawPty {
    UniqueFd master;
    UniqueFd slave;
    std::string slavePath;
};

// `slaveFlags` are added to the slave's open flags. Throws std::runtime_error on failure.
inline RawPty openRawPty(int slaveFlags = 0) {
    const auto fail = [](const char* what) {
        throw std::runtime_error(std::string("cannot create a pty: ") + what + ": " +
                                 std::strerror(errno));
    };
    RawPty pty;
    pty.master.reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    char name[128];
    if (!pty.master.valid() || ::grantpt(pty.master.get()) != 0 ||
        ::unlockpt(pty.master.get()) != 0 || ::ptsname_r(pty.master.get(), name, sizeof(name)) != 0)
        fail("posix_openpt");
    pty.slavePath = name;
    pty.slave.reset(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | slaveFlags));
    struct termios tio {};
    if (!pty.slave.valid() || ::tcgetattr(pty.slave.get(), &tio) != 0) fail(name);
    ::cfmakeraw(&tio);
    if (::tcsetattr(pty.slave.get(), TCSANOW, &tio) != 0) fail("tcsetattr");
    return pty;
}
