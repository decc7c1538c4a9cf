#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "diagnostics/diagnostics.h"
#include "diagnostics/messages.h"
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

// Standard output for -h, standard error after a bad option, where getopt
// has already said what was wrong. default_path is the start-up file of
// this build, which follows the install prefix.
void print_help(std::FILE* stream, const char* default_path) {
    std::fprintf(stream, messages::HELP, default_path);
}

void print_version() { std::printf(messages::VERSION, MIREBOX_VERSION); }

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
            default:
                print_help(stderr, default_path);
                std::exit(1);
        }
    }
    if (optind < argc) complain_and_exit(messages::TOO_MANY_ARGUMENTS);
}

}  // namespace mirebox
