// The run settings and everything that turns text into them: value checks,
// the configuration file and the command line; and the lines that log them.
#pragma once

#include <cstdint>
#include <cstdio>

namespace mirebox {

// The fields bear the configuration keys' names, capitals and all, so that
// a key, its field and its settings line ("MaxClients 4096") read the same.
struct Settings {
    std::int32_t Port = 2222;           // listening TCP port
    std::int32_t Delay = 10000;         // milliseconds between two lines to one client
    std::int32_t MaxLineLength = 32;    // longest line in bytes, CR LF included
    std::int32_t MaxClients = 4096;     // most clients held at once
    std::int32_t BindFamily = 0;        // 0 dual-stack, AF_INET or AF_INET6
};

// A whole base-10 number: leading white space and a sign are fine, anything
// after the digits, an empty text and overflow of 64 bits are not.
bool parse_number(const char* text, std::int64_t& value);

// Strict: a bad value is reported and ends the process with status 1 (start-up).
// Lenient: a bad value is reported and the field keeps its value (reload).
void apply_port(Settings& settings, const char* text, bool strict);
void apply_delay(Settings& settings, const char* text, bool strict);
void apply_max_line_length(Settings& settings, const char* text, bool strict);
void apply_max_clients(Settings& settings, const char* text, bool strict);
void apply_bind_family(Settings& settings, const char* text, bool strict);

// What a read takes. A device never is (/dev/zero would never end). At
// start-up a pipe is fine (say -f <(make-config)); a running daemon must
// never wait on one, so a reload reads a regular file or nothing.
enum class FileKinds { all_but_devices, regular_only };

// Reads key-value lines into settings and verbosity. A file that cannot be
// opened, or is of a kind not taken, is skipped: silently, but for a lenient
// read (the reload) that lacked the descriptors or memory to open it, which
// warns.
void load_settings_file(Settings& settings, const char* path, bool strict,
                        FileKinds kinds = FileKinds::all_but_devices);
// The same for a file already open; path only names it in messages.
void load_settings_stream(Settings& settings, std::FILE* file, const char* path, bool strict);

// Applies the options in order; returns only when the daemon is to start.
// config_path starts as the default file and ends as the file named by the
// last -f, if any.
void apply_command_line(int argc, char** argv, Settings& settings, const char*& config_path);

// The five settings lines, at level 1: at start-up and after each reload.
void log_settings(const Settings& settings);

}  // namespace mirebox
