// What the signals ask for, served at the start of a pass of the loop: the
// reload of the configuration file, and the totals.
#include <unistd.h>

#include <csignal>
#include <ctime>

#include "settings/settings.h"
#include "tarpit/tarpit.h"

namespace mirebox {
namespace {

// A SIGUSR1 that came while the totals were being logged is answered by
// them; left pending it would log a second line at once.
void absorb_pending_totals_request() {
    sigset_t user1;
    sigemptyset(&user1);
    sigaddset(&user1, SIGUSR1);
    const timespec no_wait{0, 0};
    sigtimedwait(&user1, nullptr, &no_wait);
}

}  // namespace

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

void serve_totals_request(const ClientQueue& queue) {
    log_totals(queue.head);
    // Absorbed before the request is cleared, never after: a SIGUSR1 that
    // lands once the flag is clear is a new request, and must stay pending
    // for the next wait to deliver.
    absorb_pending_totals_request();
    totals_requested = 0;
}

}  // namespace mirebox
