#include <sys/socket.h>

#include <cstdint>

#include "diagnostics/diagnostics.h"
#include "diagnostics/messages.h"
#include "settings/settings.h"

namespace mirebox {

void log_settings(const Settings& settings) {
    emit_log(LOG_LEVEL_INFO, messages::PORT, settings.Port);
    emit_log(LOG_LEVEL_INFO, messages::DELAY, static_cast<std::int64_t>(settings.Delay));
    emit_log(LOG_LEVEL_INFO, messages::MAX_LINE_LENGTH, settings.MaxLineLength);
    emit_log(LOG_LEVEL_INFO, messages::MAX_CLIENTS, settings.MaxClients);
    const char* family = settings.BindFamily == AF_INET    ? messages::FAMILY_IPV4_ONLY
                         : settings.BindFamily == AF_INET6 ? messages::FAMILY_IPV6_ONLY
                                                           : messages::FAMILY_MAPPED;
    emit_log(LOG_LEVEL_INFO, messages::BIND_FAMILY, family);
}

}  // namespace mirebox
