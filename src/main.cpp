// mirebox: keeps SSH clients waiting on slow pre-banner lines.
#include <fcntl.h>

#include <cerrno>

#include "diagnostics/diagnostics.h"
#include "settings/settings.h"
#include "tarpit/tarpit.h"

#ifndef MIREBOX_CONFIG_PATH
#define MIREBOX_CONFIG_PATH "/usr/local/etc/mirebox.config"
#endif

namespace {

constexpr const char* DEFAULT_CONFIG_PATH = MIREBOX_CONFIG_PATH;

// A supervisor may start the daemon with a standard descriptor closed. The
// next socket would take its number, and a client would be sent the log
// (other clients' addresses) or the warnings; /dev/null takes it instead.
void fill_standard_descriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // open gives the lowest free number, and every lower one is open.
        if (open("/dev/null", O_RDWR) == -1) mirebox::exit_with_errno();
    }
}

}  // namespace

int main(int argc, char** argv) {
    using namespace mirebox;
    fill_standard_descriptors();
    log_sink = log_to_stdout;
    // Later sources win: built-in defaults, the default file, then each
    // option in turn, -f files read where they stand.
    Settings settings;
    const char* config_path = DEFAULT_CONFIG_PATH;
    load_settings_file(settings, config_path, true);
    apply_command_line(argc, argv, settings, config_path);
    return run_service(settings, config_path, argv[0]);
}
