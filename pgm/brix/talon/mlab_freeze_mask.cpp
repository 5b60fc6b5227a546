// The MLAB RAM freeze mask of a TALON image: which bits of the image a used-as-RAM MLAB freezes.
#define BRIX_SOURCE_NAME "brix_common_function"

#include "brix_common_function.h"

#include "bit_matrix.h"
#include "brix_data_server.h"
#include "brix_vocabulary.h"
#include "fio.h"
#include "gen.h"
#include "line_reader.h"
#include "msg_internal_error.h"
#include "pgm_common.h"
#include "pgmdev.h"
#include "qtl_tokenizer.h"
#include "records/brix_data_manager.h"
#include "thr.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

// Every MLAB row of A frames (A = the LUTRAM address lines per row) is examined at its frame 50: where an
// MLAB's LUTRAM dataline d has bit d + 16 set, the MLAB is used as RAM and the bits d + 16 and d + 19 of
// the frame six before are frozen. Positions outside the image are skipped: an examined frame at or past
// the frame count (a row of fewer than 51 frames at the end of the image), and bits at or past the frame's
// bit count, are neither read nor marked.
unsigned char* BRIX_COMMON::get_mlab_ram_freeze_mask(const std::string& pcf_name,
                                                     const unsigned char* image_bitfield,
                                                     unsigned image_bit_size) {
    BRIX_CHECK(!pcf_name.empty(), "!device_pcf_name.empty()");
    BRIX_CHECK(image_bitfield != nullptr, "image_bitfield != NULL");
    BRIX_CHECK(image_bit_size > 0, "image_bit_size > 0");
    std::string family = PGMDEV_DEVICE_GRAMMAR_MGR::get_pcf_family_pcf(pcf_name);
    BRIX_CHECK(!family.empty(),
               "Not able to get family database file, device database file might be invalid");
    BRIX_CHECK(stl_upper(family) == "TALON_FAMILY", "Unsupported family");

    std::unique_ptr<BRIX_INFO> pcf_info(BRIX_DATA_SERVER::vantrel_get_brix_info(pcf_name, false, true, true));
    BRIX_CHECK(pcf_info != nullptr && pcf_info->get_device_info() != nullptr,
               "pcf_info != NULL && pcf_info->get_device_info() != NULL");
    const BRIX_DEVICE_INFO* device = pcf_info->get_device_info();
    const uint64_t cram_frame = device->get_const_uint(BRIX_PARAMETER_CRAM_FRAME_COUNT);
    const uint64_t cram_bit = device->get_const_uint(BRIX_PARAMETER_CRAM_BIT_COUNT);
    BRIX_CHECK(cram_frame * cram_bit == image_bit_size, "(cram_frame * cram_bit) == image_bit_size");
    const BRIX_ARG_LIST* arg_list = device->get_argument_list();
    BRIX_CHECK(arg_list != nullptr && arg_list->size() > 0, "arg_list != NULL && arg_list->size() > 0");

    const BRIX_ARG* arg =
        BRIX_MANAGER::search_argument_from_list(BRIX_ARGUMENT_LUTRAM_REMAP_ADDRLINES, arg_list);
    BRIX_CHECK(arg != nullptr, "arg != NULL");
    unsigned addrlines_per_row = 0;
    std::vector<uint32_t*> uint_arg_list = BRIX_MANAGER::get_uint_arg_list(arg, addrlines_per_row);
    BRIX_CHECK(addrlines_per_row != 0 && uint_arg_list.size() == 1,
               "addrlines_per_row != 0 && uint_arg_list.size() == 1");
    arg = BRIX_MANAGER::search_argument_from_list(BRIX_ARGUMENT_LUTRAM_DATALINES, arg_list);
    BRIX_CHECK(arg != nullptr, "arg != NULL");
    unsigned lutram_datalines_count = 0;
    uint_arg_list = BRIX_MANAGER::get_uint_arg_list(arg, lutram_datalines_count);
    BRIX_CHECK(lutram_datalines_count != 0 && uint_arg_list.size() == 1,
               "lutram_datalines_count != 0 && uint_arg_list.size() == 1");
    const std::vector<uint32_t> datalines(uint_arg_list[0], uint_arg_list[0] + lutram_datalines_count);

    BIT_MATRIX mask(1, image_bit_size);
    auto image_bit = [&](uint64_t i) { return (image_bitfield[i / 8] >> (i % 8)) & 1; };
    const uint64_t row_count = cram_frame / addrlines_per_row;
    for (uint64_t r = 0; r < row_count; ++r) {
        const uint64_t f = r * addrlines_per_row + 50;
        if (f >= cram_frame)
            break; // rows further on examine frames further out
        for (uint32_t d : datalines) {
            const uint64_t b = uint64_t(d) + 16;
            if (b >= cram_bit || !image_bit(f * cram_bit + b))
                continue;
            mask.set(0, size_t((f - 6) * cram_bit + b));
            if (b + 3 < cram_bit)
                mask.set(0, size_t((f - 6) * cram_bit + b + 3));
        }
    }
    std::unique_ptr<unsigned char[]> bytes(new unsigned char[mask.bytes_per_row()]);
    mask.row_to_bytes(0, bytes.get(), mask.bytes_per_row());
    return bytes.release();
}
