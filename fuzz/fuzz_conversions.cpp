// Numbers and hex strings as they come from the XML inputs: any text is either refused or converted to the
// value the C library reads from it, and no text makes the hex conversion touch memory outside its array.
#include "msg_internal_error.h"
#include "records/brix_data_manager.h"

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    bool ok = false;
    unsigned value = BRIX_MANAGER::convert_string_to_value(text, false, &ok);
    if (ok && !text.empty()) {
        bool hex = text.compare(0, 2, "0x") == 0;
        unsigned long long expected = std::strtoull(text.c_str() + (hex ? 2 : 0), nullptr, hex ? 16 : 10);
        if (expected != value)
            std::abort();
    }
    try {
        std::unique_ptr<unsigned char[]> bytes(BRIX_MANAGER::convert_hex_string_to_byte_array(
            text, static_cast<unsigned>((size + 1) / 2), false));
    } catch (const BRIX_INTERNAL_ERROR&) {
    }
    return 0;
}
