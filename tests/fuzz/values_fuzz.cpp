// Feeds arbitrary text to every setting check, leniently, and checks that
// whatever a check accepts lies within its range.
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "settings/settings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);  // ends at any NUL
    mirebox::Settings settings;
    mirebox::apply_port(settings, text.c_str(), false);
    mirebox::apply_delay(settings, text.c_str(), false);
    mirebox::apply_max_line_length(settings, text.c_str(), false);
    mirebox::apply_max_clients(settings, text.c_str(), false);
    mirebox::apply_bind_family(settings, text.c_str(), false);
    const bool in_range = settings.Port >= 1 && settings.Port <= 65535 && settings.Delay >= 1 &&
                          settings.MaxLineLength >= 3 && settings.MaxLineLength <= 255 &&
                          settings.MaxClients >= 1 &&
                          (settings.BindFamily == 0 || settings.BindFamily == AF_INET ||
                           settings.BindFamily == AF_INET6);
    if (!in_range) std::abort();
    return 0;
}
