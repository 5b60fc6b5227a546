// BRIX_COMMON library surface: the MLAB freeze mask of a TALON device and the listings of a flattened RIF
// table.
#include "brix_common_function.h"
#include "brix_data_server.h"
#include "dev_db.h"
#include "pgm_installation.h"
#include "test_support.h"

#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

// A private installation holding the sample device table and the databases a test writes.
class FREEZE_INSTALLATION : public PGM_INSTALLATION {
  public:
    // Writes the database of a device with the CRAM geometry and the two LUTRAM tables (empty: not written).
    void write_device(const std::string& name, unsigned frames, unsigned bits,
                      std::vector<uint32_t> addrlines, std::vector<uint32_t> datalines) {
        auto* parameters = new BRIX_PARAMETER_LIST();
        parameters->push_back(new BRIX_PARAMETER(BRIX_PARAMETER_CRAM_FRAME_COUNT, 1, BRIX_BLOCK_CRAM,
                                                 new BRIX_CONST_DATA_LIST{new BRIX_CONST_DATA(frames, 0)}));
        parameters->push_back(new BRIX_PARAMETER(BRIX_PARAMETER_CRAM_BIT_COUNT, 1, BRIX_BLOCK_CRAM,
                                                 new BRIX_CONST_DATA_LIST{new BRIX_CONST_DATA(bits, 0)}));
        auto* arguments = new BRIX_ARG_LIST();
        auto add = [&](unsigned type, const std::vector<uint32_t>& values) {
            if (values.empty())
                return;
            auto* bytes = new unsigned char[values.size() * 4];
            std::memcpy(bytes, values.data(), values.size() * 4);
            arguments->push_back(
                new BRIX_ARG(type, BRIX_BLOCK_CRAM,
                             new BRIX_ARG_DATA_LIST{new BRIX_ARG_DATA(bytes, unsigned(values.size()), 4)}));
        };
        add(BRIX_ARGUMENT_LUTRAM_REMAP_ADDRLINES, addrlines);
        add(BRIX_ARGUMENT_LUTRAM_DATALINES, datalines);
        auto* device = new BRIX_DEVICE_INFO();
        device->set_parameter_list(parameters, false);
        device->set_argument_list(arguments, false);
        BRIX_INFO info;
        info.set_device_info(device);
        BRIX_DATA_SERVER::write_brix_info(path() + "/devdb/programmer/" + name + "_brix", &info, true);
    }
};

struct IMAGE {
    unsigned frames, bits;
    std::vector<unsigned char> bytes;
    IMAGE(unsigned f, unsigned b) : frames(f), bits(b), bytes((size_t(f) * b + 7) / 8, 0) {}
    void set(unsigned frame, unsigned bit) {
        size_t i = size_t(frame) * bits + bit;
        bytes[i / 8] |= static_cast<unsigned char>(1u << (i % 8));
    }
};

// The (frame, bit) positions set in a mask of that geometry.
std::vector<std::pair<unsigned, unsigned>> marked(const unsigned char* mask, unsigned frames, unsigned bits) {
    std::vector<std::pair<unsigned, unsigned>> out;
    for (size_t i = 0; i < size_t(frames) * bits; ++i)
        if ((mask[i / 8] >> (i % 8)) & 1)
            out.push_back({unsigned(i / bits), unsigned(i % bits)});
    return out;
}

using POSITIONS = std::vector<std::pair<unsigned, unsigned>>;

POSITIONS freeze(const std::string& name, const IMAGE& image) {
    std::unique_ptr<unsigned char[]> mask(
        BRIX_COMMON::get_mlab_ram_freeze_mask(name, image.bytes.data(), image.frames * image.bits));
    return marked(mask.get(), image.frames, image.bits);
}

} // namespace

TEST(MlabFreezeMask, MarksTheFramesSixBeforeTheExaminedOnes) {
    FREEZE_INSTALLATION install;
    std::vector<uint32_t> sixty(60, 0);
    // A = 60: rows examine frames 50, 110 and 170; frame 200 .. 229 form no whole row.
    install.write_device("talon_d0", 230, 70, sixty, {4, 40, 52});
    IMAGE image(230, 70);
    image.set(50, 20);  // dataline 4: marks frame 44, bits 20 and 23
    image.set(110, 56); // dataline 40: frame 104, bits 56 and 59
    image.set(170, 68); // dataline 52: bit 68; bit 71 lies past the frame and is not marked
    image.set(51, 20);  // not an examined frame
    image.set(110, 21); // not a dataline bit
    image.set(170 + 0, 0);
    EXPECT_EQ(POSITIONS({{44, 20}, {44, 23}, {104, 56}, {104, 59}, {164, 68}}), freeze("TALON_D0", image));

    // A frame count that is not a multiple of A leaves the last partial row unexamined.
    install.write_device("talon_d1", 260, 70, std::vector<uint32_t>(100, 0), {4});
    IMAGE partial(260, 70);
    partial.set(150, 20);
    partial.set(250, 20);
    EXPECT_EQ(POSITIONS({{144, 20}, {144, 23}}), freeze("talon_d1", partial));
}

TEST(MlabFreezeMask, SkipsPositionsOutsideTheImage) {
    // A = 30 over 100 frames: the third row would examine frame 110, past the image; a dataline past the
    // frame's bits examines nothing.
    FREEZE_INSTALLATION install;
    install.write_device("talon_d0", 100, 40, std::vector<uint32_t>(30, 0), {4, 30});
    IMAGE image(100, 40);
    image.set(50, 20);
    image.set(80, 20);
    image.bytes.back() = 0xFF;
    EXPECT_EQ(POSITIONS({{44, 20}, {44, 23}, {74, 20}, {74, 23}}), freeze("talon_d0", image));
}

TEST(MlabFreezeMask, RefusesWhatItCannotUse) {
    FREEZE_INSTALLATION install;
    install.write_device("talon_d0", 100, 40, std::vector<uint32_t>(30, 0), {4});
    install.write_device("talon_d1", 100, 40, {}, {4});
    install.write_device("talon_d2", 100, 40, std::vector<uint32_t>(30, 0), {});
    IMAGE image(100, 40);
    const unsigned char* bits = image.bytes.data();
    struct CASE {
        std::string name;
        const unsigned char* image;
        unsigned size;
        const char* condition;
    };
    const std::vector<CASE> cases = {
        {"", bits, 4000, "!device_pcf_name.empty()"},
        {"talon_d0", nullptr, 4000, "image_bitfield != NULL"},
        {"talon_d0", bits, 0, "image_bit_size > 0"},
        {"no_such_device", bits, 4000,
         "Not able to get family database file, device database file might be invalid"},
        {"granite_d1", bits, 4000, "Unsupported family"},
        {"talon_d0", bits, 3999, "(cram_frame * cram_bit) == image_bit_size"},
        {"talon_d1", bits, 4000, "arg != NULL"},
        {"talon_d2", bits, 4000, "arg != NULL"},
    };
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.name + " " + c.condition);
        EXPECT_BRIX_ERROR(BRIX_COMMON::get_mlab_ram_freeze_mask(c.name, c.image, c.size), c.condition);
    }
}

// ---- Listings ---------------------------------------------------------------------------------------------

namespace {
std::string listing(const std::function<void()>& print) {
    testing::internal::CaptureStdout();
    print();
    return testing::internal::GetCapturedStdout();
}
// A 4 x 3 table whose cell (r, c) reads "rc"; cell (1, 1) is empty.
BRIX_RIF_TABLE table_4x3() {
    BRIX_RIF_TABLE t(4, 3);
    for (unsigned r = 0; r < 4; ++r)
        for (unsigned c = 0; c < 3; ++c)
            if (r != 1 || c != 1)
                t.set_cell(r, c, std::to_string(r) + std::to_string(c));
    return t;
}
} // namespace

TEST(RifDebugListing, ShortFormPrintsNonEmptyCellsInRowOrder) {
    BRIX_RIF_TABLE t = table_4x3();
    EXPECT_EQ("0 0 00\n0 1 01\n0 2 02\n1 0 10\n1 2 12\n2 0 20\n2 1 21\n2 2 22\n3 0 30\n3 1 31\n3 2 32\n",
              listing([&] { BRIX_COMMON::print_rif_debug(&t, 4, 3); }));
    EXPECT_EQ("", listing([] { BRIX_COMMON::print_rif_debug(nullptr, 0, 0); }));
    // Bounds smaller than the table's leave the cells outside unlisted.
    EXPECT_EQ("0 0 00\n0 1 01\n1 0 10\n", listing([&] { BRIX_COMMON::print_rif_debug(&t, 2, 2); }));
    EXPECT_BRIX_ERROR(BRIX_COMMON::print_rif_debug(&t, 4, 0), "col != 0 && row != 0");
}

TEST(RifDebugListing, DraFormGroupsByDraOrder) {
    BRIX_RIF_TABLE t = table_4x3();
    BRIX_CONST_DATA_LIST order{new BRIX_CONST_DATA(1, 0), new BRIX_CONST_DATA(0, 1)};
    struct CASE {
        bool by_rows, reversed;
        const char* out;
    };
    const std::vector<CASE> cases = {
        // Columns in order; in each, DRA 1's rows (1, 3) before DRA 0's rows (0, 2).
        {false, false,
         "1 0 10\n3 0 30\n0 0 00\n2 0 20\n3 1 31\n0 1 01\n2 1 21\n1 2 12\n3 2 32\n0 2 02\n2 2 22\n"},
        {false, true,
         "1 2 12\n3 2 32\n0 2 02\n2 2 22\n3 1 31\n0 1 01\n2 1 21\n1 0 10\n3 0 30\n0 0 00\n2 0 20\n"},
        // Rows in order; in each, DRA 1's column (1) before DRA 0's columns (0, 2).
        {true, false,
         "0 1 01\n0 0 00\n0 2 02\n1 0 10\n1 2 12\n2 1 21\n2 0 20\n2 2 22\n3 1 31\n3 0 30\n3 2 32\n"},
        {true, true,
         "3 1 31\n3 0 30\n3 2 32\n2 1 21\n2 0 20\n2 2 22\n1 0 10\n1 2 12\n0 1 01\n0 0 00\n0 2 02\n"},
    };
    for (const CASE& c : cases) {
        SCOPED_TRACE(std::to_string(c.by_rows) + std::to_string(c.reversed));
        EXPECT_EQ(c.out,
                  listing([&] { BRIX_COMMON::print_rif_debug(&t, 4, 3, 2, &order, c.by_rows, c.reversed); }));
    }
    EXPECT_EQ("", listing([&] { BRIX_COMMON::print_rif_debug(nullptr, 4, 3, 2, &order, false, false); }));
    EXPECT_BRIX_ERROR(BRIX_COMMON::print_rif_debug(&t, 0, 3, 2, &order, false, false),
                      "col != 0 && row != 0");
    EXPECT_BRIX_ERROR(BRIX_COMMON::print_rif_debug(&t, 4, 3, 2, nullptr, false, false),
                      "dras_order_data_list != NULL");
    EXPECT_BRIX_ERROR(BRIX_COMMON::print_rif_debug(&t, 4, 3, 0, &order, false, false), "dras_count > 0");
    EXPECT_BRIX_ERROR(BRIX_COMMON::print_rif_debug(&t, 4, 3, 3, &order, false, false),
                      "dras_order_data_list->size() == dras_count");
    for (BRIX_CONST_DATA* value : order)
        delete value;
}
