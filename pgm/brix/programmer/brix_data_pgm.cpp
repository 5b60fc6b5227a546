// Programmer container files: the PGM database container (header, zlib payload, CRC-16 trailer), the paths of
// the FID, PGM RBA and CRAM map files, and their look-ups.
#include "brix_data_server.h"

#include "byte_codec.h"
#include "compression.h"
#include "fio.h"
#include "gen.h"
#include "large_block.h"
#include "msg_internal_error.h"
#include "pgm_common.h"
#include "records/brix_data_manager.h"
#include "thr.h"

#include <algorithm>
#include <cstring>
#include <iostream>
#include <memory>

namespace {

constexpr size_t HEADER_SIZE = 96;
constexpr size_t TRAILER_SIZE = 2;
constexpr size_t EXTENSION_OFFSET = 0;
constexpr size_t EXTENSION_SIZE = 16;
constexpr size_t FLAG_OFFSET = 16;
constexpr size_t RAW_SIZE_OFFSET = 20;
constexpr size_t VERSION_OFFSET = 24;
constexpr size_t NAME_OFFSET = 64;
constexpr size_t NAME_SIZE = 32;
// The libdeflate level of the payload stream. Chosen by measurement: at level 7 the stream is never larger
// than zlib's at level 9 on the sample containers and the FID-sized benchmark payload, at about a tenth of
// its time (docs/pgm_container.md); levels 5 and 6 are larger on some samples, levels 8 and up take 2 to 7
// times as long for less than half a percent.
constexpr int COMPRESSION_LEVEL = 7;
// On payloads of a few hundred bytes zlib's level 9 is sometimes a few bytes smaller; up to this size the
// writer tries both, which costs little there.
constexpr uint32_t SMALL_PAYLOAD = 1 << 20;

// A failed check about a byte of the file being read: names the byte offset under the file's frame.
[[noreturn]] void fail_at_byte(size_t offset, const std::string& text) {
    INPUT_CONTEXT here("byte " + std::to_string(offset));
    BRIX_REPORT(text);
}

// Text of a zero-filled header field: up to the first zero byte; every later byte of the field must be zero.
std::string read_text_field(const unsigned char* file, size_t offset, size_t size, const char* text) {
    std::string value;
    size_t i = offset;
    for (; i < offset + size && file[i] != 0; ++i)
        value += static_cast<char>(file[i]);
    for (; i < offset + size; ++i)
        if (file[i] != 0)
            fail_at_byte(i, text);
    return value;
}

const char* const UNCOMPRESS_TEXT =
    "zlib_uncompress(uncompressed_data, &index, &file_data[96], file_size - 98) == ZLIB_OK";

// Inflates the zlib stream of `size` bytes at `source` into exactly raw_size bytes; the result is checked by
// check_inflated, after the checks of the header.
struct INFLATED {
    int rc = ZLIB_DATA_ERROR;
    unsigned long produced = 0;
};
INFLATED inflate_payload(const unsigned char* source, size_t size, unsigned char* destination,
                         uint32_t raw_size) {
    INFLATED result;
    result.produced = raw_size;
    result.rc = zlib_uncompress(destination, &result.produced, source, size);
    return result;
}

// A stream that is not valid zlib data fails the uncompress check; a valid stream of any other length fails
// "index == raw_data_size".
void check_inflated(const INFLATED& inflated, uint32_t raw_size) {
    INPUT_CONTEXT here("payload");
    if (inflated.rc == ZLIB_BUF_ERROR || (inflated.rc == ZLIB_OK && inflated.produced != raw_size))
        BRIX_REPORT("index == raw_data_size");
    BRIX_CHECK(inflated.rc == ZLIB_OK, UNCOMPRESS_TEXT);
}

// The CRC-16 of a large file is taken on a thread of its own while the payload is decompressed: the two
// passes read the same bytes and do not depend on each other. The result is used only after the wait, so
// the checks keep their order. Before the CRC the thread maps the payload's pages, ahead of the
// decompressor, which would otherwise take their faults itself.
constexpr size_t PARALLEL_CRC = size_t{1} << 20;
struct CRC_TASK {
    const unsigned char* data = nullptr;
    size_t size = 0;
    unsigned char* payload = nullptr; // to be mapped first, if any
    size_t payload_size = 0;
    uint16_t crc = 0;
    static void* run(void* argument) {
        CRC_TASK& task = *static_cast<CRC_TASK*>(argument);
        if (task.payload != nullptr)
            prefault_large_block(task.payload, task.payload_size);
        task.crc = PGM_COMMON::calculate_crc16(task.data, 0, uint64_t{task.size} * 8, 0xFFFF);
        return nullptr;
    }
};
// Waits for the task's thread, also when the decompression side fails.
struct CRC_THREAD {
    THR_HANDLE handle = nullptr;
    ~CRC_THREAD() { wait(); }
    void wait() {
        THR_HANDLE h = handle;
        handle = nullptr;
        thr_thread_wait(h);
    }
};

// Path of a device's container with the given extension; a target that is such a path is taken as it is.
std::string device_container_file(const std::string& target, std::string& pcf, const std::string& extension) {
    BRIX_CHECK(!target.empty(), "!target.empty()");
    pcf.clear();
    std::string tail = "." + extension;
    if (target.size() > tail.size() && stl_ends_with(target, tail))
        return target;
    pcf = BRIX_DATA_SERVER::get_pcf(target, false);
    BRIX_CHECK(!pcf.empty(), "!pcf.empty()");
    return BRIX_MANAGER::get_programmer_fid_directory() + pcf + tail;
}

// Reads a device's container and checks its header against what the look-up expects.
std::unique_ptr<unsigned char[]> read_device_container(const std::string& path, const std::string& pcf,
                                                       const std::string& expected_extension,
                                                       const char* extension_text, uint32_t& raw_size) {
    uint32_t version = 0;
    std::string file_extension, device_name;
    std::unique_ptr<unsigned char[]> data =
        BRIX_DATA_SERVER::read_pgm_database_file(path, version, file_extension, device_name, raw_size);
    INPUT_CONTEXT here(path);
    BRIX_CHECK(data != nullptr && raw_size > 0, "uncompressed_data != NULL && uncompressed_size > 0");
    BRIX_CHECK(version == 1, "version == 1");
    BRIX_CHECK(file_extension == expected_extension, extension_text);
    BRIX_CHECK(device_name == pcf || pcf == "", "device_name == pcf || pcf == \"\"");
    return data;
}

} // namespace

// ---- The container
// --------------------------------------------------------------------------------------------

void BRIX_DATA_SERVER::write_pgm_database_file(const unsigned char* data, uint32_t data_size,
                                               uint32_t version, std::string file_extension, std::string name,
                                               std::string file_base, std::string directory) {
    BRIX_CHECK(!file_extension.empty() && file_extension.size() <= EXTENSION_SIZE,
               "!file_extension.empty() && file_extension.size() <= 16");
    BRIX_CHECK(!name.empty() && name.size() <= NAME_SIZE, "!name.empty() && name.size() <= 32");

    // Room for the worst case of the compressor; the size check below keeps the payload within five times
    // the data.
    unsigned long capacity = zlib_compress_bound(data_size);
    // Only the header needs zeros (padding of the text fields); the compressor fills the rest.
    const size_t file_capacity = HEADER_SIZE + capacity + TRAILER_SIZE;
    std::unique_ptr<unsigned char[]> file = new_large_block(file_capacity);
    std::memset(file.get(), 0, HEADER_SIZE);
    unsigned long compressed_size = capacity;
    BRIX_CHECK(
        zlib_compress2(&file[HEADER_SIZE], &compressed_size, data, data_size, COMPRESSION_LEVEL) == ZLIB_OK,
        "zlib_compress2(&compressed_data[96], &compressed_size, data, data_size, ZLIB_BEST_COMPRESSION) == "
        "ZLIB_OK");
    if (data_size <= SMALL_PAYLOAD) {
        // Short payloads also go through zlib's own encoder, and the smaller stream is kept.
        std::vector<unsigned char> reference(capacity);
        unsigned long reference_size = capacity;
        if (zlib_reference_compress2(reference.data(), &reference_size, data, data_size, 9) == ZLIB_OK &&
            reference_size < compressed_size) {
            std::copy(reference.begin(), reference.begin() + reference_size, file.get() + HEADER_SIZE);
            compressed_size = reference_size;
        }
    }
    BRIX_CHECK(uint64_t{compressed_size} <= uint64_t{data_size} * 5, "compressed_size <= (data_size * 5)");

    stl_toupper(file_extension);
    stl_toupper(name);
    std::copy(file_extension.begin(), file_extension.end(), file.get() + EXTENSION_OFFSET);
    std::copy(name.begin(), name.end(), file.get() + NAME_OFFSET);
    put_le32(&file[FLAG_OFFSET], 1);
    put_le32(&file[RAW_SIZE_OFFSET], data_size);
    put_le32(&file[VERSION_OFFSET], version);

    size_t covered = HEADER_SIZE + compressed_size;
    uint16_t crc = PGM_COMMON::calculate_crc16(file.get(), 0, uint64_t{covered} * 8, 0xFFFF);
    file[covered] = static_cast<unsigned char>(crc & 0xFF);
    file[covered + 1] = static_cast<unsigned char>((crc >> 8) & 0xFF);

    stl_tolower(file_extension);
    stl_toupper(file_base);
    std::string path = directory + file_base + "." + file_extension;
    // The command the line names (as logs know it) removes an old file first; the atomic writer replaces it
    // instead, so that a failed write leaves it in place.
    std::cout << "\n   Generating PGM Database file: " << path << " ...\n\n";
    std::cout << "      CMD: unlink " << path << "\n\n";

    gen_create_installation_directories(directory);
    FIO_ATOMIC_FILE out(path);
    out.write(file.get(), covered + TRAILER_SIZE);
    out.commit();
}

PGM_CONTAINER_FILE BRIX_DATA_SERVER::read_pgm_container(const std::string& path) {
    INPUT_CONTEXT here(path);
    // The file is read once, into memory of its own that is mapped a huge page at a time.
    HUGE_PAGE_BLOCK block;
    size_t file_size = 0;
    BRIX_CHECK(FIO_FILE_SYSTEM::read_file(path, block, file_size), "input.good()");
    const unsigned char* file = block.get();
    BRIX_CHECK(file_size > HEADER_SIZE + TRAILER_SIZE, "file_size > 98");

    PGM_CONTAINER_FILE result;
    const size_t compressed_size = file_size - HEADER_SIZE - TRAILER_SIZE;
    const uint32_t raw_data_size = get_le32(&file[RAW_SIZE_OFFSET]);
    // A raw size that the stream cannot produce is refused (below) before room is allocated for it.
    const bool plausible_size =
        raw_data_size > 0 && uint64_t{raw_data_size} <= uint64_t{compressed_size} * DEFLATE_MAX_RATIO;
    CRC_TASK crc_task;
    crc_task.data = file;
    crc_task.size = file_size - TRAILER_SIZE;
    INFLATED inflated;
    if (plausible_size) {
        // The payload is decompressed straight into the buffer the caller receives, advised for huge pages
        // before anything touches it. A payload decompressed in one piece is mapped whole by the CRC task
        // as the decompressor fills it; the threads that decompress a large one a segment at a time map
        // their own segments side by side.
        result.payload.reset(new unsigned char[raw_data_size]);
        advise_large_block(result.payload.get(), raw_data_size);
        if (raw_data_size < ZLIB_SEGMENTED_SIZE) {
            crc_task.payload = result.payload.get();
            crc_task.payload_size = raw_data_size;
        }
    }
    {
        // A large file's CRC-16 is taken beside the decompression; the results are checked only afterwards,
        // in the order of the checks below.
        CRC_THREAD crc_thread;
        if (plausible_size && file_size >= PARALLEL_CRC)
            crc_thread.handle = thr_thread_create(CRC_TASK::run, &crc_task, 0);
        if (crc_thread.handle == nullptr)
            CRC_TASK::run(&crc_task);
        if (plausible_size)
            inflated =
                inflate_payload(&file[HEADER_SIZE], compressed_size, result.payload.get(), raw_data_size);
    }
    const uint16_t crc16 = crc_task.crc;
    if (file[file_size - 2] != static_cast<unsigned char>(crc16 & 0xFF))
        fail_at_byte(file_size - 2, "file_data[file_size - 2] == BYTE(crc16 & 0xFF)");
    if (file[file_size - 1] != static_cast<unsigned char>((crc16 >> 8) & 0xFF))
        fail_at_byte(file_size - 1, "file_data[file_size - 1] == BYTE((crc16 >> 8) & 0xFF)");
    result.crc16 = crc16;
    result.header.assign(file, file + HEADER_SIZE);

    result.file_extension = read_text_field(file, EXTENSION_OFFSET, EXTENSION_SIZE, "file_data[i] == 0");
    result.name = read_text_field(file, NAME_OFFSET, NAME_SIZE, "file_data[j] == 0");

    result.flag = get_le32(&file[FLAG_OFFSET]);
    if ((file[FLAG_OFFSET] & 1) != 1)
        fail_at_byte(FLAG_OFFSET, "(flag & 1) == 1");
    if (raw_data_size == 0)
        fail_at_byte(RAW_SIZE_OFFSET, "raw_data_size > 0");
    result.version = get_le32(&file[VERSION_OFFSET]);

    if (!plausible_size)
        fail_at_byte(RAW_SIZE_OFFSET, "index == raw_data_size");
    check_inflated(inflated, raw_data_size);
    result.raw_size = raw_data_size;
    result.compressed_size = compressed_size;
    return result;
}

std::unique_ptr<unsigned char[]>
BRIX_DATA_SERVER::read_pgm_database_file(const std::string& path, uint32_t& version,
                                         std::string& file_extension, std::string& name, uint32_t& raw_size) {
    file_extension.clear();
    name.clear();
    PGM_CONTAINER_FILE file = read_pgm_container(path);
    version = file.version;
    file_extension = std::move(file.file_extension);
    name = std::move(file.name);
    raw_size = file.raw_size;
    return std::move(file.payload);
}

// ---- Paths
// ----------------------------------------------------------------------------------------------------

std::string BRIX_DATA_SERVER::get_device_fid_file(const std::string& target, std::string& pcf) {
    return device_container_file(target, pcf, "fid");
}

std::string BRIX_DATA_SERVER::get_device_rba_file(const std::string& target, std::string& pcf) {
    return device_container_file(target, pcf, "pgm_rba");
}

std::string BRIX_DATA_SERVER::get_family_cram_map_file(const std::string& target) {
    BRIX_CHECK(!target.empty(), "!target.empty()");
    const std::string tail = ".cram_map";
    if (target.size() > tail.size() && stl_ends_with(target, tail))
        return target;
    return BRIX_MANAGER::get_programmer_fid_directory() + stl_upper(target) + tail;
}

// ---- Look-ups
// -------------------------------------------------------------------------------------------------

std::unique_ptr<BRIX_FID> BRIX_DATA_SERVER::get_device_fid(const std::string& target) {
    std::string pcf;
    std::string path = get_device_fid_file(target, pcf);
    uint32_t raw_size = 0;
    std::unique_ptr<unsigned char[]> data =
        read_device_container(path, pcf, "FID", "file_extension == \"FID\"", raw_size);
    INPUT_CONTEXT here(path);
    auto fid = std::make_unique<BRIX_FID>();
    size_t index = 0;
    pgm_ddb_read(data.get(), raw_size, index, *fid);
    pgm_ddb_check_consumed(index, raw_size);
    return fid;
}

BRIX_RBA_BLOCK_LIST BRIX_DATA_SERVER::get_device_rba(const std::string& target) {
    std::string pcf;
    std::string path = get_device_rba_file(target, pcf);
    uint32_t raw_size = 0;
    std::unique_ptr<unsigned char[]> data =
        read_device_container(path, pcf, "PGM_RBA", "file_extension == \"PGM_RBA\"", raw_size);
    INPUT_CONTEXT here(path);
    BRIX_RBA_BLOCK_LIST list;
    size_t index = 0;
    pgm_ddb_read(data.get(), raw_size, index, list);
    pgm_ddb_check_consumed(index, raw_size);
    return list;
}

BRIX_CRAM_MAP_LIST BRIX_DATA_SERVER::get_family_cram_map(const std::string& family, unsigned char& flags) {
    BRIX_CHECK(!family.empty(), "!family.empty()");
    std::string path = get_family_cram_map_file(family);
    bool no_check = path == family;
    std::string upper_family = stl_upper(family);
    uint32_t version = 0, raw_size = 0;
    std::string file_extension, family_name;
    std::unique_ptr<unsigned char[]> data =
        read_pgm_database_file(path, version, file_extension, family_name, raw_size);
    INPUT_CONTEXT here(path);
    BRIX_CHECK(data != nullptr && raw_size > 0, "uncompressed_data != NULL && uncompressed_size > 0");
    BRIX_CHECK(version == 1, "version == 1");
    BRIX_CHECK(file_extension == "CRAM_MAP", "file_extension == \"CRAM_MAP\"");
    BRIX_CHECK(family_name == upper_family || no_check, "family_name == family || no_check");
    flags = data[0];
    BRIX_CRAM_MAP_LIST list;
    size_t index = 1;
    pgm_ddb_read(data.get(), raw_size, index, list);
    pgm_ddb_check_consumed(index, raw_size);
    return list;
}

BRIX_CRAM_MAP* BRIX_DATA_SERVER::get_cram_map(const BRIX_CRAM_MAP_LIST& list, uint32_t type) {
    for (const auto& map : list)
        if (map && map->type == type)
            return map.get();
    return nullptr;
}

void BRIX_DATA_SERVER::delete_device_fid(std::unique_ptr<BRIX_FID>& fid) {
    fid.reset();
}

void BRIX_DATA_SERVER::delete_device_rba(BRIX_RBA_BLOCK_LIST& list) {
    while (!list.empty())
        list.pop_back();
}

void BRIX_DATA_SERVER::delete_family_cram_map(BRIX_CRAM_MAP_LIST& list) {
    while (!list.empty())
        list.pop_back();
}
