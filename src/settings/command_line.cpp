#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "diagnostics/diagnostics.h"
#include "settings/settings.h"

namespace mirebox {
namespace {

// Option processing stops at the first non-option and never reorders
// arguments. BSD getopt already behaves so; glibc's needs a leading "+",
// which BSD getopt would take as an option letter.
#ifdef __GLIBC__
constexpr const char* OPTIONS = "+46d:f:hl:m:p:svV";
#else
constexpr const char* OPTIONS = "46d:f:hl:m:p:svV";
#endif

// The bracketed values are the built-in defaults, written out, and the path
// is the start-up file this build reads (it follows the install prefix; the
// default build shows /usr/local/etc/mirebox.config): the help says what the
// daemon does without options or a file, not what a configuration in force
// has made of it. -s works but is not listed.
constexpr const char* HELP_BEFORE_PATH =
    "Usage: mirebox [-vh] [-46] [-d MS] [-f CONFIG] [-l LEN] [-m LIMIT] [-p PORT]\n"
    "  -4        Bind to IPv4 only\n"
    "  -6        Bind to IPv6 only\n"
    "  -d INT    Message millisecond delay [10000]\n"
    "  -f        Set and load config file [";
constexpr const char* HELP_AFTER_PATH =
    "]\n"
    "  -h        Print this help message and exit\n"
    "  -l INT    Maximum banner line length (3-255) [32]\n"
    "  -m INT    Maximum number of clients [4096]\n"
    "  -p INT    Listening port [2222]\n"
    "  -v        Print diagnostics to standard output (repeatable)\n"
    "  -V        Print version information and exit\n";

void print_help(std::FILE* stream, const char* default_path) {
    std::fputs(HELP_BEFORE_PATH, stream);
    std::fputs(default_path, stream);
    std::fputs(HELP_AFTER_PATH, stream);
}

void print_version() { std::puts("Mirebox 1.1"); }

}  // namespace

void apply_command_line(int argc, char** argv, Settings& settings, const char*& config_path) {
    constexpr bool strict = true;
    const char* const default_path = config_path;
    int option = 0;
    while ((option = getopt(argc, argv, OPTIONS)) != -1) {
        switch (option) {
            case '4': apply_bind_family(settings, "4", strict); break;
            case '6': apply_bind_family(settings, "6", strict); break;
            case 'd': apply_delay(settings, optarg, strict); break;
            case 'f':
                config_path = optarg;
                load_settings_file(settings, config_path, strict);
                break;
            case 'h':
                print_help(stdout, default_path);
                std::exit(0);
            case 'l': apply_max_line_length(settings, optarg, strict); break;
            case 'm': apply_max_clients(settings, optarg, strict); break;
            case 'p': apply_port(settings, optarg, strict); break;
            case 's': log_sink = log_to_syslog; break;
            case 'v':
                if (verbosity < LOG_LEVEL_DEBUG) ++verbosity;
                break;
            case 'V':
                print_version();
                std::exit(0);
            default:  // getopt has already printed its complaint
                complain_and_exit("%s%s%s", HELP_BEFORE_PATH, default_path, HELP_AFTER_PATH);
        }
    }
    if (optind < argc) complain_and_exit("mirebox: too many arguments\n");
}

}  // namespace mirebox
