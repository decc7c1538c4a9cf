#include <unistd.h>

#include "settings/settings.h"
#include "tarpit/tarpit.h"

namespace mirebox {

void reload_settings(Settings& settings, const char* config_path, int& listener) {
    const std::int32_t old_port = settings.Port;
    const std::int32_t old_family = settings.BindFamily;
    // Not reset to the defaults first: what the file leaves out keeps the
    // value it had, from the command line or an earlier file.
    load_settings_file(settings, config_path, false, FileKinds::regular_only);
    log_settings(settings);
    if (settings.Port != old_port || settings.BindFamily != old_family) {
        close(listener);
        listener = open_listener(settings.Port, settings.BindFamily);
    }
    reload_requested = 0;
}

}  // namespace mirebox
