// The RIF file of a device: its compressed text unpacked beside it and parsed into the G2 list.
#define BRIX_SOURCE_NAME "brix_helper"

#include "device/rif_parser.h"

#include "context/build_context.h"

#include "brix_owned_list.h"
#include "fio.h"
#include "large_block.h"
#include "line_reader.h"
#include "msg_internal_error.h"
#include "qtl_tokenizer.h"
#include "records/brix_data_manager.h"

#include <cstdint>
#include <iostream>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace {

// One reference of a RIF line. A line's fields are all read before any record is made for it.
struct RIF_REFERENCE {
    unsigned frame;
    unsigned bit;
    bool dir;
    unsigned dist;
};

unsigned rif_number(std::string_view field) {
    return BRIX_MANAGER::convert_string_to_value(field, false);
}

// The slot of the bit in the entry of the frame. The entry is made (with dra_count null slots) when the first
// bit of its frame arrives, the slot when the first bit of its slot arrives.
G2_SII_BIT_LIST* rif_slot(OWNED_LIST<G2_SII>& list, unsigned frame, unsigned bit, unsigned dra_count) {
    if (frame >= list.size())
        list.resize(size_t(frame) + 1);
    std::unique_ptr<G2_SII>& entry = list[frame];
    if (entry == nullptr) {
        entry = std::make_unique<G2_SII>();
        entry->set_g2_s2_bit_list_list(new G2_SII_BIT_LIST_LIST(dra_count, nullptr));
    }
    BRIX_CHECK(entry != nullptr, "g2_s2 != NULL");
    G2_SII_BIT_LIST_LIST* slots = entry->get_g2_s2_bit_list_list();
    BRIX_CHECK(slots != nullptr && slots->size() == dra_count,
               "g2_s2_bit_list_list != NULL && g2_s2_bit_list_list->size() == dra_count");
    G2_SII_BIT_LIST*& slot = (*slots)[bit % dra_count];
    if (slot == nullptr)
        slot = new G2_SII_BIT_LIST;
    BRIX_CHECK(slot != nullptr, "g2_s2_bit_list != NULL");
    return slot;
}

// Reads the entries of a RIF text held in memory (named rif in reports) into list.
void parse_rif_text(std::string_view text, const std::string& rif, unsigned rif_version, unsigned dra_count,
                    unsigned frame_count, unsigned bit_count, OWNED_LIST<G2_SII>& list) {
    LINE_READER reader(text, rif);
    BRIX_CHECK(reader.is_open(), "rif_infile.good()");
    std::string_view line;
    const bool has_header = reader.next(line);
    BRIX_CHECK(has_header && LINE_READER::trim_view(line) == "$RIF", "First line of a RIF file must be $RIF");

    const QTL_TOKENIZER tokenizer(" \t\n");
    // One field vector for all lines, its fields views into the line.
    std::vector<std::string_view> fields;
    std::vector<RIF_REFERENCE> references;
    // Frames and bits, of the entries and of their references alike, lie inside the device: below its frame
    // and bit counts where it has them, else below limits far above any real device.
    const unsigned frame_bound = frame_count != 0 ? frame_count : RIF_FRAME_LIMIT;
    const unsigned bit_bound = bit_count != 0 ? bit_count : RIF_BIT_LIMIT;
    const std::string frame_bound_text =
        std::string(frame_count != 0 ? "count " : "limit ") + std::to_string(frame_bound);
    const std::string bit_bound_text =
        std::string(bit_count != 0 ? "count " : "limit ") + std::to_string(bit_bound);
    // The frame/bit pairs met so far: a pair given twice would make two records for one bit.
    std::unordered_set<uint64_t> pairs;
    while (reader.next(line)) {
        tokenizer.tokenize(LINE_READER::trim_view(line), fields);
        if (fields.empty())
            continue;
        BRIX_CHECK(fields.size() >= 7, "svec.size() >= 7");
        BRIX_CHECK(rif_version == 0 || rif_version == 1 || rif_version == 2,
                   "Unsupported RIF parsing version");
        // Version 0 names frame, then bit; versions 1 and 2 bit, then frame (in the entry and in each
        // reference alike).
        const unsigned frame_field = rif_version == 0 ? 0 : 1;
        const unsigned frame = rif_number(fields[frame_field]);
        const unsigned bit = rif_number(fields[1 - frame_field]);
        // Entries are kept dense by frame number, so a frame number is bounded before it sizes the list.
        BRIX_CHECK(frame < frame_bound,
                   "RIF frame " + std::to_string(frame) + " is not below the frame " + frame_bound_text);
        BRIX_CHECK(bit < bit_bound,
                   "RIF bit " + std::to_string(bit) + " is not below the bit " + bit_bound_text);
        G2_SII_BIT_LIST* slot = rif_slot(list, frame, bit, dra_count);

        const unsigned n = rif_number(fields[2]);
        BRIX_CHECK(n > 0, "temp > 0");
        // In 64 bits: a count near 2^30 would wrap 4n + 3 around to the number of fields of a short line.
        BRIX_CHECK(uint64_t(fields.size()) == uint64_t(n) * 4 + 3, "DWORD(svec.size()) == ((temp * 4) + 3)");
        references.clear();
        for (size_t k = 0; k < n; ++k) {
            const size_t at = 3 + 4 * k;
            const unsigned ref_frame = rif_number(fields[at + frame_field]);
            const unsigned ref_bit = rif_number(fields[at + 1 - frame_field]);
            BRIX_CHECK(ref_frame < frame_bound, "RIF reference frame " + std::to_string(ref_frame) +
                                                    " is not below the frame " + frame_bound_text);
            BRIX_CHECK(ref_bit < bit_bound, "RIF reference bit " + std::to_string(ref_bit) +
                                                " is not below the bit " + bit_bound_text);
            const std::string_view dir = fields[at + 2];
            BRIX_CHECK(dir == "0" || dir == "1", "RIF direction " + std::string(dir) + " is neither 0 nor 1");
            // The record keeps the distance in one byte.
            const unsigned dist = rif_number(fields[at + 3]);
            BRIX_CHECK(dist <= 255, "RIF distance " + std::to_string(dist) + " does not fit its 8-bit field");
            references.push_back({ref_frame, ref_bit, dir == "1", dist});
        }
        BRIX_CHECK(pairs.insert(uint64_t(frame) << 32 | bit).second,
                   "RIF frame " + std::to_string(frame) + " bit " + std::to_string(bit) + " is given twice");

        // The bit record owns its reference list from the start, so a failing allocation part way releases
        // the references made so far with it.
        auto g2_bit = std::make_unique<G2_SII_BIT>(bit);
        auto g2_s1_list = std::make_unique<G2_SI_LIST>();
        g2_s1_list->reserve(references.size());
        G2_SI_LIST* owned = g2_s1_list.release();
        g2_bit->set_g2_s1_list(owned);
        for (const RIF_REFERENCE& r : references)
            owned->push_back(new G2_SI(r.frame, r.bit, r.dir, r.dist));
        slot->push_back(g2_bit.get());
        g2_bit.release();
    }
    BRIX_CHECK(!reader.failed(), "rif_infile.good()");
}

} // namespace

G2_SII_LIST* parse_rif(const BRIX_BUILD_CONTEXT& context, const std::string& rif_file,
                       const std::string& directory_prefix, unsigned rif_version, unsigned dra_count,
                       unsigned frame_count, unsigned bit_count) {
    BRIX_CHECK(!rif_file.empty() && dra_count > 0, "!rif_file.empty() && dra_count > 0");
    // Every entry holds dra_count slots, so the count is bounded like a bit number before any entry is made.
    BRIX_CHECK(dra_count <= (bit_count != 0 ? bit_count : RIF_BIT_LIMIT),
               "RIF slot count " + std::to_string(dra_count) + " passes the bit " +
                   (bit_count != 0 ? "count " + std::to_string(bit_count)
                                   : "limit " + std::to_string(RIF_BIT_LIMIT)));
    const std::string rif_src = directory_prefix + rif_file + "_rif";
    const std::string rif = directory_prefix + rif_file + ".rif";
    {
        INPUT_CONTEXT here(rif_src);
        BRIX_CHECK(FIO_FILE_SYSTEM::exists(rif_src), "FIO_FILE_SYSTEM::exists(rif_src.c_str())");
    }
    const BRIX_PROGRESS& progress = context.progress();
    progress.detail("RIF file: " + rif_src + " (" + rif + ")\n\n");
    progress.sub("Running CMD: " + BRIX_BUILD_CONTEXT::gunzip_command(rif_src, rif) + "\n\n");
    // The text file is written on a worker while the text is parsed; without a worker thread it is written
    // first.
    LARGE_TEXT text;
    FIO_BACKGROUND_FILE writer;
    context.unpack_in_background(rif_src, rif, BRIX_BUILD_CONTEXT::text_unpack_limit(frame_count, bit_count),
                                 text, writer);
    OWNED_LIST<G2_SII> list;
    try {
        progress.sub("Parsing RIF file ... \n\n");
        std::cout.flush();
        parse_rif_text(text.view(), rif, rif_version, dra_count, frame_count, bit_count, list);
    } catch (...) {
        // The write started before the parse, so its failure is the one reported.
        context.finish_unpacking(rif_src, writer);
        throw;
    }
    context.finish_unpacking(rif_src, writer);
    BRIX_CHECK(FIO_FILE_SYSTEM::exists(rif), "FIO_FILE_SYSTEM::exists(rif.c_str())");
    return brix_hand_over_list(list);
}
