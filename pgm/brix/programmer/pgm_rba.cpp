// The PGM RBA database of a device: its RBA text parsed into block placements, in a container file.
#define BRIX_SOURCE_NAME "brix_non_ddb_builder"

#include "programmer/pgm_rba.h"

#include "brix_data_server.h"
#include "brix_vocabulary.h"
#include "cli/brix_operations.h"
#include "fio.h"
#include "gen.h"
#include "line_reader.h"
#include "msg_internal_error.h"
#include "pgm_common.h"
#include "pgmdev.h"
#include "records/brix_data_manager.h"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace {

// An unsigned decimal number that fits 32 bits; anything else (a sign, other characters, a larger value) is
// not a number.
bool read_u32(const std::string& word, uint32_t& value) {
    const char* end = word.data() + word.size();
    auto result = std::from_chars(word.data(), end, value, 10);
    return !word.empty() && result.ec == std::errc() && result.ptr == end;
}

// The six numbers of an entry, from words[first] on.
bool read_entry_numbers(const std::vector<std::string>& words, size_t first, uint32_t (&numbers)[6]) {
    if (words.size() < first + 6)
        return false;
    for (size_t k = 0; k < 6; ++k)
        if (!read_u32(words[first + k], numbers[k]))
            return false;
    return true;
}

} // namespace

void add_rba_location(const BRIX_PROGRESS& progress, BRIX_RBA_BLOCK_LIST& block_list,
                      BRIX_RBA_BLOCK*& current_block, std::string& last_block_name, const std::string& block,
                      uint32_t frame_size, uint32_t bit_size, uint32_t frame_index, uint32_t bit_index,
                      uint32_t frame_mirror, uint32_t bit_mirror) {
    unsigned type = PGM_RBA_INVALID;
    if (last_block_name.empty() || last_block_name != block) {
        progress.detail(block + "\n");
        PGMDEV_MGR::pgm_check_type_name_supported(0, block, type);
        BRIX_CHECK(type > PGM_RBA_INVALID && type < PGM_RBA_MAX,
                   "type > PGM_RBA_INVALID && type < PGM_RBA_MAX");
        for (auto iter = block_list.begin(); iter != block_list.end(); ++iter)
            BRIX_CHECK((*iter)->type != type, "(*iter)->type != type");
        auto created = std::make_unique<BRIX_RBA_BLOCK>();
        created->type = type;
        created->frame_size = frame_size;
        created->bit_size = bit_size;
        current_block = created.get();
        block_list.push_back(std::move(created));
    } else {
        BRIX_CHECK(current_block != nullptr, "(*rba_block) != NULL");
        type = current_block->type;
    }
    BRIX_CHECK(current_block != nullptr, "(*rba_block) != NULL");
    BRIX_CHECK(current_block->type == type, "block->type == type");
    BRIX_CHECK(current_block->frame_size == frame_size, "block->frame_size == frame_size");
    BRIX_CHECK(current_block->bit_size == bit_size, "block->bit_size == bit_size");
    current_block->locations[frame_index].push_back({bit_index, frame_mirror != 0, bit_mirror != 0});
    last_block_name = block;
}

BRIX_RBA_BLOCK_LIST parse_rba_file(const BRIX_BUILD_CONTEXT& context, const std::string& rba_file,
                                   uint32_t version) {
    const BRIX_PROGRESS& progress = context.progress();
    BRIX_CHECK(version == 0 || version == 1, "version == 0 || version == 1");
    std::string file = rba_file;
    // A text unpacked here stays beside its source only when it parses.
    struct REMOVE_ON_FAILURE {
        std::string path;
        ~REMOVE_ON_FAILURE() {
            if (!path.empty())
                FIO_FILE_SYSTEM::remove_file(path);
        }
    } unpacked;
    if (PGM_COMMON::check_extension(rba_file, "rbaz")) {
        // Decompressed in-process beside the compressed file, which stays where it is; the line names the
        // command that does the same, as logs know it.
        file = rba_file.substr(0, rba_file.size() - 1);
        progress.step("CMD: " + BRIX_BUILD_CONTEXT::gunzip_command(rba_file, file) + "\n\n");
        // The PGM RBA build knows no CRAM geometry of its own: the bound for an unknown device applies.
        context.unpack(rba_file, file, BRIX_BUILD_CONTEXT::text_unpack_limit(0, 0));
        unpacked.path = file;
    }
    progress.step("Parsing " + file + " ...\n\n");
    LINE_READER rba(file);
    BRIX_CHECK(rba.is_open(), "rba.good()");

    BRIX_RBA_BLOCK_LIST list;
    BRIX_RBA_BLOCK* current_block = nullptr;
    std::string last_block_name, block;
    bool start = false, stop = false;
    std::string line;
    while (!stop && rba.next(line)) {
        std::vector<std::string> words = LINE_READER::words(line);
        if (words.empty())
            continue; // blank lines are skipped
        const std::string& word = words[0];
        uint32_t n[6];
        if (version == 0) {
            if (!start) {
                start = stl_starts_with(word, "$BLOCK_CRAM");
                continue;
            }
            if (stl_starts_with(word, "$BLOCK_")) {
                stop = true;
                continue;
            }
            block = word;
            BRIX_CHECK(!block.empty(), "!block.empty()");
            BRIX_CHECK(
                read_entry_numbers(words, 2, n),
                "rba >> dummy >> frame_size >> bit_size >> frame_index >> bit_index >> frame_mirror >> "
                "bit_mirror");
        } else {
            if (word != "CRAM")
                continue;
            BRIX_CHECK(
                words.size() >= 4 && read_entry_numbers(words, 4, n),
                "rba >> block >> dummy >> dummy >> frame_size >> bit_size >> frame_index >> bit_index >> "
                "frame_mirror >> bit_mirror");
            block = words[1];
        }
        // The mirror fields are flags: any other value would be stored as true.
        BRIX_CHECK(n[4] <= 1 && n[5] <= 1, "RBA mirror fields " + std::to_string(n[4]) + " " +
                                               std::to_string(n[5]) + " are not each 0 or 1");
        add_rba_location(progress, list, current_block, last_block_name, block, n[0], n[1], n[2], n[3], n[4],
                         n[5]);
    }
    BRIX_CHECK(!rba.failed(), "rba.good()");
    rba.set_location("end of file");
    if (version == 0)
        BRIX_CHECK(start && stop, "start && stop");
    else
        BRIX_CHECK(!block.empty() && !last_block_name.empty(), "!block.empty() && !block_name.empty()");
    BRIX_CHECK(list.size() > 0, "rba_list.size() > 0");
    progress.text("\n");
    unpacked.path.clear();
    return list;
}

void build_pgm_rba(const BRIX_BUILD_CONTEXT& context, const std::string& target,
                   const std::string& rba_file) {
    BRIX_CHECK(
        PGM_COMMON::check_extension(rba_file, "rba") || PGM_COMMON::check_extension(rba_file, "rbaz"),
        "PGM_COMMON::check_extension(rba_file, \"rba\") || PGM_COMMON::check_extension(rba_file, \"rbaz\")");
    BRIX_CHECK(FIO_FILE_SYSTEM::exists(rba_file), "FIO_FILE_SYSTEM::exists(rba_file.c_str())");
    BRIX_CHECK(!PGM_COMMON::check_extension(target, "ddb"), "!PGM_COMMON::check_extension(target, \"ddb\")");

    const BRIX_DEVICE_NAMES device = context.resolve_device(target, "!pcf.empty() && !family.empty()");
    uint32_t rba_index = find_pgm_family_info(device.family);
    BRIX_CHECK(rba_index != uint32_t(-1), "rba_index != DWORD(-1)");
    uint32_t version = PGM_FAMILY_INFO_DATABASE[rba_index].rba_version;

    const BRIX_PROGRESS& progress = context.progress();
    progress.text("\n");
    progress.step("Building RBA file ... \n\n");
    progress.detail("PCF: " + device.pcf + "\n");
    progress.detail("Family: " + device.family + "\n");
    progress.detail("Version: " + std::to_string(version) + "\n\n");

    BRIX_RBA_BLOCK_LIST list = parse_rba_file(context, rba_file, version);
    std::vector<unsigned char> data;
    pgm_ddb_write(data, list);
    BRIX_CHECK(data.size() > 0, "data.size() > 0");
    context.write_container("pgm_rba", device.pcf, data);
    BRIX_DATA_SERVER::delete_device_rba(list);
    progress.text("\n");
}
