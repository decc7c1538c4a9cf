#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "diagnostics/diagnostics.h"
#include "diagnostics/messages.h"
#include "settings/settings.h"

namespace mirebox {
namespace {

// what names the setting in its message: "mirebox: Invalid port: 0".
void reject(const char* what, const char* text, bool strict) {
    if (strict) complain_and_exit(messages::INVALID_VALUE, what, text);
    complain(messages::INVALID_VALUE, what, text);
}

// Stores text into field when it is a whole number within [low, high].
void apply_number(std::int32_t& field, const char* text, bool strict, std::int64_t low,
                  std::int64_t high, const char* what) {
    std::int64_t value = 0;
    if (!parse_number(text, value) || value < low || value > high) {
        reject(what, text, strict);
        return;
    }
    field = static_cast<std::int32_t>(value);
}

}  // namespace

bool parse_number(const char* text, std::int64_t& value) {
    char* end = nullptr;
    errno = 0;
    const long long parsed = std::strtoll(text, &end, 10);
    // No digit at all is checked apart: not every C library sets errno for it.
    if (errno != 0 || end == text || *end != '\0') return false;
    value = parsed;
    return true;
}

void apply_port(Settings& settings, const char* text, bool strict) {
    apply_number(settings.Port, text, strict, 1, 65535, "port");
}

void apply_delay(Settings& settings, const char* text, bool strict) {
    apply_number(settings.Delay, text, strict, 1, INT32_MAX, "delay");
}

void apply_max_line_length(Settings& settings, const char* text, bool strict) {
    apply_number(settings.MaxLineLength, text, strict, 3, 255,
                 "line length");
}

void apply_max_clients(Settings& settings, const char* text, bool strict) {
    apply_number(settings.MaxClients, text, strict, 1, INT32_MAX,
                 "max clients");
}

void apply_bind_family(Settings& settings, const char* text, bool strict) {
    // The value picks one of three families by its first character alone,
    // so "4x" is IPv4 and "64" IPv6: it is a choice, not a number, and
    // nothing after that character can change it. Unlike the numbers, no
    // white space or sign is skipped before it.
    switch (text[0]) {
        case '0': settings.BindFamily = 0; return;
        case '4': settings.BindFamily = AF_INET; return;
        case '6': settings.BindFamily = AF_INET6; return;
        default: reject("address family", text, strict);
    }
}

}  // namespace mirebox
