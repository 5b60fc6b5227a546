// Record classes: defaults, deep copies, list setters and their ownership, option-bit and argument data,
// the G2 list and the constant look-ups of the device record.
#include "brix_data_export.h"
#include "test_support.h"

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <set>
#include <thread>
#include <vector>

namespace {
unsigned char* new_bytes(std::initializer_list<unsigned char> values) {
    auto* bytes = new unsigned char[values.size()];
    std::copy(values.begin(), values.end(), bytes);
    return bytes;
}

BRIX_OB_DATA* new_ob(unsigned type, unsigned length, std::initializer_list<unsigned char> values) {
    return new BRIX_OB_DATA(type, 3, 4, length, BRIX_BLOCK_OPTION_BITS, new_bytes(values));
}

// A block with every kind of content: two constants, a dynamic field with two option-bit fields, a frame and
// two instructions.
BRIX_BLOCK* new_sample_block() {
    auto* block = new BRIX_BLOCK(BRIX_BLOCK_CRAM, true);
    block->set_length(5);
    block->set_has_crc(true);
    block->set_one_init(true);
    block->set_const_values(
        new BRIX_CONST_DATA_LIST{new BRIX_CONST_DATA(0xA, 0), new BRIX_CONST_DATA(0xB, 3)}, false);
    auto* dyn = new BRIX_DYN_DATA(BRIX_DYN_DATA_JTAG_ID, 1, 2, 32, 0xFF, true, false);
    dyn->set_ob_datas(new BRIX_OB_DATA_LIST{new_ob(BRIX_OB_DATA_JTAG_ID, 9, {0x5A, 0x01}),
                                            new_ob(BRIX_OB_DATA_POF_ID, 3, {0x06})},
                      false);
    block->set_dyn_values(new BRIX_DYN_DATA_LIST{dyn}, false);
    block->set_frame(new BRIX_FRAME(BRIX_FRAME_CRAM, 100, 1, 90, 4, 2, 0xFFFF, 3, true), false);
    block->set_instructions(
        new BRIX_INSTRUCTION_LIST{
            new BRIX_INSTRUCTION(BRIX_INSTRUCTION_CLEAR_AR, 7, true, 8, false, 9, true),
            new BRIX_INSTRUCTION(BRIX_INSTRUCTION_CRAM_SIZE, 1, false, 2, true, 3, false)},
        false);
    return block;
}

void expect_same_ob(const BRIX_OB_DATA* a, const BRIX_OB_DATA* b) {
    ASSERT_NE(a, b);
    EXPECT_EQ(a->get_ob_data_type(), b->get_ob_data_type());
    EXPECT_EQ(a->get_bit_index(), b->get_bit_index());
    EXPECT_EQ(a->get_bit_offset(), b->get_bit_offset());
    EXPECT_EQ(a->get_data_length(), b->get_data_length());
    EXPECT_EQ(a->get_data_size(), b->get_data_size());
    EXPECT_EQ(a->get_link_block(), b->get_link_block());
    unsigned la = 0, lb = 0;
    const unsigned char* da = a->get_data(la);
    const unsigned char* db = b->get_data(lb);
    ASSERT_NE(da, db);
    EXPECT_EQ(0, std::memcmp(da, db, a->get_data_size()));
}

// Field-by-field equality with no shared pointer anywhere in the tree.
void expect_deep_copy(const BRIX_BLOCK* a, const BRIX_BLOCK* b) {
    EXPECT_EQ(a->get_block_type(), b->get_block_type());
    EXPECT_EQ(a->get_static(), b->get_static());
    EXPECT_EQ(a->get_length(), b->get_length());
    EXPECT_EQ(a->get_has_crc(), b->get_has_crc());
    EXPECT_EQ(a->get_one_init(), b->get_one_init());

    ASSERT_NE(a->get_const_values(), b->get_const_values());
    ASSERT_EQ(a->get_const_values()->size(), b->get_const_values()->size());
    for (size_t i = 0; i < a->get_const_values()->size(); ++i) {
        const BRIX_CONST_DATA* ca = (*a->get_const_values())[i];
        const BRIX_CONST_DATA* cb = (*b->get_const_values())[i];
        EXPECT_NE(ca, cb);
        EXPECT_EQ(ca->get_value(), cb->get_value());
        EXPECT_EQ(ca->get_offset(), cb->get_offset());
    }

    ASSERT_NE(a->get_dyn_values(), b->get_dyn_values());
    ASSERT_EQ(a->get_dyn_values()->size(), b->get_dyn_values()->size());
    for (size_t i = 0; i < a->get_dyn_values()->size(); ++i) {
        const BRIX_DYN_DATA* da = (*a->get_dyn_values())[i];
        const BRIX_DYN_DATA* db = (*b->get_dyn_values())[i];
        ASSERT_NE(da, db);
        EXPECT_EQ(da->get_dyn_data_type(), db->get_dyn_data_type());
        EXPECT_EQ(da->get_word_offset(), db->get_word_offset());
        EXPECT_EQ(da->get_bit_offset(), db->get_bit_offset());
        EXPECT_EQ(da->get_length(), db->get_length());
        EXPECT_EQ(da->get_mask(), db->get_mask());
        EXPECT_EQ(da->get_xflip(), db->get_xflip());
        EXPECT_EQ(da->get_end_padding(), db->get_end_padding());
        ASSERT_NE(da->get_ob_datas(), db->get_ob_datas());
        ASSERT_EQ(da->get_ob_datas()->size(), db->get_ob_datas()->size());
        for (size_t k = 0; k < da->get_ob_datas()->size(); ++k)
            expect_same_ob((*da->get_ob_datas())[k], (*db->get_ob_datas())[k]);
    }

    const BRIX_FRAME* fa = a->get_frame();
    const BRIX_FRAME* fb = b->get_frame();
    ASSERT_NE(fa, fb);
    EXPECT_EQ(fa->get_frame_type(), fb->get_frame_type());
    EXPECT_EQ(fa->get_size(), fb->get_size());
    EXPECT_EQ(fa->get_header_size(), fb->get_header_size());
    EXPECT_EQ(fa->get_core_size(), fb->get_core_size());
    EXPECT_EQ(fa->get_edcrc_size(), fb->get_edcrc_size());
    EXPECT_EQ(fa->get_crc_size(), fb->get_crc_size());
    EXPECT_EQ(fa->get_crc_mask(), fb->get_crc_mask());
    EXPECT_EQ(fa->get_end_padding_bits(), fb->get_end_padding_bits());
    EXPECT_EQ(fa->get_crc_include_header(), fb->get_crc_include_header());

    ASSERT_NE(a->get_instructions(), b->get_instructions());
    ASSERT_EQ(a->get_instructions()->size(), b->get_instructions()->size());
    for (size_t i = 0; i < a->get_instructions()->size(); ++i) {
        const BRIX_INSTRUCTION* ia = (*a->get_instructions())[i];
        const BRIX_INSTRUCTION* ib = (*b->get_instructions())[i];
        EXPECT_NE(ia, ib);
        EXPECT_EQ(ia->get_instruction_type(), ib->get_instruction_type());
        EXPECT_EQ(ia->get_opcode(), ib->get_opcode());
        EXPECT_EQ(ia->get_has_flc(), ib->get_has_flc());
        EXPECT_EQ(ia->get_core_size(), ib->get_core_size());
        EXPECT_EQ(ia->get_core_default_zero(), ib->get_core_default_zero());
        EXPECT_EQ(ia->get_padding_size(), ib->get_padding_size());
        EXPECT_EQ(ia->get_padding_default_zero(), ib->get_padding_default_zero());
    }
}
} // namespace

// ---- Family records -------------------------------------------------------------------------------------

TEST(Records, DefaultsHoldOnePastTheLastTypeValue) {
    EXPECT_EQ(14u, BRIX_FAMILY_INFO().get_family_type());
    EXPECT_EQ(0u, BRIX_FAMILY_INFO().get_config_data_width());
    EXPECT_EQ(nullptr, BRIX_FAMILY_INFO().get_block_info_list());
    BRIX_BLOCK block;
    EXPECT_EQ(69u, block.get_block_type());
    EXPECT_FALSE(block.get_static());
    EXPECT_EQ(nullptr, block.get_const_values());
    EXPECT_EQ(nullptr, block.get_dyn_values());
    EXPECT_EQ(nullptr, block.get_frame());
    EXPECT_EQ(nullptr, block.get_instructions());
    EXPECT_EQ(19u, BRIX_FRAME().get_frame_type());
    EXPECT_EQ(37u, BRIX_DYN_DATA().get_dyn_data_type());
    EXPECT_EQ(340u, BRIX_OB_DATA().get_ob_data_type());
    EXPECT_EQ(0u, BRIX_OB_DATA().get_data_size());
    EXPECT_EQ(0u, BRIX_INSTRUCTION().get_instruction_type());
    BRIX_DEVICE_INFO device;
    EXPECT_EQ(14u, device.get_family_type());
    EXPECT_EQ(55u, device.get_device_type());
    EXPECT_EQ(0u, device.get_g2_s2_list_size());
    EXPECT_EQ(0u, device.get_g2_s2_thread_size());
    EXPECT_EQ(75u, BRIX_PARAMETER().get_parameter_type());
    EXPECT_EQ(69u, BRIX_PARAMETER().get_block_type());
    EXPECT_EQ(35u, BRIX_ARG().get_arg_type());
    EXPECT_EQ(69u, BRIX_ARG().get_block_type());
    BRIX_INFO info;
    EXPECT_EQ(nullptr, info.get_family_info());
    EXPECT_EQ(nullptr, info.get_device_info());
}

TEST(Records, BlockDeepCopyIsEqualFieldByFieldAndOutlivesTheOriginal) {
    std::unique_ptr<BRIX_BLOCK> original(new_sample_block());
    auto copy = std::make_unique<BRIX_BLOCK>(original.get());
    expect_deep_copy(original.get(), copy.get());
    original.reset(); // the copy shares nothing, so it stays readable
    EXPECT_EQ(0xBu, (*copy->get_const_values())[1]->get_value());
    unsigned length = 0;
    EXPECT_EQ(0x5A, (*(*copy->get_dyn_values())[0]->get_ob_datas())[0]->get_data(length)[0]);
    EXPECT_EQ(9u, length);
}

TEST(Records, DeepCopyOfAnEmptyOptionBitListFailsWithoutLeaking) {
    std::unique_ptr<BRIX_BLOCK> block(new_sample_block());
    (*block->get_dyn_values())[0]->set_ob_datas(new BRIX_OB_DATA_LIST, false);
    // The constants are copied before the dynamic fields fail; the half-built copy must release them.
    EXPECT_BRIX_ERROR(BRIX_BLOCK copy(block.get()), "ob_data_list->size() > 0");
}

TEST(Records, ListSettersReleaseTakeOrCopy) {
    BRIX_BLOCK block;
    // An empty list may be handed over, but not copied.
    block.set_const_values(new BRIX_CONST_DATA_LIST, false);
    ASSERT_NE(nullptr, block.get_const_values());
    EXPECT_TRUE(block.get_const_values()->empty());
    BRIX_CONST_DATA_LIST empty;
    EXPECT_BRIX_ERROR(block.set_const_values(&empty, true), "const_data_list->size() > 0");
    EXPECT_EQ(nullptr, block.get_const_values());

    // A copy leaves the caller's list and records with the caller.
    BRIX_CONST_DATA_LIST mine{new BRIX_CONST_DATA(1, 2)};
    block.set_const_values(&mine, true);
    ASSERT_EQ(1u, block.get_const_values()->size());
    EXPECT_NE(mine[0], (*block.get_const_values())[0]);
    EXPECT_EQ(2u, (*block.get_const_values())[0]->get_offset());
    delete mine[0];

    // Null releases the current list.
    block.set_const_values(nullptr, true);
    EXPECT_EQ(nullptr, block.get_const_values());

    // Handing the held list back keeps it; copying it replaces it by an equal list.
    block.set_instructions(new BRIX_INSTRUCTION_LIST{new BRIX_INSTRUCTION(5, 6, true, 0, false, 0, false)},
                           false);
    BRIX_INSTRUCTION_LIST* held = block.get_instructions();
    block.set_instructions(held, false);
    EXPECT_EQ(held, block.get_instructions());
    block.set_instructions(block.get_instructions(), true);
    ASSERT_EQ(1u, block.get_instructions()->size());
    EXPECT_EQ(6u, (*block.get_instructions())[0]->get_opcode());

    block.set_frame(new BRIX_FRAME(BRIX_FRAME_ERAM, 1, 0, 0, 0, 0, 0, 0, false), false);
    BRIX_FRAME other(BRIX_FRAME_IOCSR, 2, 0, 0, 0, 0, 0, 0, true);
    block.set_frame(&other, true);
    EXPECT_NE(&other, block.get_frame());
    EXPECT_EQ(unsigned(BRIX_FRAME_IOCSR), block.get_frame()->get_frame_type());
    block.set_frame(nullptr, false);
    EXPECT_EQ(nullptr, block.get_frame());
}

// Every list setter with a copy flag refuses to copy an empty list, each with its own text.
TEST(Records, CopyingAnEmptyListIsAnErrorInEverySetter) {
    BRIX_BLOCK block;
    BRIX_DYN_DATA dyn;
    BRIX_PARAMETER parameter;
    BRIX_ARG arg;
    BRIX_DEVICE_INFO device;
    BRIX_CONST_DATA_LIST consts;
    BRIX_DYN_DATA_LIST dyns;
    BRIX_INSTRUCTION_LIST instructions;
    BRIX_OB_DATA_LIST obs;
    BRIX_PARAMETER_LIST parameters;
    BRIX_ARG_LIST args;
    BRIX_ARG_DATA_LIST arg_datas;
    EXPECT_BRIX_ERROR(block.set_const_values(&consts, true), "const_data_list->size() > 0");
    EXPECT_BRIX_ERROR(block.set_dyn_values(&dyns, true), "dyn_data_list->size() > 0");
    EXPECT_BRIX_ERROR(block.set_instructions(&instructions, true), "instruction_list->size() > 0");
    EXPECT_BRIX_ERROR(dyn.set_ob_datas(&obs, true), "ob_data_list->size() > 0");
    EXPECT_BRIX_ERROR(parameter.set_const_values(&consts, true), "const_data_list->size() > 0");
    EXPECT_BRIX_ERROR(arg.set_data(&arg_datas, true), "data->size() > 0");
    EXPECT_BRIX_ERROR(device.set_parameter_list(&parameters, true), "parameter_list->size() > 0");
    EXPECT_BRIX_ERROR(device.set_argument_list(&args, true), "argument_list->size() > 0");
    EXPECT_BRIX_ERROR(device.set_ob_datas(&obs, true), "ob_data_list->size() > 0");
}

// Member-wise assignment shares the pointers; assigning a default record detaches them again.
TEST(Records, AssignmentSharesPointersAndIsNotACopy) {
    std::unique_ptr<BRIX_BLOCK> block(new_sample_block());
    BRIX_BLOCK alias;
    alias = *block;
    EXPECT_EQ(block->get_const_values(), alias.get_const_values());
    EXPECT_EQ(block->get_frame(), alias.get_frame());
    alias = BRIX_BLOCK();
    EXPECT_EQ(nullptr, alias.get_const_values());
}

TEST(Records, OptionBitDataSizeFollowsTheLength) {
    struct CASE {
        unsigned length;
        unsigned data_size;
    };
    for (CASE c : {CASE{1, 1}, CASE{8, 1}, CASE{9, 2}, CASE{64, 8}, CASE{65, 9}}) {
        BRIX_OB_DATA ob(BRIX_OB_DATA_JTAG_ID, 0, 0, c.length, 0, new unsigned char[c.data_size]());
        EXPECT_EQ(c.data_size, ob.get_data_size()) << c.length;
        EXPECT_EQ(c.length, ob.get_data_length());
    }
}

TEST(Records, OptionBitDataChecksItsInvariant) {
    EXPECT_BRIX_ERROR(BRIX_OB_DATA(BRIX_OB_DATA_JTAG_ID, 0, 0, 0, 0, nullptr), "length > 0 && data != NULL");
    EXPECT_BRIX_ERROR(BRIX_OB_DATA(BRIX_OB_DATA_JTAG_ID, 0, 0, 8, 0, nullptr), "length > 0 && data != NULL");
    BRIX_OB_DATA empty;
    unsigned length = 0;
    EXPECT_BRIX_ERROR(empty.get_data(length), "m_length > 0 && m_data != NULL");
    EXPECT_BRIX_ERROR(BRIX_OB_DATA copy(&empty), "m_length > 0 && m_data != NULL");

    BRIX_OB_DATA ob(BRIX_OB_DATA_POF_ID, 1, 2, 4, 7, new_bytes({0x0F}));
    unsigned char mine[2] = {0x12, 0x34};
    ob.set_data(12, mine, true);
    EXPECT_EQ(2u, ob.get_data_size());
    EXPECT_NE(mine, ob.get_data(length));
    EXPECT_EQ(0x34, ob.get_data(length)[1]);
    EXPECT_EQ(12u, length);
    EXPECT_BRIX_ERROR(ob.set_data(0, mine, true), "data == NULL");
    EXPECT_EQ(0u, ob.get_data_size());
    EXPECT_BRIX_ERROR(ob.set_data(3, nullptr, false), "data != NULL");
    ob.set_data(3, new_bytes({0x05}), false);
    ob.set_data(0, nullptr, false);
    EXPECT_EQ(0u, ob.get_data_length());
    EXPECT_EQ(0u, ob.get_data_size());
    // Handing the held array back keeps it.
    ob.set_data(8, new_bytes({0xAB}), false);
    ob.set_data(8, ob.get_data(length), false);
    EXPECT_EQ(0xAB, ob.get_data(length)[0]);
    ob.set_data(8, ob.get_data(length), true);
    EXPECT_EQ(0xAB, ob.get_data(length)[0]);
}

TEST(Records, DynamicFieldLengthIsNeverZero) {
    BRIX_DYN_DATA dyn(BRIX_DYN_DATA_PREAMBLE, 0, 0, 4, 0, false, false);
    EXPECT_BRIX_ERROR(dyn.set_length(0), "v > 0");
    EXPECT_EQ(4u, dyn.get_length());
    dyn.set_length(1);
    EXPECT_EQ(1u, dyn.get_length());
}

TEST(Records, SignatureIsStampedOnceWithThirtyTwoCharacters) {
    BRIX_INFO info;
    EXPECT_BRIX_ERROR(info.get_signature(), "m_signature != NULL");
    const char* text = "signature.size() == 32 && m_signature == NULL";
    EXPECT_BRIX_ERROR(info.set_signature(std::string(31, 'a')), text);
    EXPECT_BRIX_ERROR(info.set_signature(std::string(33, 'a')), text);
    info.set_signature(BRIX_CONST_ENUM_CSV_MD5);
    EXPECT_EQ(BRIX_CONST_ENUM_CSV_MD5, info.get_signature());
    EXPECT_BRIX_ERROR(info.set_signature(std::string(32, 'f')), text);
    EXPECT_EQ(BRIX_CONST_ENUM_CSV_MD5, info.get_signature());
}

// The root releases the whole tree of both sides (LeakSanitizer checks the rest).
TEST(Records, RootOwnsBothSides) {
    BRIX_INFO info;
    auto* family = new BRIX_FAMILY_INFO;
    family->set_block_info_list(new BRIX_BLOCK_LIST{new_sample_block(), new_sample_block()});
    info.set_family_info(family);
    auto* device = new BRIX_DEVICE_INFO;
    device->set_ob_datas(new BRIX_OB_DATA_LIST{new_ob(BRIX_OB_DATA_REV_ID, 2, {0x3})}, false);
    auto* lutram = new LUTRAM_MRAM_INFO_LIST{new LUTRAM_MRAM_INFO(4)};
    (*lutram)[0]->update_row(7);
    device->set_lutram_info(lutram);
    device->set_mram_info(new LUTRAM_MRAM_INFO_LIST{new LUTRAM_MRAM_INFO(5)});
    info.set_device_info(device);
    info.set_signature(BRIX_CONST_ENUM_CSV_MD5);
    EXPECT_EQ(std::vector<unsigned>{7}, (*device->get_lutram_info())[0]->get_rows());
}

// ---- Device records -------------------------------------------------------------------------------------

namespace {
G2_SII_LIST* new_g2_list(unsigned entries) {
    auto* list = new G2_SII_LIST;
    list->reserve(entries);
    for (unsigned i = 0; i < entries; ++i)
        list->push_back(new G2_SII);
    return list;
}
} // namespace

TEST(DeviceRecords, ThreadSizeIsOnePartPerStartedTwoThousandEntriesAtMostEight) {
    struct CASE {
        unsigned entries;
        unsigned threads;
    };
    for (CASE c : {CASE{1, 1}, CASE{2000, 1}, CASE{2001, 2}, CASE{4000, 2}, CASE{16000, 8}, CASE{16001, 8},
                   CASE{40000, 8}}) {
        BRIX_DEVICE_INFO device;
        device.set_g2_s2_list(new_g2_list(c.entries), true, true);
        EXPECT_EQ(c.entries, device.get_g2_s2_list_size());
        EXPECT_EQ(c.threads, device.get_g2_s2_thread_size()) << c.entries;
    }
}

TEST(DeviceRecords, G2ListStates) {
    BRIX_DEVICE_INFO device;
    device.set_g2_s2_list(new_g2_list(3), true, false); // a part file's list: not split
    EXPECT_EQ(3u, device.get_g2_s2_list_size());
    EXPECT_EQ(0u, device.get_g2_s2_thread_size());

    // Handed out: the caller takes the list, the record keeps the sizes it is given.
    std::unique_ptr<G2_SII_LIST, void (*)(G2_SII_LIST*)> taken(device.get_g2_s2_list(),
                                                               brix_release_list<G2_SII_LIST>);
    device.set_g2_s2_list(nullptr, false, false);
    device.set_g2_s2_list_size(3);
    device.set_g2_s2_thread_size(1);
    EXPECT_EQ(nullptr, device.get_g2_s2_list());
    EXPECT_EQ(3u, device.get_g2_s2_list_size());
    EXPECT_EQ(3u, taken->size());

    EXPECT_BRIX_ERROR(device.set_g2_s2_list(new_g2_list(0), true, true), "m_g2_s2_list_size != 0");
    device.set_g2_s2_list(nullptr, true, true); // absent
    EXPECT_EQ(0u, device.get_g2_s2_list_size());
    EXPECT_EQ(0u, device.get_g2_s2_thread_size());
}

// A full G2 entry (bit lists of bits with their references) is released by the device record.
TEST(DeviceRecords, G2TreeIsOwnedAndDistanceKeepsEightBits) {
    auto* bit = new G2_SII_BIT(17);
    bit->set_g2_s1_list(new G2_SI_LIST{new G2_SI(100, 5, true, 0x1FF), new G2_SI(101, 6, false, 3)});
    auto* entry = new G2_SII;
    entry->set_g2_s2_bit_list_list(new G2_SII_BIT_LIST_LIST{new G2_SII_BIT_LIST{bit}, new G2_SII_BIT_LIST});
    BRIX_DEVICE_INFO device;
    device.set_g2_s2_list(new G2_SII_LIST{entry}, true, true);

    unsigned bit_number = 0;
    G2_SI_LIST* refs = bit->get_data(bit_number);
    EXPECT_EQ(17u, bit_number);
    unsigned frame = 0, bit_index = 0;
    bool dir = false;
    EXPECT_EQ(0xFF, (*refs)[0]->get_data(frame, bit_index, dir));
    EXPECT_EQ(100u, frame);
    EXPECT_EQ(5u, bit_index);
    EXPECT_TRUE(dir);
}

TEST(DeviceRecords, SimplifiedListsAreCopiedInAndOut) {
    BRIX_DEVICE_INFO device;
    device.set_simplified_lutram({1, 2}, {3});
    device.set_simplified_mram({4}, {5, 6});
    std::vector<unsigned> col, row;
    device.get_simplified_lutram(col, row);
    EXPECT_EQ((std::vector<unsigned>{1, 2}), col);
    EXPECT_EQ((std::vector<unsigned>{3}), row);
    device.get_simplified_mram(col, row);
    EXPECT_EQ((std::vector<unsigned>{4}), col);
    EXPECT_EQ((std::vector<unsigned>{5, 6}), row);
}

namespace {
BRIX_PARAMETER* new_parameter(unsigned type, unsigned length,
                              std::initializer_list<BRIX_CONST_DATA> constants) {
    BRIX_CONST_DATA_LIST* list = nullptr;
    if (constants.size() > 0) {
        list = new BRIX_CONST_DATA_LIST;
        for (const BRIX_CONST_DATA& c : constants)
            list->push_back(new BRIX_CONST_DATA(c));
    }
    return new BRIX_PARAMETER(type, length, BRIX_BLOCK_CRAM, list);
}

// One parameter per shape the look-ups must tell apart.
struct DeviceConstants : testing::Test {
    BRIX_DEVICE_INFO device;
    void SetUp() override {
        device.set_parameter_list(
            new BRIX_PARAMETER_LIST{
                new_parameter(BRIX_PARAMETER_ENABLE_FBGEN, 1, {{1, 0}}),
                new_parameter(BRIX_PARAMETER_SUPPORT_RIF, 1, {{0, 0}}),
                new_parameter(BRIX_PARAMETER_CRAM_FRAME_COUNT, 1, {{2, 0}}),
                new_parameter(BRIX_PARAMETER_LUTRAM_COL_SIZE, 4, {{7, 2}}),
                new_parameter(BRIX_PARAMETER_DRAS, 1, {{1, 1}}),              // offset outside the array
                new_parameter(BRIX_PARAMETER_DRAS_ORDER, 2, {}),              // length without constants
                new_parameter(BRIX_PARAMETER_CRAM_ALGO, 1, {{3, 0}, {4, 0}}), // more constants than length
                new_parameter(BRIX_PARAMETER_ENABLE_FBGEN, 1, {{0, 0}}),      // shadowed by the first
            },
            false);
    }
};
} // namespace

TEST_F(DeviceConstants, ScalarLookupsTellUsableFromUnusable) {
    struct CASE {
        unsigned type;
        bool bool_supported;
        bool bool_value;
        bool uint_supported;
        unsigned uint_value;
    };
    const CASE cases[] = {
        {BRIX_PARAMETER_ENABLE_FBGEN, true, true, true, 1},
        {BRIX_PARAMETER_SUPPORT_RIF, true, false, true, 0},
        {BRIX_PARAMETER_CRAM_FRAME_COUNT, false, false, true, 2},
        {BRIX_PARAMETER_LUTRAM_COL_SIZE, false, false, false, 0},
        {BRIX_PARAMETER_DRAS, false, false, false, 0},
        {BRIX_PARAMETER_DRAS_ORDER, false, false, false, 0},
        {BRIX_PARAMETER_CRAM_ALGO, false, false, false, 0},
        {BRIX_PARAMETER_MRAM_COL_SIZE, false, false, false, 0}, // absent
    };
    for (const CASE& c : cases) {
        bool supported = !c.bool_supported;
        EXPECT_EQ(c.bool_value, device.get_const_boolean(c.type, &supported)) << c.type;
        EXPECT_EQ(c.bool_supported, supported) << c.type;
        supported = !c.uint_supported;
        EXPECT_EQ(c.uint_value, device.get_const_uint(c.type, &supported)) << c.type;
        EXPECT_EQ(c.uint_supported, supported) << c.type;
        if (!c.bool_supported)
            EXPECT_BRIX_ERROR(device.get_const_boolean(c.type, nullptr), "support != NULL || is_supported");
        if (!c.uint_supported)
            EXPECT_BRIX_ERROR(device.get_const_uint(c.type, nullptr), "support != NULL || is_supported");
    }
    EXPECT_TRUE(device.get_const_boolean(BRIX_PARAMETER_ENABLE_FBGEN));
    EXPECT_EQ(2u, device.get_const_uint(BRIX_PARAMETER_CRAM_FRAME_COUNT));
}

TEST_F(DeviceConstants, ArrayLookupFillsTheSparseEntries) {
    unsigned length = 99;
    std::unique_ptr<unsigned[]> values(device.get_const_uints(BRIX_PARAMETER_LUTRAM_COL_SIZE, length));
    ASSERT_EQ(4u, length);
    EXPECT_EQ((std::vector<unsigned>{0, 0, 7, 0}), std::vector<unsigned>(values.get(), values.get() + 4));

    EXPECT_EQ(nullptr, device.get_const_uints(BRIX_PARAMETER_MRAM_COL_SIZE, length));
    EXPECT_EQ(0u, length);
    EXPECT_BRIX_ERROR(device.get_const_uints(BRIX_PARAMETER_DRAS, length), "(*i)->get_offset() < length");
    EXPECT_BRIX_ERROR(device.get_const_uints(BRIX_PARAMETER_DRAS_ORDER, length),
                      "(contants != NULL && length > 0) || (contants == NULL && length == 0)");
    EXPECT_BRIX_ERROR(device.get_const_uints(BRIX_PARAMETER_CRAM_ALGO, length), "contants->size() <= length");

    EXPECT_EQ(nullptr, device.get_const_values(BRIX_PARAMETER_MRAM_COL_SIZE, length));
    EXPECT_EQ(0u, length);
    EXPECT_EQ(device.get_parameter(BRIX_PARAMETER_LUTRAM_COL_SIZE)->get_const_values(),
              device.get_const_values(BRIX_PARAMETER_LUTRAM_COL_SIZE, length));
    EXPECT_EQ(4u, length);
    EXPECT_EQ(nullptr, BRIX_DEVICE_INFO().get_parameter(BRIX_PARAMETER_ENABLE_FBGEN));
}

TEST_F(DeviceConstants, ParameterConstantsByIndexAndDeepCopy) {
    const BRIX_PARAMETER* lutram = device.get_parameter(BRIX_PARAMETER_LUTRAM_COL_SIZE);
    EXPECT_EQ(7u, lutram->get_const_value(0));
    EXPECT_EQ(2u, lutram->get_const_offset(0));
    EXPECT_BRIX_ERROR(lutram->get_const_value(4), "index < m_length");
    EXPECT_BRIX_ERROR(lutram->get_const_offset(1), "index < m_const_values->size()");

    BRIX_PARAMETER copy(lutram);
    EXPECT_EQ(lutram->get_parameter_type(), copy.get_parameter_type());
    EXPECT_EQ(lutram->get_length(), copy.get_length());
    EXPECT_EQ(lutram->get_block_type(), copy.get_block_type());
    ASSERT_NE(lutram->get_const_values(), copy.get_const_values());
    EXPECT_EQ(7u, copy.get_const_value(0));

    // A deep copy of the whole parameter list.
    BRIX_DEVICE_INFO other;
    other.set_parameter_list(device.get_parameter_list(), true);
    ASSERT_EQ(device.get_parameter_list()->size(), other.get_parameter_list()->size());
    EXPECT_NE((*device.get_parameter_list())[0], (*other.get_parameter_list())[0]);
    EXPECT_TRUE(other.get_const_boolean(BRIX_PARAMETER_ENABLE_FBGEN));
}

TEST(DeviceRecords, ArgumentDataChecksSizesAndCopies) {
    BRIX_ARG_DATA data;
    const char* sizes_text = "data_size > 0 && (unit_size == 1 || unit_size == 2 || unit_size == 4)";
    unsigned char bytes[6] = {1, 2, 3, 4, 5, 6};
    EXPECT_BRIX_ERROR(data.set_data(bytes, 2, 3, true), sizes_text);
    EXPECT_BRIX_ERROR(data.set_data(bytes, 0, 1, true), sizes_text);
    EXPECT_BRIX_ERROR(data.set_data(nullptr, 1, 0, false), "data_size == 0 && unit_size == 0");
    data.set_data(nullptr, 0, 0, false);
    unsigned data_size = 9, unit_size = 9;
    EXPECT_EQ(nullptr, data.get_data(&data_size, &unit_size));
    EXPECT_EQ(0u, data_size);
    EXPECT_EQ(0u, unit_size);

    data.set_data(bytes, 3, 2, true);
    unsigned char* held = data.get_data(&data_size, nullptr);
    ASSERT_NE(bytes, held);
    EXPECT_EQ(3u, data_size);
    EXPECT_EQ(0, std::memcmp(bytes, held, 6));

    BRIX_ARG arg(BRIX_ARGUMENT_CRAM_SPARE_ROWS, BRIX_BLOCK_CRAM,
                 new BRIX_ARG_DATA_LIST{new BRIX_ARG_DATA(new_bytes({9, 8, 7, 6}), 1, 4)});
    BRIX_ARG copy(&arg);
    EXPECT_EQ(unsigned(BRIX_ARGUMENT_CRAM_SPARE_ROWS), copy.get_arg_type());
    EXPECT_EQ(unsigned(BRIX_BLOCK_CRAM), copy.get_block_type());
    ASSERT_EQ(1u, copy.get_data()->size());
    const unsigned char* copied = (*copy.get_data())[0]->get_data(&data_size, &unit_size);
    EXPECT_NE((*arg.get_data())[0]->get_data(nullptr, nullptr), copied);
    EXPECT_EQ(1u, data_size);
    EXPECT_EQ(4u, unit_size);
    EXPECT_EQ(6, copied[3]);
}

// G2 records come from a record pool: every live record has a block of its own, aligned for it, and a
// released block is handed out again. Two threads making and releasing records at once keep their values.
TEST(RecordPool, BlocksAreDistinctAlignedAndReused) {
    std::vector<G2_SI*> records;
    std::set<const void*> addresses;
    for (unsigned i = 0; i < 10000; ++i) {
        records.push_back(new G2_SI(i, i * 3, i % 2 == 0, i));
        EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(records.back()) % alignof(G2_SI));
        addresses.insert(records.back());
    }
    EXPECT_EQ(records.size(), addresses.size());
    for (unsigned i = 0; i < records.size(); ++i) {
        unsigned frame = 0, bit = 0;
        bool dir = false;
        EXPECT_EQ(static_cast<unsigned char>(i), records[i]->get_data(frame, bit, dir));
        EXPECT_EQ(i, frame);
        EXPECT_EQ(i * 3, bit);
        EXPECT_EQ(i % 2 == 0, dir);
    }
    for (G2_SI* record : records)
        delete record;
    auto again = std::make_unique<G2_SI>(1, 2, true, 3);
#ifndef BRIX_RECORD_POOL_USES_HEAP
    EXPECT_EQ(1u, addresses.count(again.get()));
#endif

    auto churn = [](unsigned seed, bool* ok) {
        for (unsigned round = 0; round < 20; ++round) {
            std::vector<std::unique_ptr<G2_SII_BIT>> bits;
            for (unsigned i = 0; i < 500; ++i)
                bits.push_back(std::make_unique<G2_SII_BIT>(seed + i));
            for (unsigned i = 0; i < bits.size(); ++i) {
                unsigned bit = 0;
                bits[i]->get_data(bit);
                *ok = *ok && bit == seed + i;
            }
        }
    };
    bool ok_a = true, ok_b = true;
    std::thread a(churn, 0u, &ok_a), b(churn, 1000000u, &ok_b);
    a.join();
    b.join();
    EXPECT_TRUE(ok_a);
    EXPECT_TRUE(ok_b);
}

// Records made on worker threads and released on another, as a database's part files are read, keep their
// values; and every round reuses the blocks the round before gave back (the caches of the threads that made
// and of the thread that released them included, when those threads end), so the pool does not grow from
// round to round. The rounds that measure the pool run their workers one after another, so that the threads'
// caches hold the same blocks in every round.
TEST(RecordPool, BlocksReleasedOnAnotherThreadAreReused) {
    auto round = [](bool at_once) {
        std::vector<std::vector<G2_SI*>> made(4);
        auto work = [&made](unsigned t) {
            for (unsigned i = 0; i < 30000; ++i)
                made[t].push_back(new G2_SI(t, i, true, i & 0xFF));
            for (unsigned i = 0; i < 1000; ++i) // released on its own thread, kept in its cache
                delete made[t][i];
            made[t].erase(made[t].begin(), made[t].begin() + 1000);
        };
        std::vector<std::thread> workers;
        for (unsigned t = 0; t < made.size(); ++t) {
            workers.emplace_back(work, t);
            if (!at_once)
                workers.back().join();
        }
        for (std::thread& w : workers)
            if (w.joinable())
                w.join();
        bool ok = true;
        // Released on a thread that makes no records and ends: its cache goes back to the pool too.
        std::thread releaser([&made, &ok] {
            for (unsigned t = 0; t < made.size(); ++t)
                for (unsigned i = 0; i < made[t].size(); ++i) {
                    unsigned frame = 0, bit = 0;
                    bool dir = false;
                    ok = ok && made[t][i]->get_data(frame, bit, dir) == ((i + 1000) & 0xFF) && frame == t &&
                         bit == i + 1000;
                    delete made[t][i];
                }
        });
        releaser.join();
        return ok;
    };
    EXPECT_TRUE(round(true));
    // The first rounds fill the pool and the releasing thread's own cache.
    EXPECT_TRUE(round(false));
    EXPECT_TRUE(round(false));
#ifndef BRIX_RECORD_POOL_USES_HEAP
    using POOL = BRIX_RECORD_POOL<sizeof(G2_SI), alignof(G2_SI)>;
    const size_t carved = POOL::carved_bytes();
    EXPECT_GT(carved, 0u);
#endif
    for (int r = 0; r < 4; ++r)
        EXPECT_TRUE(round(false));
#ifndef BRIX_RECORD_POOL_USES_HEAP
    EXPECT_EQ(carved, POOL::carved_bytes());
#endif
}

// The lists of a G2 entry and their element buffers come from the record pools, by size class up to 256
// bytes and from the heap beyond. Lists of every length, grown one element at a time, copied, shrunk and
// released in turn, keep their elements and never share a buffer.
TEST(RecordPool, ListsKeepTheirElementsInEverySizeClass) {
    std::vector<std::unique_ptr<G2_SI_LIST>> lists;
    for (unsigned n = 0; n <= 70; ++n) {
        auto list = std::make_unique<G2_SI_LIST>();
        for (unsigned i = 0; i < n; ++i)
            list->push_back(reinterpret_cast<G2_SI*>(uintptr_t(n) << 16 | i));
        lists.push_back(std::move(list));
        if (n % 3 == 0)
            lists.push_back(std::make_unique<G2_SI_LIST>(*lists.back())); // a copy of its own
        if (n % 5 == 0 && !lists.back()->empty()) {
            lists.back()->resize(lists.back()->size() / 2);
            lists.back()->shrink_to_fit();
        }
        if (n % 7 == 0)
            lists.erase(lists.begin() + lists.size() / 2); // releases a list between others
    }
    std::set<const void*> buffers;
    for (const auto& list : lists) {
        if (list->empty())
            continue;
        EXPECT_TRUE(buffers.insert(list->data()).second);
        const uintptr_t n = reinterpret_cast<uintptr_t>(list->front()) >> 16;
        for (size_t i = 0; i < list->size(); ++i)
            ASSERT_EQ(n << 16 | i, reinterpret_cast<uintptr_t>((*list)[i]))
                << "list of " << n << ", element " << i;
    }
    auto slots = std::make_unique<G2_SII_BIT_LIST_LIST>(32, nullptr);
    (*slots)[31] = new G2_SII_BIT_LIST{new G2_SII_BIT(7)};
    G2_SII entry;
    entry.set_g2_s2_bit_list_list(slots.release()); // the entry releases its slots, bits and lists
}
