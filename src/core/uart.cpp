#include "core/uart.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// The port's messages go to standard output; flushed at once so that a supervisor or a
// log collector sees them in order with standard error.
void portMessage(const char* text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
}

}  // namespace

Uart::Uart(const char* path) : path_(path) {
    open();
}

Uart::Uart(FILE* input, int outputFd) : portFd(outputFd), portStream(input), adopted_(true) {}

Uart::~Uart() {
    close();
}

void Uart::open() {
    portFd = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (portFd >= 0) {
        std::printf("open %s!\n", path_.c_str());
        std::fflush(stdout);
    }

    struct termios tio {};
    if (portFd < 0 || ::tcgetattr(portFd, &tio) != 0) tio = termios{};
    tio.c_cflag = B115200 | CS8 | CREAD | CLOCAL;
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_iflag = IGNPAR;
    tio.c_lflag = 0;
    tio.c_cc[VTIME] = 0;
    tio.c_cc[VMIN] = 1;
    if (portFd >= 0) {
        // A device that is not a terminal (a pipe in a test rig) still serves lines.
        ::tcsetattr(portFd, TCSANOW, &tio);
        ::tcflush(portFd, TCIFLUSH);
        portStream.reset(::fdopen(portFd, "r"));
        if (!portStream) {
            ::close(portFd);
            portFd = -1;
        }
    }
    discardTail_ = false;
}

void Uart::close() {
    // fdopen's stream owns portFd; an adopted stream leaves portFd to be closed here.
    const bool portInStream = portStream != nullptr && !adopted_;
    portStream.reset();
    if (portFd >= 0 && !portInStream) ::close(portFd);
    portFd = -1;
    adopted_ = false;
}

bool Uart::Reopen() {
    close();
    open();
    return IsOpen();
}

int Uart::Read(char* buf, int size) {
    if (!portStream) {
        portMessage("Uart Init failed");
        return -1;
    }
    FILE* in = portStream.get();
    if (discardTail_) {
        std::size_t dropped = 0;
        int c = 0;
        while ((c = std::fgetc(in)) != EOF && c != '\n') ++dropped;
        if (c == EOF) {
            std::clearerr(in);
            return 0;
        }
        discardTail_ = false;
        std::fprintf(stderr, "[QuillFerry] overlong line: discarded %zu bytes after the first %d\n",
                     dropped + 1, size - 1);
    }
    if (std::fgets(buf, size, in) == nullptr) {
        std::clearerr(in);
        return 0;
    }
    const std::size_t len = std::strlen(buf);
    // A full buffer without its newline means the line goes on: its tail is not a request.
    // (A zero byte inside the line makes strlen short; such a line is never mistaken.)
    if (size > 1 && len == static_cast<std::size_t>(size - 1) && buf[len - 1] != '\n') {
        discardTail_ = true;
    }
    return size;
}

int Uart::Write(const char* data, int len) {
    if (portFd < 0) {
        portMessage("Uart Init failed");
        return -1;
    }
    int done = 0;
    while (done < len) {
        const ssize_t n = ::write(portFd, data + done, static_cast<std::size_t>(len - done));
        if (n < 0) {
            if (errno == EINTR) continue;
            portMessage("uart write failed");
            return -1;
        }
        done += static_cast<int>(n);
    }
    return done;
}
