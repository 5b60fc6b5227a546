// Radix-marked literals from the BCM inputs: any text is either refused with a message or read as a value
// whose fixed-width hex text reads back as the same value.
#include "pgm_common.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    uint64_t value = 0;
    std::string message;
    if (!PGM_COMMON::convert_scientific_string_to_qword(text, value, message)) {
        if (message.empty() || value != 0)
            std::abort();
        return 0;
    }
    uint64_t again = 1;
    std::string hex = PGM_COMMON::convert_qword_to_hex_string(value, 16, false);
    if (hex.size() != 16 || !PGM_COMMON::convert_scientific_string_to_qword("'h" + hex, again, message) ||
        again != value)
        std::abort();
    return 0;
}
