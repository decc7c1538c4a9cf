// Reading the log: a file or standard input to its end, or on as it grows
// and across rotation and truncation.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace mirebox::stats {

inline constexpr std::size_t MAX_LINE = 4096;  // longer lines are cut, and unparsed

struct LineSink {
    void (*deliver)(void* context, std::string_view line);
    void* context;
};

struct Input {
    std::string path;        // empty for standard input
    int fd = -1;
    dev_t device = 0;
    ino_t inode = 0;
    off_t offset = 0;
    bool regular = false;    // a file that can grow; otherwise a pipe or terminal
    bool skipping = false;   // dropping the rest of an overlong line
    std::string pending;     // the start of a line whose end has not come yet
    // The file's first bytes, to its first newline: a file truncated and
    // written again past the offset read starts with other ones.
    std::string head;
};

// Opens path (or takes standard input for an empty path). False when it
// cannot be opened; errno tells why.
bool open_input(Input& input, const std::string& path);
void close_input(Input& input);

enum class ReadResult { data, idle, end, error };
// Reads what is there now and hands on each whole line, without the NUL
// bytes of a hole (a file truncated under a writer at its old offset). A
// regular file found truncated is read again from its start. `idle`: nothing
// new in a file that may grow; `end`: a pipe's writer has gone.
ReadResult read_input(Input& input, LineSink sink);
// Hands on a last line that had no newline.
void flush_input(Input& input, LineSink sink);
// For a followed path: when the name now leads to another file (rotated), the
// old one is read to its end and the new one opened. False while the path
// names no file.
bool check_rotation(Input& input, LineSink sink);

}  // namespace mirebox::stats
