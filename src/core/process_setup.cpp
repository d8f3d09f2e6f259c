// SPDX-License-Identifier: Apache-2.0
#include "core/process_setup.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

void openStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        // The lowest free number is `fd` itself, as the lower ones are open by now. Without
        // /dev/null there is nothing better to do than to go on.
        const int opened = ::open("/dev/null", O_RDWR);
        if (opened >= 0 && opened != fd) ::close(opened);
    }
}

sigset_t loopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGCHLD);
    return set;
}

bool resetSignals(std::string& error) {
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    for (int sig = 1; sig < NSIG; ++sig) {
        // SIGKILL, SIGSTOP and the numbers without a signal refuse; nothing to reset there.
        if (sig != SIGKILL && sig != SIGSTOP) ::sigaction(sig, &dfl, nullptr);
    }
    struct sigaction ign {};
    ign.sa_handler = SIG_IGN;
    sigemptyset(&ign.sa_mask);
    const sigset_t blocked = loopSignals();
    if (::sigaction(SIGPIPE, &ign, nullptr) != 0 ||
        ::sigprocmask(SIG_SETMASK, &blocked, nullptr) != 0) {
        error = std::strerror(errno);
        return false;
    }
    return true;
}

bool becomeSubreaper(std::string& error) {
    if (::prctl(PR_SET_CHILD_SUBREAPER, 1UL, 0UL, 0UL, 0UL) == 0) return true;
    error = std::strerror(errno);
    return false;
}
