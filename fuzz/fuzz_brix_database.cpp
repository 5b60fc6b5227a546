// Fuzz target: the BRIX database reader, main archive and part files.
//
// The first byte chooses: bit 0 skip_rif (part files not read); bits 1-2 what the rest is:
//   0  a main archive, read as it is;
//   1  a main archive with its CRC-32 trailer repaired, so the schema and the records are reached;
//   2  chunks (each a 16-bit little-endian length, then that many bytes; the last chunk takes what is left):
//      the main archive, then part file 0, 1, ...; every CRC-32 is repaired and the main archive's record of
//      each part's size and CRC-32 is made to match, so the part files are read and checked;
//   3  the same chunks written as they are.
// A database that reads back must write and read again to the same records.
//
// BRIX_FUZZ_MAKE_SEEDS=<dir> writes seed inputs (databases written by the server) into dir and exits.
#include "../tests/database_render.h"
#include "brix_data_server.h"
#include "fio.h"
#include "fuzz_support.h"
#include "records/pgm_brix__pdb.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>
#include <zlib.h>

namespace {

uint32_t get_u32(const std::vector<unsigned char>& b, size_t at) {
    return uint32_t{b[at]} | uint32_t{b[at + 1]} << 8 | uint32_t{b[at + 2]} << 16 | uint32_t{b[at + 3]} << 24;
}

void put_u32(std::vector<unsigned char>& b, size_t at, uint32_t v) {
    for (int k = 0; k < 4; ++k)
        b[at + k] = static_cast<unsigned char>(v >> (8 * k));
}

// Rewrites the last four bytes with the CRC-32 of everything before them.
void repair_crc(std::vector<unsigned char>& file) {
    if (file.size() < 4)
        return;
    uLong crc = crc32(0L, file.data(), static_cast<uInt>(file.size() - 4));
    put_u32(file, file.size() - 4, static_cast<uint32_t>(crc));
}

// Header: magic (8), version (4), root class id (4), companion count (4), then 12 bytes per companion.
const size_t COMPANION_COUNT_OFFSET = 16;
const size_t COMPANIONS_OFFSET = 20;
const size_t COMPANION_SIZE = 12;

std::string g_base;           // database path P of the input (files P.ddb and P_rif_t<i>.ddb)
std::string g_round_trip;     // where a database that reads back is written again
unsigned g_parts_written = 0; // part files the previous input left behind

void remove_parts(const std::string& p, unsigned count) {
    for (unsigned i = 0; i < count; ++i)
        std::remove((p + "_rif_t" + std::to_string(i) + ".ddb").c_str());
}

void write_file(const std::string& path, const std::vector<unsigned char>& data) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr || (!data.empty() && std::fwrite(data.data(), 1, data.size(), f) != data.size()) ||
        std::fclose(f) != 0) {
        std::perror(path.c_str());
        std::abort();
    }
}

// Called only for a database that has been read: a failure here is a fault, not a refusal of the input.
void round_trip(BRIX_INFO* info, bool skip_rif) {
    std::string before = render(info);
    // A database is stamped once: its records move to a fresh root for the second write.
    BRIX_INFO fresh;
    fresh.set_family_info(info->get_family_info());
    fresh.set_device_info(info->get_device_info());
    info->set_family_info(nullptr);
    info->set_device_info(nullptr);
    delete info;
    BRIX_DATA_SERVER::write_brix_info(g_round_trip, &fresh, true);
    BRIX_INFO* again = BRIX_DATA_SERVER::get_brix_info(g_round_trip, skip_rif);
    std::string after = again ? render(again) : std::string();
    delete again;
    if (before != after) {
        std::fprintf(stderr, "database changed in a write and read round trip\n");
        std::abort();
    }
}

// ---- Seeds

unsigned char* bytes(std::initializer_list<unsigned char> values) {
    unsigned char* p = new unsigned char[values.size()];
    std::copy(values.begin(), values.end(), p);
    return p;
}

BRIX_INFO* seed_family() {
    auto* block = new BRIX_BLOCK(5, true);
    block->set_length(10);
    block->set_const_values(new BRIX_CONST_DATA_LIST{new BRIX_CONST_DATA(0xDEADBEEF, 0)}, false);
    auto* dyn = new BRIX_DYN_DATA(8, 1, 2, 9, 0x1FF, true, false);
    dyn->set_ob_datas(new BRIX_OB_DATA_LIST{new BRIX_OB_DATA(12, 3, 4, 9, 7, bytes({0xA5, 0x01}))}, false);
    block->set_dyn_values(new BRIX_DYN_DATA_LIST{dyn}, false);
    block->set_frame(new BRIX_FRAME(3, 100, 2, 90, 4, 4, 0xFFFF, 3, true), false);
    block->set_instructions(
        new BRIX_INSTRUCTION_LIST{new BRIX_INSTRUCTION(2, 0x55, true, 64, false, 8, true)}, false);
    auto* family = new BRIX_FAMILY_INFO;
    family->set_family_type(4);
    family->set_config_data_width(32);
    family->set_block_info_list(new BRIX_BLOCK_LIST{block, new BRIX_BLOCK(6, false)});
    auto* info = new BRIX_INFO;
    info->set_family_info(family);
    return info;
}

BRIX_INFO* seed_device(unsigned g2_entries, unsigned threads) {
    auto* device = new BRIX_DEVICE_INFO;
    device->set_family_type(4);
    device->set_device_type(5);
    device->set_parameter_list(new BRIX_PARAMETER_LIST{new BRIX_PARAMETER(
                                   3, 4, 69, new BRIX_CONST_DATA_LIST{new BRIX_CONST_DATA(7, 2)})},
                               false);
    auto* rows =
        new BRIX_ARG_DATA_LIST{new BRIX_ARG_DATA(bytes({1, 2, 3}), 3, 1), new BRIX_ARG_DATA(nullptr, 0, 0)};
    device->set_argument_list(new BRIX_ARG_LIST{new BRIX_ARG(6, 2, rows)}, false);
    auto* lutram = new LUTRAM_MRAM_INFO(11);
    lutram->update_row(5);
    device->set_lutram_info(new LUTRAM_MRAM_INFO_LIST{lutram});
    device->set_simplified_lutram({1, 2}, {3});
    if (g2_entries > 0) {
        auto* list = new G2_SII_LIST;
        for (unsigned i = 0; i < g2_entries; ++i) {
            auto* bit = new G2_SII_BIT(i * 3);
            bit->set_g2_s1_list(new G2_SI_LIST{new G2_SI(i, 1, i % 2 == 0, i + 300)});
            auto* entry = new G2_SII;
            entry->set_g2_s2_bit_list_list(new G2_SII_BIT_LIST_LIST{new G2_SII_BIT_LIST{bit}});
            list->push_back(entry);
        }
        device->set_g2_s2_list(list, true, true);
        device->set_g2_s2_thread_size(threads);
    }
    auto* info = new BRIX_INFO;
    info->set_device_info(device);
    return info;
}

std::vector<unsigned char> read_all(const std::string& path) {
    std::vector<unsigned char> data;
    if (!FIO_FILE_SYSTEM::read_file(path, data))
        std::abort();
    return data;
}

void append_chunk(std::vector<unsigned char>& out, const std::vector<unsigned char>& chunk, bool last) {
    if (!last) {
        out.push_back(static_cast<unsigned char>(chunk.size()));
        out.push_back(static_cast<unsigned char>(chunk.size() >> 8));
    }
    out.insert(out.end(), chunk.begin(), chunk.end());
}

void make_seeds(const std::string& dir) {
    struct SEED {
        const char* name;
        BRIX_INFO* info;
        unsigned parts;
    };
    SEED seeds[] = {{"family", seed_family(), 0},
                    {"device", seed_device(0, 0), 0},
                    {"device_one_file", seed_device(3, 0), 0},
                    {"device_two_parts", seed_device(5, 2), 2},
                    {"device_three_parts", seed_device(4, 3), 3}};
    for (SEED& seed : seeds) {
        std::string p = fuzz_scratch_dir() + "/" + seed.name;
        BRIX_DATA_SERVER::write_brix_info(p, seed.info, true);
        delete seed.info;
        std::vector<unsigned char> main = read_all(p + ".ddb");
        if (seed.parts == 0) {
            std::vector<unsigned char> input = {0};
            input.insert(input.end(), main.begin(), main.end());
            write_file(dir + "/" + seed.name, input);
            input[0] = 2;
            write_file(dir + "/" + seed.name + "_crc_repaired", input);
            continue;
        }
        for (unsigned char selector : {4, 6, 5}) {
            std::vector<unsigned char> input = {selector};
            append_chunk(input, main, false);
            for (unsigned i = 0; i < seed.parts; ++i)
                append_chunk(input, read_all(p + "_rif_t" + std::to_string(i) + ".ddb"), i + 1 == seed.parts);
            std::string suffix = selector == 4 ? "_repaired" : selector == 6 ? "_as_written" : "_skip_rif";
            write_file(dir + "/" + seed.name + suffix, input);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_setup();
    g_base = fuzz_scratch_dir() + "/input";
    g_round_trip = fuzz_scratch_dir() + "/round_trip";
    if (const char* dir = std::getenv("BRIX_FUZZ_MAKE_SEEDS")) {
        make_seeds(dir);
        std::exit(0);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    const bool skip_rif = data[0] & 1;
    const unsigned mode = (data[0] >> 1) & 3;
    remove_parts(g_base, g_parts_written);
    g_parts_written = 0;

    if (mode < 2) {
        std::vector<unsigned char> main(data + 1, data + size);
        if (mode == 1)
            repair_crc(main);
        write_file(g_base + ".ddb", main);
    } else {
        std::vector<std::vector<unsigned char>> chunks;
        size_t at = 1;
        while (at < size && chunks.size() < 40) {
            size_t length = size - at;
            if (size - at >= 2) {
                size_t declared = data[at] | size_t{data[at + 1]} << 8;
                if (declared <= size - at - 2) {
                    length = declared;
                    at += 2;
                }
            }
            chunks.emplace_back(data + at, data + at + length);
            at += length;
        }
        if (chunks.empty())
            chunks.emplace_back();
        std::vector<unsigned char>& main = chunks[0];
        if (mode == 2) {
            for (size_t i = 1; i < chunks.size(); ++i) {
                repair_crc(chunks[i]);
                size_t entry = COMPANIONS_OFFSET + (i - 1) * COMPANION_SIZE;
                if (chunks[i].size() >= 4 && main.size() >= entry + COMPANION_SIZE &&
                    get_u32(main, COMPANION_COUNT_OFFSET) >= i) {
                    uint64_t file_size = chunks[i].size();
                    put_u32(main, entry, static_cast<uint32_t>(file_size));
                    put_u32(main, entry + 4, static_cast<uint32_t>(file_size >> 32));
                    put_u32(main, entry + 8, get_u32(chunks[i], chunks[i].size() - 4));
                }
            }
            repair_crc(main);
        }
        write_file(g_base + ".ddb", main);
        for (size_t i = 1; i < chunks.size(); ++i)
            write_file(g_base + "_rif_t" + std::to_string(i - 1) + ".ddb", chunks[i]);
        g_parts_written = static_cast<unsigned>(chunks.size() - 1);
    }
    BRIX_INFO* info = nullptr;
    fuzz_expect_report_or_success([&] { info = BRIX_DATA_SERVER::get_brix_info(g_base, skip_rif); });
    // A split database read without its parts has no G2 list in memory: written again it would name parts it
    // does not have, so only databases read whole (or without parts) go round.
    const bool parts_left_unread = info != nullptr && skip_rif && info->get_device_info() != nullptr &&
                                   info->get_device_info()->get_g2_s2_thread_size() > 0;
    if (parts_left_unread)
        delete info;
    else if (info != nullptr)
        round_trip(info, skip_rif);
    return 0;
}
