// Captures what the code under test writes to standard output (both printf and std::cout) by
// pointing file descriptor 1 at a temporary file for the lifetime of the object.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

class StdoutCapture {
  public:
    // fd 1 (standard output) or 2 (standard error, unbuffered).
    explicit StdoutCapture(int fd = 1) : fd_(fd) {
        std::fflush(stdout);
        std::cout.flush();
        char path[] = "/tmp/iolink-stdout-XXXXXX";
        file_ = mkstemp(path);
        unlink(path);
        saved_ = dup(fd_);
        dup2(file_, fd_);
    }
    ~StdoutCapture() {
        Restore();
        close(file_);
    }
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    // Everything written so far.
    std::string Text() {
        std::fflush(stdout);
        std::cout.flush();
        std::string text;
        char buffer[4096];
        for (off_t at = 0;;) {
            const ssize_t n = pread(file_, buffer, sizeof(buffer), at);
            if (n <= 0) {
                break;
            }
            text.append(buffer, static_cast<size_t>(n));
            at += n;
        }
        return text;
    }

    void Restore() {
        if (saved_ >= 0) {
            std::fflush(stdout);
            std::cout.flush();
            dup2(saved_, fd_);
            close(saved_);
            saved_ = -1;
        }
    }

  private:
    int fd_;
    int file_ = -1;
    int saved_ = -1;
};

// Runs f with standard output captured and returns what it wrote. Assertions made after it
// report normally (inside a capture their messages would go to the file).
template <typename F>
std::string CaptureStdout(F&& f) {
    StdoutCapture capture;
    f();
    std::string text = capture.Text();
    capture.Restore();
    return text;
}

// The same for standard error.
template <typename F>
std::string CaptureStderr(F&& f) {
    StdoutCapture capture(2);
    f();
    std::string text = capture.Text();
    capture.Restore();
    return text;
}
