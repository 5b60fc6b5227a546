// The FID of a device: its frame and bit mappings, the EDCRC RMF of its phantom image and the frame types.
#define BRIX_SOURCE_NAME "brix_non_ddb_builder"

#include "programmer/fid.h"

#include "brix_map_markers.h"

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

#include "programmer/phantom_image.h"
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>

namespace {

// Bits at the head of every 28nm bitstream frame that the EDCRC does not cover.
constexpr uint32_t EDCRC_HEAD_BITS = 192;

// An exclusive lock on a working file's name, held while it lives: runs that share the working file (two FID
// builds of one device in one directory) take turns instead of removing each other's copy. The lock is on
// "<path>.lock", which the holder removes before it lets go; a run that locked a lock file already removed
// (its name now another file's, or none) tries again.
class WORKING_FILE_LOCK {
  public:
    explicit WORKING_FILE_LOCK(const std::string& path) : m_path(path + ".lock") {
        for (;;) {
            m_fd = ::open(m_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
            if (m_fd < 0)
                return; // nowhere to lock (a read-only directory): the unpacking reports the directory itself
            while (::flock(m_fd, LOCK_EX) != 0 && errno == EINTR) {
            }
            struct stat held, named;
            if (::fstat(m_fd, &held) == 0 && ::stat(m_path.c_str(), &named) == 0 &&
                held.st_dev == named.st_dev && held.st_ino == named.st_ino)
                return;
            ::close(m_fd);
        }
    }
    ~WORKING_FILE_LOCK() {
        if (m_fd < 0)
            return;
        ::unlink(m_path.c_str());
        ::close(m_fd);
    }
    WORKING_FILE_LOCK(const WORKING_FILE_LOCK&) = delete;
    WORKING_FILE_LOCK& operator=(const WORKING_FILE_LOCK&) = delete;

  private:
    std::string m_path;
    int m_fd = -1;
};

// Removes a file when it goes out of scope, so a failed build leaves no unpacked copy behind.
class REMOVE_ON_EXIT {
  public:
    explicit REMOVE_ON_EXIT(std::string path) : m_path(std::move(path)) {}
    ~REMOVE_ON_EXIT() {
        if (!m_path.empty())
            FIO_FILE_SYSTEM::remove_file(m_path);
    }
    REMOVE_ON_EXIT(const REMOVE_ON_EXIT&) = delete;
    REMOVE_ON_EXIT& operator=(const REMOVE_ON_EXIT&) = delete;
    // Removes the file now; true when it is gone.
    bool remove() {
        bool gone = FIO_FILE_SYSTEM::remove_file(m_path);
        m_path.clear();
        return gone;
    }

  private:
    std::string m_path;
};

// One u32 argument of the device copied into a new array: it must hold exactly one non-empty row.
void copy_uint_arg(const BRIX_ARG_LIST* arg_list, BRIX_ARGUMENT_TYPE type, std::unique_ptr<uint32_t[]>& data,
                   uint32_t& size) {
    INPUT_CONTEXT here(std::string("argument ") + BRIX_ARGUMENT_TYPE_NAMES[type]);
    const BRIX_ARG* arg = BRIX_MANAGER::search_argument_from_list(type, arg_list);
    BRIX_CHECK(arg != nullptr && data == nullptr, "arg_list != NULL && (*data) == NULL");
    unsigned width = 0;
    std::vector<uint32_t*> uint_arg_list = BRIX_MANAGER::get_uint_arg_list(arg, width);
    BRIX_CHECK(uint_arg_list.size() == 1 && width > 0, "uint_arg_list.size() == 1 && size > 0");
    data.reset(new uint32_t[width]);
    std::copy(uint_arg_list[0], uint_arg_list[0] + width, data.get());
    size = width;
}

void copy_uint_array(const std::unique_ptr<uint32_t[]>& src_data, uint32_t src_size,
                     std::unique_ptr<uint32_t[]>& dest_data) {
    BRIX_CHECK(src_size > 0 && src_data != nullptr && dest_data == nullptr,
               "src_size > 0 && src_data != NULL && (*dest_data) == NULL");
    dest_data.reset(new uint32_t[src_size]);
    std::copy(src_data.get(), src_data.get() + src_size, dest_data.get());
}

std::unique_ptr<uint32_t[]> filled_array(uint32_t size, uint32_t value) {
    std::unique_ptr<uint32_t[]> a(new uint32_t[size]);
    std::fill(a.get(), a.get() + size, value);
    return a;
}

} // namespace

void build_fid_mappings(BRIX_FID& fid, const BRIX_DEVICE_INFO* device) {
    BRIX_CHECK(device != nullptr, "pcf != NULL");
    const BRIX_ARG_LIST* arg_list = device->get_argument_list();
    BRIX_CHECK(arg_list != nullptr, "arg_list != NULL");
    copy_uint_arg(arg_list, BRIX_ARGUMENT_CRAM_SOF_FRAME_TO_BS_FRAME_MAP, fid.img_to_bs_frame_mapping,
                  fid.img_frame_size);
    copy_uint_arg(arg_list, BRIX_ARGUMENT_CRAM_BS_FRAME_TO_SOF_FRAME_MAP, fid.bs_to_img_frame_mapping,
                  fid.bs_frame_size);
    copy_uint_arg(arg_list, BRIX_ARGUMENT_SOF_TO_RBF_MAP, fid.img_to_bs_bit_mapping, fid.img_bit_size);
    copy_uint_arg(arg_list, BRIX_ARGUMENT_RBF_TO_SOF_MAP, fid.bs_to_img_bit_mapping, fid.bs_bit_size);

    if (fid.fid_version == 2) {
        // The EDCRC frames are the bitstream frames; the EDCRC bit maps come with the device.
        copy_uint_array(fid.img_to_bs_frame_mapping, fid.img_frame_size, fid.img_to_edcrc_frame_mapping);
        copy_uint_array(fid.bs_to_img_frame_mapping, fid.bs_frame_size, fid.edcrc_to_img_frame_mapping);
        fid.edcrc_frame_size = fid.bs_frame_size;
        uint32_t temp = 0;
        copy_uint_arg(arg_list, BRIX_ARGUMENT_SOF_TO_EDCRC_MAP, fid.img_to_edcrc_bit_mapping, temp);
        BRIX_CHECK(fid.img_bit_size == temp, "fid.img_bit_size == temp");
        copy_uint_arg(arg_list, BRIX_ARGUMENT_EDCRC_TO_SOF_MAP, fid.edcrc_to_img_bit_mapping,
                      fid.edcrc_bit_size);
        BRIX_CHECK(fid.bs_bit_size == fid.edcrc_bit_size, "fid.bs_bit_size == fid.edcrc_bit_size");
        return;
    }
    BRIX_CHECK(fid.fid_version < 2, "Unsupported family");

    // 28nm rules: the EDCRC space is the bitstream space without the MRAM frames and without the first 192
    // bits of every frame.
    bool supported = false;
    BRIX_CHECK(device->get_const_boolean(BRIX_PARAMETER_COL_AS_FRAME, &supported),
               "pcf->get_const_boolean(BRIX_PARAMETER_COL_AS_FRAME)");
    const uint32_t eram_col_offset = device->get_const_uint(BRIX_PARAMETER_MRAM_COL_OFFSET, &supported);
    const uint32_t eram_col_size = device->get_const_uint(BRIX_PARAMETER_MRAM_REAL_COL_SIZE, &supported);
    if (device->get_parameter(BRIX_PARAMETER_CRAM_REVERSE_SOF_FRAME_ORDER) != nullptr) {
        bool frame_forward_order = !device->get_const_boolean(BRIX_PARAMETER_CRAM_REVERSE_SOF_FRAME_ORDER);
        BRIX_CHECK(frame_forward_order, "frame_forward_order");
    }
    std::vector<unsigned> mram_col, mram_row;
    device->get_simplified_mram(mram_col, mram_row);

    // a. Image frames of MRAM columns have no EDCRC frame.
    BRIX_CHECK(fid.img_to_edcrc_frame_mapping == nullptr, "fid.img_to_edcrc_frame_mapping == NULL");
    fid.img_to_edcrc_frame_mapping = filled_array(fid.img_frame_size, 0);
    // MRAM columns without a column size would remove nothing and divide by zero below.
    BRIX_CHECK(mram_col.empty() || eram_col_size > 0, "mram_col.empty() || eram_col_size > 0");
    for (auto iter = mram_col.begin(); iter != mram_col.end(); ++iter) {
        // The column's frames may end on the last image frame.
        BRIX_CHECK(
            *iter < fid.img_frame_size &&
                uint64_t{*iter} + eram_col_offset + eram_col_size <= fid.img_frame_size,
            "*iter < fid.img_frame_size && (*iter + eram_col_offset + eram_col_size) < fid.img_frame_size");
        for (uint32_t k = 0; k < eram_col_size; ++k)
            fid.img_to_edcrc_frame_mapping[*iter + eram_col_offset + k] = SOF_FRAME_IS_SPARE_FRAME;
    }
    // b. The EDCRC frames: every image frame that is not an MRAM frame.
    const uint64_t removed = uint64_t{mram_col.size()} * eram_col_size;
    BRIX_CHECK(removed <= fid.img_frame_size, "(mram_col.size() * eram_col_size) <= fid.img_frame_size");
    fid.edcrc_frame_size = static_cast<uint32_t>(fid.img_frame_size - removed);
    fid.edcrc_to_img_frame_mapping = filled_array(fid.edcrc_frame_size, SOF_FRAME_IS_SPARE_FRAME);
    // c. An EDCRC frame is the bitstream frame less the MRAM frames before it.
    uint32_t minus_value = 0;
    for (uint32_t i = 0; i < fid.img_frame_size; ++i) {
        if (fid.img_to_edcrc_frame_mapping[i] == SOF_FRAME_IS_SPARE_FRAME) {
            ++minus_value;
            continue;
        }
        INPUT_CONTEXT here("image frame " + std::to_string(i));
        if (eram_col_size > 0)
            BRIX_CHECK((minus_value % eram_col_size) == 0, "(minus_value % eram_col_size) == 0");
        BRIX_CHECK(fid.img_to_bs_frame_mapping[i] >= minus_value,
                   "fid.img_to_bs_frame_mapping[i] >= minus_value");
        BRIX_CHECK(fid.img_to_edcrc_frame_mapping[i] == 0, "fid.img_to_edcrc_frame_mapping[i] == 0");
        const uint32_t e = fid.img_to_bs_frame_mapping[i] - minus_value;
        BRIX_CHECK(e < fid.edcrc_frame_size,
                   "(fid.img_to_bs_frame_mapping[i] - minus_value) < fid.edcrc_frame_size");
        BRIX_CHECK(
            fid.edcrc_to_img_frame_mapping[e] == SOF_FRAME_IS_SPARE_FRAME,
            "fid.edcrc_to_img_frame_mapping[fid.img_to_bs_frame_mapping[i] - minus_value] == DWORD(-1)");
        fid.img_to_edcrc_frame_mapping[i] = e;
        fid.edcrc_to_img_frame_mapping[e] = i;
    }
    for (uint32_t i = 0; i < fid.edcrc_frame_size; ++i)
        if (fid.edcrc_to_img_frame_mapping[i] == SOF_FRAME_IS_SPARE_FRAME) {
            INPUT_CONTEXT here("EDCRC frame " + std::to_string(i));
            BRIX_REPORT("fid.edcrc_to_img_frame_mapping[i] != DWORD(-1)");
        }

    // d. Image bits: the bitstream bit less the 192 head bits. A frame shorter than the head has no EDCRC
    // bits.
    BRIX_CHECK(fid.bs_bit_size > EDCRC_HEAD_BITS, "fid.bs_bit_size > 192");
    fid.edcrc_bit_size = fid.bs_bit_size - EDCRC_HEAD_BITS;
    BRIX_CHECK(fid.img_to_edcrc_bit_mapping == nullptr, "fid.img_to_edcrc_bit_mapping == NULL");
    fid.img_to_edcrc_bit_mapping.reset(new uint32_t[fid.img_bit_size]);
    for (uint32_t i = 0; i < fid.img_bit_size; ++i) {
        const uint32_t b = fid.img_to_bs_bit_mapping[i];
        INPUT_CONTEXT here("image bit " + std::to_string(i));
        BRIX_CHECK(b != SOF_TO_RBF_INVALID && b != SOF_FRAME_IS_SPARE_FRAME,
                   "fid.img_to_bs_bit_mapping[i] != SOF_TO_RBF_INVALID && fid.img_to_bs_bit_mapping[i] != "
                   "SOF_TO_RBF_SKIP_CONV_PB3");
        if (b == BRIX_SOF_BIT_WITHOUT_RBF) {
            fid.img_to_edcrc_bit_mapping[i] = BRIX_SOF_BIT_WITHOUT_RBF;
            continue;
        }
        BRIX_CHECK(b >= EDCRC_HEAD_BITS, "fid.img_to_edcrc_bit_mapping[i] < (fid.edcrc_bit_size - 192)");
        fid.img_to_edcrc_bit_mapping[i] = b - EDCRC_HEAD_BITS;
    }
    // e. The reverse bit map.
    fid.edcrc_to_img_bit_mapping = filled_array(fid.edcrc_bit_size, SOF_FRAME_IS_SPARE_FRAME);
    for (uint32_t i = 0; i < fid.img_bit_size; ++i) {
        const uint32_t b = fid.img_to_bs_bit_mapping[i];
        if (b == BRIX_SOF_BIT_WITHOUT_RBF)
            continue;
        INPUT_CONTEXT here("image bit " + std::to_string(i));
        BRIX_CHECK((b - EDCRC_HEAD_BITS) < fid.edcrc_bit_size,
                   "(fid.img_to_bs_bit_mapping[i] - 192) < fid.edcrc_bit_size");
        fid.edcrc_to_img_bit_mapping[b - EDCRC_HEAD_BITS] = i;
    }
    // f. It must agree with the device's bitstream-to-image map.
    for (uint32_t i = 0; i < fid.edcrc_bit_size; ++i)
        if (fid.edcrc_to_img_bit_mapping[i] != fid.bs_to_img_bit_mapping[i + EDCRC_HEAD_BITS]) {
            INPUT_CONTEXT here("EDCRC bit " + std::to_string(i));
            BRIX_REPORT("fid.edcrc_to_img_bit_mapping[i] == fid.bs_to_img_bit_mapping[i + 192]");
        }
}

void generate_edcrc_rmf(const BRIX_PROGRESS& progress, BRIX_FID& fid, const BIT_MATRIX& image_rmf) {
    progress.step("Generate EDCRC RMF ...\n\n");
    BRIX_CHECK(fid.edcrc_rmf == nullptr && fid.edcrc_bit_byte_size == 0,
               "fid.edcrc_rmf == NULL && fid.edcrc_bit_byte_size == 0");
    BRIX_CHECK(image_rmf.rows() > 0 || image_rmf.bits() > 0, "img_rmf != NULL");
    BRIX_CHECK(fid.img_frame_size > 0 && fid.img_bit_size > 0 && fid.edcrc_frame_size > 0 &&
                   fid.edcrc_bit_size > 0,
               "fid.img_frame_size > 0 && fid.img_bit_size > 0 && fid.edcrc_frame_size > 0 && "
               "fid.edcrc_bit_size > 0");
    BRIX_CHECK(image_rmf.rows() == fid.img_frame_size && image_rmf.bits() == fid.img_bit_size,
               "img_rmf.rows() == fid.img_frame_size && img_rmf.bits() == fid.img_bit_size");
    fid.edcrc_bit_byte_size = (fid.edcrc_bit_size + 7) / 8;

    // For each EDCRC bit, the image bit it reads (word and position), or none.
    std::vector<uint32_t> source(fid.edcrc_bit_size, SOF_FRAME_IS_SPARE_FRAME);
    for (uint32_t k = 0; k < fid.edcrc_bit_size; ++k)
        if (fid.edcrc_to_img_bit_mapping[k] < fid.img_bit_size)
            source[k] = fid.edcrc_to_img_bit_mapping[k];

    // Each EDCRC row is gathered into one row of words and stored as bytes at once, so the RMF exists once.
    BIT_MATRIX row(1, fid.edcrc_bit_size);
    uint64_t* out = row.row_words(0);
    fid.edcrc_rmf.reset(new std::unique_ptr<unsigned char[]>[fid.edcrc_frame_size]);
    for (uint32_t e = 0; e < fid.edcrc_frame_size; ++e) {
        const uint32_t img_frame = fid.edcrc_to_img_frame_mapping[e];
        if (img_frame >= fid.img_frame_size) {
            INPUT_CONTEXT here("EDCRC frame " + std::to_string(e));
            BRIX_REPORT("img_frame < fid.img_frame_size");
        }
        const uint64_t* in = image_rmf.row_words(img_frame);
        // Gather a word of EDCRC bits at a time.
        for (uint32_t k0 = 0; k0 < fid.edcrc_bit_size; k0 += 64) {
            const uint32_t n = std::min<uint32_t>(64, fid.edcrc_bit_size - k0);
            uint64_t word = 0;
            for (uint32_t k = 0; k < n; ++k) {
                const uint32_t ib = source[k0 + k];
                if (ib != SOF_FRAME_IS_SPARE_FRAME)
                    word |= ((in[ib / 64] >> (ib % 64)) & 1) << k;
            }
            out[k0 / 64] = word;
        }
        fid.edcrc_rmf[e].reset(new unsigned char[fid.edcrc_bit_byte_size]);
        row.row_to_bytes(0, fid.edcrc_rmf[e].get(), fid.edcrc_bit_byte_size);
    }
}

void finalize_fid(const BRIX_PROGRESS& progress, BRIX_FID& fid, const unsigned char* g2_info,
                  size_t g2_info_size, const BRIX_RBA_BLOCK* lutram_block, uint32_t lutram_frame_offset,
                  uint32_t lutram_frame_size, uint32_t edcrc_detectable_frame_count) {
    progress.step("Finalize FID ...\n\n");
    BRIX_CHECK(fid.edcrc_frame_types == nullptr, "fid.edcrc_frame_types == NULL");
    BRIX_CHECK(g2_info != nullptr, "g2_info != NULL");
    BRIX_CHECK(fid.edcrc_rmf != nullptr && fid.edcrc_bit_byte_size > 0,
               "fid.edcrc_rmf != NULL && fid.edcrc_bit_byte_size > 0");
    BRIX_CHECK(fid.img_frame_size > 0 && fid.img_bit_size > 0 && fid.edcrc_frame_size > 0 &&
                   fid.edcrc_bit_size > 0,
               "fid.img_frame_size > 0 && fid.img_bit_size > 0 && fid.edcrc_frame_size > 0 && "
               "fid.edcrc_bit_size > 0");
    BRIX_CHECK(fid.img_to_edcrc_frame_mapping != nullptr, "fid.img_to_edcrc_frame_mapping != NULL");
    BRIX_CHECK(fid.edcrc_to_img_frame_mapping != nullptr, "fid.edcrc_to_img_frame_mapping != NULL");
    // The G2 info must cover every image frame.
    const uint64_t g2_needed =
        fid.fid_version >= 2 ? uint64_t{fid.img_frame_size} : (uint64_t{fid.img_frame_size} + 7) / 8;
    BRIX_CHECK(g2_info_size >= g2_needed, "g2_info_size >= g2_needed");
    fid.edcrc_frame_types = filled_array(fid.edcrc_frame_size, 0);

    // 1. The frames of the LUTRAM (MLAB) columns.
    if (lutram_block != nullptr)
        for (const auto& entry : lutram_block->locations)
            for (uint32_t k = 0; k < lutram_frame_size; ++k) {
                const uint64_t frame = uint64_t{entry.first} + lutram_frame_offset + k;
                INPUT_CONTEXT here("LA_MLAB at frame " + std::to_string(entry.first));
                BRIX_CHECK(frame < fid.img_frame_size, "frame < fid.img_frame_size");
                const uint32_t e = fid.img_to_edcrc_frame_mapping[frame];
                BRIX_CHECK(e < fid.edcrc_frame_size,
                           "fid.img_to_edcrc_frame_mapping[frame] < fid.edcrc_frame_size");
                fid.edcrc_frame_types[e] |= 1;
            }
    // 2. Frames without an RMF bit, and the G2 info of their image frame.
    for (uint32_t e = 0; e < fid.edcrc_frame_size; ++e) {
        const uint32_t img_frame = fid.edcrc_to_img_frame_mapping[e];
        if (img_frame >= fid.img_frame_size) {
            INPUT_CONTEXT here("EDCRC frame " + std::to_string(e));
            BRIX_REPORT("img_frame < fid.img_frame_size");
        }
        const unsigned char* row = fid.edcrc_rmf[e].get();
        if (std::all_of(row, row + fid.edcrc_bit_byte_size, [](unsigned char b) { return b == 0; }))
            fid.edcrc_frame_types[e] |= 2;
        if (fid.fid_version >= 2)
            fid.edcrc_frame_types[e] |= uint32_t{g2_info[img_frame]} * 16;
        else if ((g2_info[img_frame / 8] >> (img_frame % 8)) & 1)
            fid.edcrc_frame_types[e] |= 16;
    }
    // 3. Frames beyond what the EDCRC can detect.
    if (edcrc_detectable_frame_count != 0 && edcrc_detectable_frame_count != fid.edcrc_frame_size) {
        BRIX_CHECK(edcrc_detectable_frame_count < fid.edcrc_frame_size,
                   "edcrc_detectable_frame_count < fid.edcrc_frame_size");
        for (uint32_t e = edcrc_detectable_frame_count; e < fid.edcrc_frame_size; ++e)
            fid.edcrc_frame_types[e] |= 4;
    }
}

namespace {

// What the FID build reads of the device database: the CRAM geometry, the frames the EDCRC can detect, and
// the G2 info (a bit per image frame below FID version 2, a byte per frame from 2 on).
struct FID_DEVICE {
    uint32_t cram_frame = 0;
    uint32_t cram_bit = 0;
    uint32_t edcrc_detectable_frame_count = 0;
    bool col_as_frame = false;
    const unsigned char* g2_info = nullptr; // owned by the device database
    unsigned g2_info_size = 0;
};

FID_DEVICE read_fid_device(const BRIX_DEVICE_INFO* device, uint32_t fid_version) {
    FID_DEVICE geometry;
    bool found = false;
    geometry.cram_frame = device->get_const_uint(BRIX_PARAMETER_CRAM_FRAME_COUNT, &found);
    geometry.cram_bit = device->get_const_uint(BRIX_PARAMETER_CRAM_BIT_COUNT, &found);
    geometry.edcrc_detectable_frame_count =
        device->get_const_uint(BRIX_PARAMETER_EDCRC_DETECTABLE_FRAME_COUNT, &found);
    if (found)
        BRIX_CHECK(geometry.edcrc_detectable_frame_count != 0, "edcrc_detectable_frame_count != 0");
    else
        BRIX_CHECK(geometry.edcrc_detectable_frame_count == 0, "edcrc_detectable_frame_count == 0");
    BRIX_CHECK(geometry.cram_frame != 0 && geometry.cram_bit != 0, "cram_frame != 0 && cram_bit != 0");

    geometry.col_as_frame = device->get_const_boolean(BRIX_PARAMETER_COL_AS_FRAME, &found);
    const BRIX_ARG* arg =
        BRIX_MANAGER::search_argument_from_list(BRIX_ARGUMENT_DRA_G2_INFO, device->get_argument_list());
    BRIX_CHECK(arg != nullptr, "arg != NULL");
    std::vector<uint8_t*> byte_arg_list = BRIX_MANAGER::get_byte_arg_list(arg, geometry.g2_info_size);
    BRIX_CHECK(byte_arg_list.size() == 1, "byte_arg_list.size() == 1");
    geometry.g2_info = byte_arg_list[0];
    if (fid_version < 2) {
        BRIX_CHECK((uint64_t{geometry.cram_frame} + 7) / 8 == geometry.g2_info_size,
                   "(cram_frame + 7)/8 == arg_width");
    } else {
        BRIX_CHECK(fid_version == 2, "Invalid FID version");
        BRIX_CHECK(geometry.cram_frame == geometry.g2_info_size, "cram_frame == arg_width");
    }
    return geometry;
}

} // namespace

int build_device_fid(const BRIX_BUILD_CONTEXT& context, const std::string& target) {
    BRIX_CHECK(!PGM_COMMON::check_extension(target, "ddb"), "!PGM_COMMON::check_extension(target, \"ddb\")");
    const BRIX_DEVICE_NAMES names = context.resolve_device(target, "!pcf.empty() && !family.empty()");
    const std::string& pcf = names.pcf;
    const std::string& family = names.family;
    const std::string& family_pcf = names.family_pcf;
    const std::string src_phantom_img =
        BRIX_BUILD_CONTEXT::pgm_db_directory() + stl_lower(pcf + "_phantom.img") + ".gz";
    const std::string dest_phantom_img = stl_lower(pcf + "_phantom.img");
    std::string checked_pcf;
    const std::string pgm_rba = BRIX_DATA_SERVER::get_device_rba_file(target, checked_pcf);
    const std::string cram_map_file = BRIX_DATA_SERVER::get_family_cram_map_file(family_pcf);
    const bool has_cram_map = FIO_FILE_SYSTEM::exists(cram_map_file);
    BRIX_CHECK(pcf == checked_pcf, "pcf == checked_pcf");
    const uint32_t fid_index = find_pgm_family_info(family);
    BRIX_CHECK(fid_index != uint32_t(-1), "fid_index != DWORD(-1)");
    const PGM_FAMILY_INFO& family_row = PGM_FAMILY_INFO_DATABASE[fid_index];
    const BRIX_PROGRESS& progress = context.progress();

    // The unpacked image goes away however the build ends; another run unpacking the same image here waits.
    WORKING_FILE_LOCK turn(dest_phantom_img);
    REMOVE_ON_EXIT unpacked(dest_phantom_img);
    // The image pictures the device's CRAM: bounded by the geometry the device table gives it.
    uint32_t table_frames = 0, table_bits = 0;
    PGMDEV_DEVICE_GRAMMAR_MGR::get_cram_geometry(pcf, table_frames, table_bits);
    context.unpack(src_phantom_img, dest_phantom_img,
                   BRIX_BUILD_CONTEXT::image_unpack_limit(table_frames, table_bits));

    progress.text("\n");
    progress.step("Building RMF file ... \n\n");
    progress.detail("PCF: " + pcf + "\n");
    progress.detail("Family: " + family + "\n");
    progress.detail("PCF Family: " + family_pcf + "\n");
    progress.detail("Phantom Img: " + dest_phantom_img + "\n");
    progress.detail("PGM RBA: " + pgm_rba + "\n");
    progress.detail("Family CRAM MAP: " + cram_map_file + " (" +
                    (has_cram_map ? "support)\n\n" : "not_support)\n\n"));
    BRIX_CHECK(FIO_FILE_SYSTEM::exists(dest_phantom_img),
               "FIO_FILE_SYSTEM::exists(dest_phantom_img.c_str())");
    BRIX_CHECK(FIO_FILE_SYSTEM::exists(pgm_rba), "FIO_FILE_SYSTEM::exists(pgm_rba.c_str())");

    progress.step("Reading PCF file ... \n\n");
    std::unique_ptr<BRIX_INFO> info(BRIX_DATA_SERVER::vantrel_get_brix_info(pcf, false, true, true));
    BRIX_CHECK(info != nullptr && info->get_device_info() != nullptr, "pcf != NULL");
    const BRIX_DEVICE_INFO* device = info->get_device_info();
    const FID_DEVICE geometry = read_fid_device(device, family_row.fid_version);
    const uint32_t cram_frame = geometry.cram_frame;
    const uint32_t cram_bit = geometry.cram_bit;
    const bool col_as_frame = geometry.col_as_frame;
    bool found = false;

    BRIX_FID fid;
    fid.fid_version = family_row.fid_version;
    fid.family_constant_1 = family_row.family_constant_1;
    fid.family_constant_2 = family_row.family_constant_2;
    fid.lutram_frame_offset = family_row.lutram_frame_offset;
    fid.family_constant_3 = family_row.family_constant_3;
    fid.lutram_frame_size = family_row.lutram_frame_size;
    fid.family_constant_4 = family_row.family_constant_4;
    build_fid_mappings(fid, device);
    BRIX_CHECK(fid.img_frame_size == cram_frame && fid.img_bit_size == cram_bit,
               "fid.img_frame_size == cram_frame && fid.img_bit_size == cram_bit");

    progress.detail((col_as_frame ? "Frame/Column: " : "Frame/Row: ") + std::to_string(cram_frame) + "\n");
    progress.detail((col_as_frame ? "Bit/Row: " : "Bit/Column: ") + std::to_string(cram_bit) + "\n\n");

    const PGM_SPARE_ROW& spare_row = find_pgm_spare_row(pcf);
    BRIX_RBA_BLOCK_LIST blocks = BRIX_DATA_SERVER::get_device_rba(pcf);
    BRIX_CRAM_MAP_LIST cram_maps;
    if (has_cram_map) {
        unsigned char flags = 0;
        cram_maps = BRIX_DATA_SERVER::get_family_cram_map(family_pcf, flags);
    }

    BIT_MATRIX image_rmf =
        build_phantom_image_rmf(progress, dest_phantom_img, col_as_frame, cram_frame, cram_bit, spare_row);
    mask_undefined_rba_region(progress, image_rmf, blocks, cram_frame, cram_bit);

    bool image_matches = true;
    if (has_cram_map) {
        BIT_MATRIX rba_rmf = build_rba_cram_map_rmf(progress, blocks, cram_maps, cram_frame, cram_bit);
        BIT_MATRIX mask =
            build_memory_mask(progress, blocks, col_as_frame, cram_frame, cram_bit,
                              device->get_const_uint(BRIX_PARAMETER_LUTRAM_COL_OFFSET, &found),
                              device->get_const_uint(BRIX_PARAMETER_LUTRAM_REAL_COL_SIZE, &found),
                              device->get_const_uint(BRIX_PARAMETER_MRAM_COL_OFFSET, &found),
                              device->get_const_uint(BRIX_PARAMETER_MRAM_REAL_COL_SIZE, &found));
        image_matches =
            check_phantom_image_against_rba_rmf(progress, rba_rmf, image_rmf, mask, cram_frame, cram_bit);
        if (!image_matches)
            print_phantom_image_differences(progress, blocks, cram_maps, rba_rmf, image_rmf, mask);
    }

    generate_edcrc_rmf(progress, fid, image_rmf);
    image_rmf = BIT_MATRIX();

    if (family_row.fid_version < 2) {
        const BRIX_RBA_BLOCK* lutram = nullptr;
        for (const auto& block : blocks)
            if (block->type == PGM_RBA_LA_MLAB) {
                lutram = block.get();
                break;
            }
        BRIX_CHECK(lutram != nullptr, "lutram != NULL");
        BRIX_CHECK(family_row.lutram_frame_offset ==
                           device->get_const_uint(BRIX_PARAMETER_LUTRAM_COL_OFFSET, &found) &&
                       family_row.lutram_frame_size ==
                           device->get_const_uint(BRIX_PARAMETER_LUTRAM_REAL_COL_SIZE, &found),
                   "PGM_FAMILY_INFO_DATABASE[fid_index].lutram_frame_offset == "
                   "device_info->get_const_uint(BRIX_PARAMETER_LUTRAM_COL_OFFSET) && "
                   "PGM_FAMILY_INFO_DATABASE[fid_index].lutram_frame_size == "
                   "device_info->get_const_uint(BRIX_PARAMETER_LUTRAM_REAL_COL_SIZE)");
        finalize_fid(progress, fid, geometry.g2_info, geometry.g2_info_size, lutram,
                     family_row.lutram_frame_offset, family_row.lutram_frame_size,
                     geometry.edcrc_detectable_frame_count);
    } else {
        finalize_fid(progress, fid, geometry.g2_info, geometry.g2_info_size, nullptr, 0, 0,
                     geometry.edcrc_detectable_frame_count);
    }

    std::vector<unsigned char> data;
    pgm_ddb_write(data, fid);
    { BRIX_FID serialised = std::move(fid); } // the payload holds it now: one copy while it is compressed
    context.write_container("fid", pcf, data);
    data = std::vector<unsigned char>();
    BRIX_DATA_SERVER::delete_device_rba(blocks);
    BRIX_DATA_SERVER::delete_family_cram_map(cram_maps);
    BRIX_CHECK(unpacked.remove(), "thr_system(cmd.c_str()) == 0");
    // The FID is written either way; a mismatching image must not look like a clean run.
    return image_matches ? 0 : BRIX_EXIT_PHANTOM_MISMATCH;
}
