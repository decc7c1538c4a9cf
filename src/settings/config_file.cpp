#include <sys/stat.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "diagnostics/diagnostics.h"
#include "diagnostics/messages.h"
#include "settings/settings.h"

namespace mirebox {
namespace {

// A tab is deliberately not a separator: it stays inside the token around it.
constexpr const char* SEPARATORS = " \r\n";
// Lines are read in pieces of at most 255 bytes; a longer line becomes
// several numbered lines.
constexpr int PIECE_SIZE = 256;

struct Position {
    const char* path;
    std::int64_t line;
};

// A line's problem, named by the file and the line number.
void report(const Position& at, const char* problem, bool strict) {
    if (strict) complain_and_exit(messages::FILE_LINE, at.path, at.line, problem);
    complain(messages::FILE_LINE, at.path, at.line, problem);
}

// A problem that quotes a token of the line: "Unknown option 'port'".
void report_token(const Position& at, const char* what, const char* token, bool strict) {
    char problem[PIECE_SIZE + 32];  // a token is part of one piece
    std::snprintf(problem, sizeof problem, messages::QUOTED, what, token);
    report(at, problem, strict);
}

void apply_log_level(const Position& at, const char* text, bool strict) {
    std::int64_t value = 0;
    // Taken as unsigned, so a negative level is as far out of range as 3.
    if (!parse_number(text, value) || static_cast<std::uint64_t>(value) >= 3) {
        report_token(at, messages::INVALID_LOG_LEVEL, text, strict);
        return;
    }
    verbosity = static_cast<std::uint32_t>(value);
}

void apply_key(Settings& settings, const Position& at, const char* key, const char* value,
               bool strict) {
    const std::string_view name = key;
    if (name == "Port") apply_port(settings, value, strict);
    else if (name == "Delay") apply_delay(settings, value, strict);
    else if (name == "MaxLineLength") apply_max_line_length(settings, value, strict);
    else if (name == "MaxClients") apply_max_clients(settings, value, strict);
    else if (name == "LogLevel") apply_log_level(at, value, strict);
    else if (name == "BindFamily") apply_bind_family(settings, value, strict);
    // An unknown key is never fatal, so a file written for a newer version
    // still starts an older daemon.
    else report_token(at, messages::UNKNOWN_OPTION, key, false);
}

void apply_line(Settings& settings, const Position& at, char* text, bool strict) {
    char* state = nullptr;
    const char* key = strtok_r(text, SEPARATORS, &state);
    if (key == nullptr) return;
    const char* value = strtok_r(nullptr, SEPARATORS, &state);
    if (value == nullptr) {
        report(at, messages::MISSING_VALUE, strict);
        return;
    }
    if (strtok_r(nullptr, SEPARATORS, &state) != nullptr) {
        report(at, messages::TOO_MANY_VALUES, strict);
        return;
    }
    apply_key(settings, at, key, value, strict);
}

// A file that is not there or may not be read is no configuration, and says
// nothing. One that could not be opened for want of descriptors or memory
// may well hold an edit: a reload says so, or the settings it logs next
// would read as applied.
void report_unread(const char* path, bool strict) {
    const int error = errno;
    if (!strict && (error == EMFILE || error == ENFILE || error == ENOMEM))
        complain(messages::FILE_WARNING, path, std::strerror(error));
}

}  // namespace

void load_settings_file(Settings& settings, const char* path, bool strict, FileKinds kinds) {
    // Opened without blocking, so a named pipe with no writer cannot hold up
    // start-up; a device (say /dev/zero) never ends and is no configuration,
    // so it counts as a file that cannot be opened.
    const int fd = open(path, O_RDONLY | O_NONBLOCK);
    if (fd == -1) {
        report_unread(path, strict);
        return;
    }
    struct stat status {};
    if (fstat(fd, &status) == -1 || S_ISCHR(status.st_mode) || S_ISBLK(status.st_mode) ||
        (kinds == FileKinds::regular_only && !S_ISREG(status.st_mode))) {
        close(fd);
        return;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    std::FILE* file = fdopen(fd, "r");
    if (file == nullptr) {
        report_unread(path, strict);
        close(fd);
        return;
    }
    load_settings_stream(settings, file, path, strict);
    std::fclose(file);
}

void load_settings_stream(Settings& settings, std::FILE* file, const char* path, bool strict) {
    char piece[PIECE_SIZE];
    Position at{path, 0};
    while (std::fgets(piece, sizeof piece, file) != nullptr) {
        // A NUL byte read from the file ends the piece here as well.
        if (char* comment = std::strchr(piece, '#')) *comment = '\0';
        ++at.line;
        apply_line(settings, at, piece, strict);
    }
}

}  // namespace mirebox
