// The serial line to the controller: raw 115200 8N1, read one line at a time through a
// buffered stream, written straight to the descriptor.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

class Uart {
public:
    explicit Uart(const char* path);
    // Serves lines from `input` and writes to `outputFd`, taking ownership of both: the
    // request path without a device, for fuzzing.
    Uart(FILE* input, int outputFd);
    ~Uart();
    Uart(const Uart&) = delete;
    Uart& operator=(const Uart&) = delete;

    // Reads one line into `buf`: up to `size` - 1 bytes, the newline kept when it fits,
    // followed by a zero byte. Returns `size` when bytes were read, 0 when the device gave
    // end of input or an error (the buffer is left as it was), -1 when the port is not open.
    // When a line did not fit, the rest of it, up to its newline, is discarded by the next
    // call rather than returned as a line of its own.
    int Read(char* buf, int size);

    // Writes all `len` bytes, continuing after short writes and interruptions. Returns `len`,
    // or -1 when the port is not open or the device refused the bytes.
    int Write(const char* data, int len);

    int GetFd() const { return portFd; }

    bool IsOpen() const { return portStream != nullptr; }
    // Closes the device if open and opens it again; true when it is open afterwards.
    bool Reopen();

private:
    struct StreamCloser {
        void operator()(FILE* f) const { std::fclose(f); }
    };

    void open();
    void close();

    std::string path_;
    int portFd = -1;
    std::unique_ptr<FILE, StreamCloser> portStream;
    bool discardTail_ = false;
    // The input stream was handed in: portFd is a descriptor of its own, not the stream's.
    bool adopted_ = false;
};
