// Captures what the code under test writes to a standard descriptor.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <string>

namespace mirebox::test_support {

// Points fd (1 or 2) at a temporary file until finish() or destruction.
class Capture {
public:
    explicit Capture(int fd) : fd_(fd), file_(std::tmpfile()), saved_(dup(fd)) {
        std::fflush(nullptr);
        dup2(fileno(file_), fd_);
    }
    ~Capture() {
        restore();
        std::fclose(file_);
    }
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    std::string finish() {
        restore();
        std::string text;
        std::rewind(file_);
        for (int c; (c = std::fgetc(file_)) != EOF;) text += static_cast<char>(c);
        return text;
    }

private:
    void restore() {
        if (saved_ == -1) return;
        std::fflush(nullptr);
        dup2(saved_, fd_);
        close(saved_);
        saved_ = -1;
    }

    int fd_;
    std::FILE* file_;
    int saved_;
};

}  // namespace mirebox::test_support
