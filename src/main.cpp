// mirebox: holds SSH clients on an endless stream of pre-banner lines.
#include "diagnostics/diagnostics.h"
#include "settings/settings.h"
#include "tarpit/tarpit.h"

#ifndef MIREBOX_CONFIG_PATH
#define MIREBOX_CONFIG_PATH "/usr/local/etc/mirebox.config"
#endif

namespace {

constexpr const char* DEFAULT_CONFIG_PATH = MIREBOX_CONFIG_PATH;

}  // namespace

int main(int argc, char** argv) {
    using namespace mirebox;
    log_sink = log_to_stdout;
    // Later sources win: built-in defaults, the default file, then each
    // option in turn, -f files read where they stand.
    Settings settings;
    const char* config_path = DEFAULT_CONFIG_PATH;
    load_settings_file(settings, config_path, true);
    apply_command_line(argc, argv, settings, config_path);
    return run_service(settings, config_path, argv[0]);
}
