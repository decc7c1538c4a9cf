// Feeds arbitrary bytes to the configuration file reader, leniently, so
// that a bad line is reported and the next one read.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "settings/settings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;  // fmemopen refuses an empty buffer
    std::FILE* file = fmemopen(const_cast<std::uint8_t*>(data), size, "r");
    if (file == nullptr) return 0;
    mirebox::Settings settings;
    mirebox::load_settings_stream(settings, file, "fuzz.config", false);
    std::fclose(file);
    return 0;
}
