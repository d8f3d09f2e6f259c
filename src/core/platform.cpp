// SPDX-License-Identifier: Apache-2.0
#include "core/platform.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "core/constants.h"
#include "core/log.h"

void Platform::start() {
    if (looperThread.joinable()) return;
    if (::access(board_.paths.markerDir.c_str(), F_OK) != 0) {
        const int ret = ::mkdir(board_.paths.markerDir.c_str(), qf::kMarkerDirMode);
        logLine("create dir %s, ret:%d", board_.paths.markerDir.c_str(), ret);
    }
    if (::access(board_.paths.markerFile.c_str(), F_OK) == 0) logEventFlag = true;
    stopEvent_.reset(::eventfd(0, EFD_CLOEXEC));
    looperThread = std::thread(&Platform::ThreadLooper, this);
}

Platform::~Platform() {
    if (looperThread.joinable() && stopEvent_.valid()) {
        const std::uint64_t one = 1;
        if (::write(stopEvent_.get(), &one, sizeof(one)) < 0) {
            logLine("[QuillFerry] cannot stop the watcher: %s", std::strerror(errno));
        }
    }
    // Without its stop event the watcher could not be woken; leave it rather than hang.
    if (looperThread.joinable()) {
        if (stopEvent_.valid()) {
            looperThread.join();
        } else {
            looperThread.detach();
        }
    }
    if (inotifyFd >= 0 && inotifyWatch >= 0) ::inotify_rm_watch(inotifyFd, inotifyWatch);
    if (inotifyFd >= 0) ::close(inotifyFd);
}

void Platform::ThreadLooper() {
    inotifyFd = ::inotify_init1(IN_CLOEXEC);
    if (inotifyFd < 0) {
        logLine("inotify_init failed, ret:%d", inotifyFd);
        return;
    }
    inotifyWatch =
        ::inotify_add_watch(inotifyFd, board_.paths.markerDir.c_str(), IN_CREATE | IN_DELETE);
    if (inotifyWatch < 0) {
        logLine("inotify_add_watch failed, ret:%d", inotifyWatch);
        ::close(inotifyFd);
        inotifyFd = -1;
        return;
    }
    logLine("start monitor service event");

    // Logged and paused on: a lasting failure must not turn into a busy loop.
    const auto failed = [](const char* message) {
        if (errno == EINTR) return;
        logLine("%s", message);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    };
    alignas(struct inotify_event) char buf[qf::kEventBufferSize];
    for (;;) {
        struct pollfd fds[2] = {{inotifyFd, POLLIN, 0}, {stopEvent_.get(), POLLIN, 0}};
        const int ready = ::poll(fds, stopEvent_.valid() ? 2 : 1, -1);
        if (ready == 0) continue;
        if (ready < 0) {
            failed("Could not poll inotify events");
            continue;
        }
        if (fds[1].revents != 0) return;

        const ssize_t len = ::read(inotifyFd, buf, sizeof(buf));
        if (len == 0) continue;
        if (len < 0) {
            failed("Could not read inotify events");
            continue;
        }
        for (ssize_t off = 0; off + static_cast<ssize_t>(sizeof(struct inotify_event)) <= len;) {
            struct inotify_event ev {};
            std::memcpy(&ev, buf + off, sizeof(ev));
            if (off + static_cast<ssize_t>(sizeof(ev) + ev.len) > len) break;
            const char* namePtr = buf + off + sizeof(ev);
            const std::string name(namePtr, ::strnlen(namePtr, ev.len));
            logLine("get event: wd: %d, mask:0x%x, len:%d, name:%s", ev.wd, ev.mask,
                    static_cast<int>(ev.len), visible(name).c_str());
            if ((ev.mask & (IN_CREATE | IN_DELETE)) != 0 && name == qf::kMarkerName) {
                if ((ev.mask & IN_CREATE) != 0) {
                    logEventFlag = true;
                    logLine("enable quillferry log");
                } else {
                    logEventFlag = false;
                    logLine("disable quillferry log");
                }
            }
            off += static_cast<ssize_t>(sizeof(ev) + ev.len);
        }
    }
}
