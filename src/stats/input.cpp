// Reading the log: a file or standard input to its end, or on as it grows
// and across rotation and truncation, the way tail -F does, by polling with
// stat(2) so that it works the same on every system.
#include <sys/stat.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include "stats/input.h"

namespace mirebox::stats {

namespace {

constexpr std::size_t READ_SIZE = 65536;
// Enough of a first line to tell it from another: the daemon's start with
// the time to the millisecond, a syslog daemon's to the second.
constexpr std::size_t HEAD_SIZE = 256;

// One piece of a line; `ended` when its newline came with it.
void take_piece(Input& input, std::string_view piece, bool ended, LineSink sink) {
    if (input.skipping) {
        input.skipping = !ended;
        return;
    }
    if (input.pending.size() + piece.size() > MAX_LINE) {
        // Not the daemon's: its lines are short. Pass on the start of it, to
        // be counted as not understood, and drop the rest.
        input.pending.append(piece.substr(0, MAX_LINE - input.pending.size()));
        sink.deliver(sink.context, input.pending);
        input.pending.clear();
        input.skipping = !ended;
        return;
    }
    if (!ended) {
        input.pending.append(piece);
    } else if (input.pending.empty()) {
        sink.deliver(sink.context, piece);
    } else {
        input.pending.append(piece);
        sink.deliver(sink.context, input.pending);
        input.pending.clear();
    }
}

// A hole of NULs is no text: its bytes are dropped, so that it neither
// swallows the line written after it nor counts as a line of its own, even
// where a newline ends it. Returns the length left.
std::size_t drop_nuls(const Input& input, char* buffer, std::size_t size) {
    // Whether the line in hand has text so far, and whether it had NULs.
    bool text = !input.pending.empty() || input.skipping;
    bool nuls = false;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < size; ++i) {
        const char c = buffer[i];
        if (c == '\0') {
            nuls = true;
            continue;
        }
        if (c == '\n') {
            const bool hole_only = nuls && !text;
            text = nuls = false;
            if (hole_only) continue;
        } else {
            text = true;
        }
        buffer[kept++] = c;
    }
    return kept;
}

// Keeps the file's first bytes as they are read from its start.
void remember_head(Input& input, off_t at, std::string_view chunk) {
    if (at != static_cast<off_t>(input.head.size()) || input.head.size() >= HEAD_SIZE ||
        input.head.ends_with('\n'))
        return;
    std::string_view more = chunk.substr(0, HEAD_SIZE - input.head.size());
    const std::size_t newline = more.find('\n');
    if (newline != std::string_view::npos) more = more.substr(0, newline + 1);
    input.head.append(more);
}

// Shorter than what was read, or starting with other bytes: truncated, and
// perhaps written again beyond the old offset since, which its size alone
// cannot show.
bool was_truncated(const Input& input) {
    struct stat status {};
    if (fstat(input.fd, &status) == -1) return false;
    if (status.st_size < input.offset) return true;
    if (input.head.empty()) return false;
    char start[HEAD_SIZE];
    const ssize_t got = pread(input.fd, start, input.head.size(), 0);
    return got != static_cast<ssize_t>(input.head.size()) ||
           std::string_view(start, input.head.size()) != input.head;
}

void read_from_start(Input& input, LineSink sink) {
    flush_input(input, sink);
    if (lseek(input.fd, 0, SEEK_SET) == -1) return;
    input.offset = 0;
    input.head.clear();
}

}  // namespace

bool open_input(Input& input, const std::string& path) {
    close_input(input);
    input.path = path;
    input.fd = path.empty() ? STDIN_FILENO : open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (input.fd == -1) return false;
    struct stat status {};
    if (fstat(input.fd, &status) == 0) {
        input.device = status.st_dev;
        input.inode = status.st_ino;
        input.regular = S_ISREG(status.st_mode);
    }
    // Standard input may be a file read partly already: what is read counts
    // from where it stands, and no first line is taken from its middle.
    const off_t at = input.regular ? lseek(input.fd, 0, SEEK_CUR) : 0;
    input.offset = at > 0 ? at : 0;
    input.head.clear();
    return true;
}

void close_input(Input& input) {
    if (input.fd > STDIN_FILENO) close(input.fd);
    input.fd = -1;
    input.pending.clear();
    input.skipping = false;
}

ReadResult read_input(Input& input, LineSink sink) {
    if (input.fd == -1) return ReadResult::idle;
    if (input.regular && input.offset > 0 && was_truncated(input)) read_from_start(input, sink);
    char buffer[READ_SIZE];
    const ssize_t count = read(input.fd, buffer, sizeof buffer);
    if (count == -1) {
        if (errno == EINTR || errno == EAGAIN) return ReadResult::idle;
        return ReadResult::error;
    }
    if (count == 0) return input.regular ? ReadResult::idle : ReadResult::end;
    const auto size = static_cast<std::size_t>(count);
    if (input.regular) remember_head(input, input.offset, std::string_view(buffer, size));
    input.offset += count;
    std::size_t kept = size;
    if (std::memchr(buffer, '\0', size) != nullptr) kept = drop_nuls(input, buffer, size);
    std::string_view chunk(buffer, kept);
    for (std::size_t newline; (newline = chunk.find('\n')) != std::string_view::npos;) {
        take_piece(input, chunk.substr(0, newline), true, sink);
        chunk.remove_prefix(newline + 1);
    }
    if (!chunk.empty()) take_piece(input, chunk, false, sink);
    return ReadResult::data;
}

void flush_input(Input& input, LineSink sink) {
    if (!input.pending.empty()) sink.deliver(sink.context, input.pending);
    input.pending.clear();
    input.skipping = false;
}

bool check_rotation(Input& input, LineSink sink) {
    struct stat status {};
    if (input.path.empty() || stat(input.path.c_str(), &status) == -1) return false;
    if (input.fd == -1 || status.st_dev != input.device || status.st_ino != input.inode) {
        // Whatever was written to the old file before it was moved away
        // still counts.
        while (read_input(input, sink) == ReadResult::data) {
        }
        flush_input(input, sink);
        const std::string path = input.path;
        return open_input(input, path);
    }
    return true;
}

}  // namespace mirebox::stats
