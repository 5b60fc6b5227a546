// The exported surface of a BRIX database: the vocabularies (brix_vocabulary.h) and the record classes of the
// family side and the device side.
//
// Ownership: a record owns every list, record and byte array it points to and releases them in its
// destructor. Records and lists are allocated with new, byte arrays with new[]. A list is a pointer to a
// vector of pointers to records; null means "no list". List setters take a copy flag: false hands the list
// over to the record, true deep-copies it (the caller keeps its own); either way the previous list is
// released first. The constructors taking a pointer to another record are the deep copies. The
// compiler-generated assignment is member-wise: the two records then share their pointers, so it is never a
// copy, and only one of them may be destroyed with the pointers in place.
//
// Every field is persistent; the archive serialiser (struct BRIX_PDB) reads and writes the fields directly.
// Every record class is default-constructible so that a reader can create it and then fill its fields.
#pragma once

#include "brix_record_pool.h"
#include "brix_vocabulary.h"

#include <string>
#include <utility>
#include <vector>

struct BRIX_PDB;

class BRIX_INFO;
class BRIX_FAMILY_INFO;
class BRIX_BLOCK;
class BRIX_FRAME;
class BRIX_INSTRUCTION;
class BRIX_CONST_DATA;
class BRIX_DYN_DATA;
class BRIX_OB_DATA;
class BRIX_DEVICE_INFO;
class BRIX_PARAMETER;
class BRIX_ARG;
class BRIX_ARG_DATA;
class LUTRAM_MRAM_INFO;
class SIMPLIFIED_LUTRAM_MRAM_INFO;
class G2_SI;
class G2_SII;
class G2_SII_BIT;

using BRIX_BLOCK_LIST = std::vector<BRIX_BLOCK*>;
using BRIX_CONST_DATA_LIST = std::vector<BRIX_CONST_DATA*>;
using BRIX_DYN_DATA_LIST = std::vector<BRIX_DYN_DATA*>;
using BRIX_INSTRUCTION_LIST = std::vector<BRIX_INSTRUCTION*>;
using BRIX_OB_DATA_LIST = std::vector<BRIX_OB_DATA*>;
using BRIX_PARAMETER_LIST = std::vector<BRIX_PARAMETER*>;
using BRIX_ARG_LIST = std::vector<BRIX_ARG*>;
using BRIX_ARG_DATA_LIST = std::vector<BRIX_ARG_DATA*>;
using LUTRAM_MRAM_INFO_LIST = std::vector<LUTRAM_MRAM_INFO*>;
// The lists inside a G2 entry come from the record pools (brix_record_pool.h).
using G2_SI_LIST = BRIX_RECORD_LIST<G2_SI>;
using G2_SII_LIST = std::vector<G2_SII*>;
using G2_SII_BIT_LIST = BRIX_RECORD_LIST<G2_SII_BIT>;
using G2_SII_BIT_LIST_LIST = BRIX_RECORD_LIST<G2_SII_BIT_LIST>;

// Releases every record of a list (a std::vector of record pointers or a BRIX_RECORD_LIST), then the list
// itself. Null is allowed.
template <typename LIST> void brix_release_list(LIST* list) {
    if (list == nullptr)
        return;
    for (auto* record : *list)
        delete record;
    delete list;
}

// Number of units of size unit needed for n items, rounded up.
#define BRIX_N_UNITS(n, unit) (((n) + (unit)-1) / (unit))

// ---- Family side ----------------------------------------------------------------------------------------

// Root of every database: the family side in a family database, the device side in a device database.
class BRIX_INFO {
    friend struct BRIX_PDB;

  public:
    BRIX_INFO() = default;
    BRIX_INFO(const BRIX_INFO&) = delete;
    BRIX_INFO& operator=(const BRIX_INFO&) = default;
    ~BRIX_INFO();

    BRIX_FAMILY_INFO* get_family_info() const { return m_family_info; }
    BRIX_DEVICE_INFO* get_device_info() const { return m_device_info; }
    // The 32 signature characters; a record without a signature is an internal error.
    std::string get_signature() const;

    // Store the pointer; the previous record is not released.
    void set_family_info(BRIX_FAMILY_INFO* family_info) { m_family_info = family_info; }
    void set_device_info(BRIX_DEVICE_INFO* device_info) { m_device_info = device_info; }
    // Stamps the vocabulary signature: exactly 32 characters, once per record.
    void set_signature(std::string signature);

  private:
    BRIX_FAMILY_INFO* m_family_info = nullptr;
    BRIX_DEVICE_INFO* m_device_info = nullptr;
    unsigned char* m_signature = nullptr; // 32 bytes, no terminator
};

class BRIX_FAMILY_INFO {
    friend struct BRIX_PDB;

  public:
    BRIX_FAMILY_INFO() = default;
    BRIX_FAMILY_INFO(const BRIX_FAMILY_INFO&) = delete;
    BRIX_FAMILY_INFO& operator=(const BRIX_FAMILY_INFO&) = default;
    ~BRIX_FAMILY_INFO();

    unsigned get_family_type() const { return m_family_type; }
    unsigned get_config_data_width() const { return m_config_data_width; }
    BRIX_BLOCK_LIST* get_block_info_list() const { return m_block_list; }

    void set_family_type(unsigned family_type) { m_family_type = family_type; }
    void set_config_data_width(unsigned width) { m_config_data_width = width; }
    // Stores the pointer; the previous list is not released.
    void set_block_info_list(BRIX_BLOCK_LIST* block_list) { m_block_list = block_list; }

  private:
    unsigned m_family_type = BRIX_FAMILY_MAX;
    unsigned m_config_data_width = 0;
    BRIX_BLOCK_LIST* m_block_list = nullptr;
};

// One block of the configuration stream.
class BRIX_BLOCK {
    friend struct BRIX_PDB;

  public:
    BRIX_BLOCK() = default;
    BRIX_BLOCK(unsigned block_type, bool is_static);
    // Deep copy: the scalars, the constant and dynamic lists, the frame and the instruction list.
    explicit BRIX_BLOCK(const BRIX_BLOCK* other);
    BRIX_BLOCK(const BRIX_BLOCK&) = delete;
    BRIX_BLOCK& operator=(const BRIX_BLOCK&) = default;
    ~BRIX_BLOCK();

    unsigned get_block_type() const { return m_block_type; }
    bool get_static() const { return m_static; }
    unsigned get_length() const { return m_length; }
    bool get_has_crc() const { return m_has_crc; }
    bool get_one_init() const { return m_one_init; }
    BRIX_CONST_DATA_LIST* get_const_values() const { return m_const_values; }
    BRIX_DYN_DATA_LIST* get_dyn_values() const { return m_dyn_values; }
    BRIX_FRAME* get_frame() const { return m_frame; }
    BRIX_INSTRUCTION_LIST* get_instructions() const { return m_instruction_list; }

    void set_block_type(unsigned block_type) { m_block_type = block_type; }
    void set_static(bool is_static) { m_static = is_static; }
    void set_length(unsigned length) { m_length = length; }
    void set_has_crc(bool has_crc) { m_has_crc = has_crc; }
    void set_one_init(bool one_init) { m_one_init = one_init; }
    // Release the current value, then take (copy false) or deep-copy (copy true) the new one; null clears.
    void set_const_values(BRIX_CONST_DATA_LIST* const_data_list, bool copy);
    void set_dyn_values(BRIX_DYN_DATA_LIST* dyn_data_list, bool copy);
    void set_frame(BRIX_FRAME* frame, bool copy);
    void set_instructions(BRIX_INSTRUCTION_LIST* instruction_list, bool copy);

  private:
    unsigned m_block_type = BRIX_BLOCK_MAX;
    bool m_static = false;
    unsigned m_length = 0;
    bool m_has_crc = false;
    bool m_one_init = false;
    BRIX_CONST_DATA_LIST* m_const_values = nullptr;
    BRIX_DYN_DATA_LIST* m_dyn_values = nullptr;
    BRIX_FRAME* m_frame = nullptr;
    BRIX_INSTRUCTION_LIST* m_instruction_list = nullptr;
};

// Frame geometry of a block made of frames.
class BRIX_FRAME {
    friend struct BRIX_PDB;

  public:
    BRIX_FRAME() = default;
    BRIX_FRAME(unsigned frame_type, unsigned size, unsigned header_size, unsigned core_size,
               unsigned edcrc_size, unsigned crc_size, unsigned crc_mask, unsigned end_padding_bits,
               bool crc_include_header);
    explicit BRIX_FRAME(const BRIX_FRAME* other) : BRIX_FRAME(*other) {}
    BRIX_FRAME(const BRIX_FRAME&) = default;
    BRIX_FRAME& operator=(const BRIX_FRAME&) = default;

    unsigned get_frame_type() const { return m_frame_type; }
    unsigned get_size() const { return m_size; }
    unsigned get_header_size() const { return m_header_size; }
    unsigned get_core_size() const { return m_core_size; }
    unsigned get_edcrc_size() const { return m_edcrc_size; }
    unsigned get_crc_size() const { return m_crc_size; }
    unsigned get_crc_mask() const { return m_crc_mask; }
    unsigned get_end_padding_bits() const { return m_end_padding_bits; }
    bool get_crc_include_header() const { return m_crc_include_header; }

    void set_frame_type(unsigned v) { m_frame_type = v; }
    void set_size(unsigned v) { m_size = v; }
    void set_header_size(unsigned v) { m_header_size = v; }
    void set_core_size(unsigned v) { m_core_size = v; }
    void set_edcrc_size(unsigned v) { m_edcrc_size = v; }
    void set_crc_size(unsigned v) { m_crc_size = v; }
    void set_crc_mask(unsigned v) { m_crc_mask = v; }
    void set_end_padding_bits(unsigned v) { m_end_padding_bits = v; }
    void set_crc_include_header(bool v) { m_crc_include_header = v; }

  private:
    unsigned m_frame_type = BRIX_FRAME_MAX;
    unsigned m_size = 0;
    unsigned m_header_size = 0;
    unsigned m_core_size = 0;
    unsigned m_edcrc_size = 0;
    unsigned m_crc_size = 0;
    unsigned m_crc_mask = 0;
    unsigned m_end_padding_bits = 0;
    bool m_crc_include_header = false;
};

class BRIX_INSTRUCTION {
    friend struct BRIX_PDB;

  public:
    BRIX_INSTRUCTION() = default;
    BRIX_INSTRUCTION(unsigned instruction_type, unsigned opcode, bool has_flc, unsigned core_size,
                     bool core_default_zero, unsigned padding_size, bool padding_default_zero);
    explicit BRIX_INSTRUCTION(const BRIX_INSTRUCTION* other) : BRIX_INSTRUCTION(*other) {}
    BRIX_INSTRUCTION(const BRIX_INSTRUCTION&) = default;
    BRIX_INSTRUCTION& operator=(const BRIX_INSTRUCTION&) = default;

    unsigned get_instruction_type() const { return m_instruction_type; }
    unsigned get_opcode() const { return m_opcode; }
    bool get_has_flc() const { return m_has_flc; }
    unsigned get_core_size() const { return m_core_size; }
    bool get_core_default_zero() const { return m_core_default_zero; }
    unsigned get_padding_size() const { return m_padding_size; }
    bool get_padding_default_zero() const { return m_padding_default_zero; }

  private:
    unsigned m_instruction_type = 0;
    unsigned m_opcode = 0;
    bool m_has_flc = false;
    unsigned m_core_size = 0;
    bool m_core_default_zero = false;
    unsigned m_padding_size = 0;
    bool m_padding_default_zero = false;
};

// A constant word of a block, or one non-zero entry of a device parameter: a value and its offset.
class BRIX_CONST_DATA {
    friend struct BRIX_PDB;

  public:
    BRIX_CONST_DATA() = default;
    BRIX_CONST_DATA(unsigned value, unsigned offset) : m_value(value), m_offset(offset) {}
    explicit BRIX_CONST_DATA(const BRIX_CONST_DATA* other) : BRIX_CONST_DATA(*other) {}
    BRIX_CONST_DATA(const BRIX_CONST_DATA&) = default;
    BRIX_CONST_DATA& operator=(const BRIX_CONST_DATA&) = default;

    unsigned get_value() const { return m_value; }
    unsigned get_offset() const { return m_offset; }
    void set_value(unsigned value) { m_value = value; }
    void set_offset(unsigned offset) { m_offset = offset; }

  private:
    unsigned m_value = 0;
    unsigned m_offset = 0;
};

// A field inside a block whose value is filled in at programming time.
class BRIX_DYN_DATA {
    friend struct BRIX_PDB;

  public:
    BRIX_DYN_DATA() = default;
    BRIX_DYN_DATA(unsigned dyn_data_type, unsigned word_offset, unsigned bit_offset, unsigned length,
                  unsigned mask, bool xflip, bool end_padding);
    // Deep copy: the scalars and the option-bit list.
    explicit BRIX_DYN_DATA(const BRIX_DYN_DATA* other);
    BRIX_DYN_DATA(const BRIX_DYN_DATA&) = delete;
    BRIX_DYN_DATA& operator=(const BRIX_DYN_DATA&) = default;
    ~BRIX_DYN_DATA();

    unsigned get_dyn_data_type() const { return m_dyn_data_type; }
    unsigned get_word_offset() const { return m_word_offset; }
    unsigned get_bit_offset() const { return m_bit_offset; }
    unsigned get_length() const { return m_length; }
    unsigned get_mask() const { return m_mask; }
    bool get_xflip() const { return m_xflip; }
    bool get_end_padding() const { return m_end_padding; }
    BRIX_OB_DATA_LIST* get_ob_datas() const { return m_ob_datas; }

    void set_dyn_data_type(unsigned v) { m_dyn_data_type = v; }
    void set_word_offset(unsigned v) { m_word_offset = v; }
    void set_bit_offset(unsigned v) { m_bit_offset = v; }
    // A length of 0 is an internal error.
    void set_length(unsigned v);
    void set_mask(unsigned v) { m_mask = v; }
    void set_xflip(bool v) { m_xflip = v; }
    void set_end_padding(bool v) { m_end_padding = v; }
    void set_ob_datas(BRIX_OB_DATA_LIST* ob_data_list, bool copy);

  private:
    unsigned m_dyn_data_type = BRIX_DYN_DATA_MAX;
    unsigned m_word_offset = 0;
    unsigned m_bit_offset = 0;
    unsigned m_length = 0;
    unsigned m_mask = 0;
    bool m_xflip = false;
    bool m_end_padding = false;
    BRIX_OB_DATA_LIST* m_ob_datas = nullptr;
};

// One option-bit field: a bit string of m_length bits in m_data_size = ceil(m_length / 8) bytes.
// Either m_length > 0 with its bytes, or m_length 0 with no bytes.
class BRIX_OB_DATA {
    friend struct BRIX_PDB;

  public:
    BRIX_OB_DATA() = default;
    // Takes ownership of data (new[]); length must be above 0 and data non-null.
    BRIX_OB_DATA(unsigned ob_data_type, unsigned bit_index, unsigned bit_offset, unsigned length,
                 unsigned link_block, unsigned char* data);
    // Deep copy; the other record must hold a value.
    explicit BRIX_OB_DATA(const BRIX_OB_DATA* other);
    BRIX_OB_DATA(const BRIX_OB_DATA&) = delete;
    BRIX_OB_DATA& operator=(const BRIX_OB_DATA&) = default;
    ~BRIX_OB_DATA();

    unsigned get_ob_data_type() const { return m_ob_data_type; }
    unsigned get_bit_index() const { return m_bit_index; }
    unsigned get_bit_offset() const { return m_bit_offset; }
    unsigned get_data_length() const { return m_length; }
    unsigned get_data_size() const { return m_data_size; }
    unsigned get_link_block() const { return m_link_block; }
    // The value bytes; length receives the number of bits. An empty record is an internal error.
    unsigned char* get_data(unsigned& length) const;

    void set_ob_data_type(unsigned v) { m_ob_data_type = v; }
    void set_bit_index(unsigned v) { m_bit_index = v; }
    void set_bit_offset(unsigned v) { m_bit_offset = v; }
    void set_link_block(unsigned v) { m_link_block = v; }
    // Replaces the value: length 0 needs null data and empties the record; otherwise data is taken
    // (copy false) or its ceil(length / 8) bytes are copied (copy true).
    void set_data(unsigned length, unsigned char* data, bool copy);

  private:
    unsigned m_ob_data_type = BRIX_OB_DATA_MAX;
    unsigned m_bit_index = 0;
    unsigned m_bit_offset = 0;
    unsigned m_length = 0;
    unsigned m_data_size = 0;
    unsigned m_link_block = 0;
    unsigned char* m_data = nullptr;
};

// ---- Device side ----------------------------------------------------------------------------------------

// A device parameter: a sparse array of m_length values; entries not in m_const_values are 0.
class BRIX_PARAMETER {
    friend struct BRIX_PDB;

  public:
    BRIX_PARAMETER() = default;
    // Takes ownership of const_values.
    BRIX_PARAMETER(unsigned parameter_type, unsigned length, unsigned block_type,
                   BRIX_CONST_DATA_LIST* const_values);
    explicit BRIX_PARAMETER(const BRIX_PARAMETER* other);
    BRIX_PARAMETER(const BRIX_PARAMETER&) = delete;
    BRIX_PARAMETER& operator=(const BRIX_PARAMETER&) = default;
    ~BRIX_PARAMETER();

    unsigned get_parameter_type() const { return m_parameter_type; }
    unsigned get_length() const { return m_length; }
    unsigned get_block_type() const { return m_block_type; }
    BRIX_CONST_DATA_LIST* get_const_values() const { return m_const_values; }
    // Value and offset of the index-th constant.
    unsigned get_const_value(unsigned index) const;
    unsigned get_const_offset(unsigned index) const;

    void set_parameter_type(unsigned v) { m_parameter_type = v; }
    void set_length(unsigned v) { m_length = v; }
    void set_block_type(unsigned v) { m_block_type = v; }
    void set_const_values(BRIX_CONST_DATA_LIST* const_data_list, bool copy);

  private:
    const BRIX_CONST_DATA* const_at(unsigned index) const;

    unsigned m_parameter_type = BRIX_PARAMETER_MAX;
    unsigned m_length = 0;
    unsigned m_block_type = BRIX_BLOCK_MAX;
    BRIX_CONST_DATA_LIST* m_const_values = nullptr;
};

// One argument table of a device (a frame or bit map and the like).
class BRIX_ARG {
    friend struct BRIX_PDB;

  public:
    BRIX_ARG() = default;
    // Takes ownership of data.
    BRIX_ARG(unsigned arg_type, unsigned block_type, BRIX_ARG_DATA_LIST* data);
    explicit BRIX_ARG(const BRIX_ARG* other);
    BRIX_ARG(const BRIX_ARG&) = delete;
    BRIX_ARG& operator=(const BRIX_ARG&) = default;
    ~BRIX_ARG();

    unsigned get_arg_type() const { return m_arg_type; }
    unsigned get_block_type() const { return m_block_type; }
    BRIX_ARG_DATA_LIST* get_data() const { return m_data; }
    void set_data(BRIX_ARG_DATA_LIST* data, bool copy);

  private:
    unsigned m_arg_type = BRIX_ARGUMENT_MAX;
    unsigned m_block_type = BRIX_BLOCK_MAX;
    BRIX_ARG_DATA_LIST* m_data = nullptr;
};

// One row of an argument table: m_data_size units of m_unit_size bytes (1, 2 or 4).
// Either data with m_data_size > 0 and a valid unit size, or no data with both sizes 0.
class BRIX_ARG_DATA {
    friend struct BRIX_PDB;

  public:
    BRIX_ARG_DATA() = default;
    // Takes ownership of data (new[]); the sizes are stored unchecked.
    BRIX_ARG_DATA(unsigned char* data, unsigned data_size, unsigned unit_size)
        : m_data_size(data_size), m_unit_size(unit_size), m_data(data) {}
    explicit BRIX_ARG_DATA(const BRIX_ARG_DATA* other);
    BRIX_ARG_DATA(const BRIX_ARG_DATA&) = delete;
    BRIX_ARG_DATA& operator=(const BRIX_ARG_DATA&) = default;
    ~BRIX_ARG_DATA();

    // The bytes; fills each out pointer that is given.
    unsigned char* get_data(unsigned* data_size, unsigned* unit_size) const;
    void set_data(unsigned char* data, unsigned data_size, unsigned unit_size, bool copy);

  private:
    unsigned m_data_size = 0;
    unsigned m_unit_size = 0;
    unsigned char* m_data = nullptr;
};

// A LUTRAM or MRAM column with its rows.
class LUTRAM_MRAM_INFO {
    friend struct BRIX_PDB;

  public:
    LUTRAM_MRAM_INFO() = default;
    explicit LUTRAM_MRAM_INFO(unsigned col) : m_col(col) {}
    LUTRAM_MRAM_INFO(const LUTRAM_MRAM_INFO&) = default;
    LUTRAM_MRAM_INFO& operator=(const LUTRAM_MRAM_INFO&) = default;

    unsigned get_col() const { return m_col; }
    void set_col(unsigned col) { m_col = col; }
    std::vector<unsigned> get_rows() const { return m_rows; }
    void update_row(unsigned row) { m_rows.push_back(row); }

  private:
    unsigned m_col = 0;
    std::vector<unsigned> m_rows;
};

class SIMPLIFIED_LUTRAM_MRAM_INFO {
    friend struct BRIX_PDB;

  public:
    SIMPLIFIED_LUTRAM_MRAM_INFO() = default;
    explicit SIMPLIFIED_LUTRAM_MRAM_INFO(const SIMPLIFIED_LUTRAM_MRAM_INFO* other)
        : SIMPLIFIED_LUTRAM_MRAM_INFO(*other) {}
    SIMPLIFIED_LUTRAM_MRAM_INFO(const SIMPLIFIED_LUTRAM_MRAM_INFO&) = default;
    SIMPLIFIED_LUTRAM_MRAM_INFO& operator=(const SIMPLIFIED_LUTRAM_MRAM_INFO&) = default;

    std::vector<unsigned> get_values() const { return m_values; }
    void set_values(std::vector<unsigned> values) { m_values = std::move(values); }

  private:
    std::vector<unsigned> m_values;
};

// One G2 bit reference: frame, bit, direction and an 8-bit distance.
class G2_SI {
    friend struct BRIX_PDB;

  public:
    G2_SI() = default;
    // Only the low 8 bits of dist are kept.
    G2_SI(unsigned frame, unsigned bit, bool dir, unsigned dist)
        : m_frame(frame), m_bit(bit), m_dir(dir), m_dist(static_cast<unsigned char>(dist & 0xFF)) {}
    explicit G2_SI(const G2_SI* other) : G2_SI(*other) {}
    G2_SI(const G2_SI&) = default;
    G2_SI& operator=(const G2_SI&) = default;

    // A RIF file makes these by the hundred thousand: they come from a record pool.
    static void* operator new(size_t size) {
        return BRIX_RECORD_POOL<sizeof(G2_SI), alignof(G2_SI)>::allocate(size);
    }
    static void operator delete(void* p, size_t size) noexcept {
        BRIX_RECORD_POOL<sizeof(G2_SI), alignof(G2_SI)>::release(p, size);
    }

    // Fills frame, bit and dir; returns the distance.
    unsigned char get_data(unsigned& frame, unsigned& bit, bool& dir) const {
        frame = m_frame;
        bit = m_bit;
        dir = m_dir;
        return m_dist;
    }

  private:
    unsigned m_frame = 0;
    unsigned m_bit = 0;
    bool m_dir = false;
    unsigned char m_dist = 0;
};

class G2_SII_BIT {
    friend struct BRIX_PDB;

  public:
    G2_SII_BIT() = default;
    explicit G2_SII_BIT(unsigned bit) : m_bit(bit) {}
    G2_SII_BIT(const G2_SII_BIT&) = delete;
    G2_SII_BIT& operator=(const G2_SII_BIT&) = default;
    ~G2_SII_BIT();

    // One per G2 bit of a RIF file: these come from a record pool.
    static void* operator new(size_t size) {
        return BRIX_RECORD_POOL<sizeof(G2_SII_BIT), alignof(G2_SII_BIT)>::allocate(size);
    }
    static void operator delete(void* p, size_t size) noexcept {
        BRIX_RECORD_POOL<sizeof(G2_SII_BIT), alignof(G2_SII_BIT)>::release(p, size);
    }

    // Fills bit; returns the G2_SI list.
    G2_SI_LIST* get_data(unsigned& bit) const {
        bit = m_bit;
        return m_g2_s1_list;
    }
    // Stores the pointer; the previous list is not released.
    void set_g2_s1_list(G2_SI_LIST* list) { m_g2_s1_list = list; }

  private:
    unsigned m_bit = 0;
    G2_SI_LIST* m_g2_s1_list = nullptr;
};

// One entry of the G2 list of a device: a list of bit lists.
class G2_SII {
    friend struct BRIX_PDB;

  public:
    G2_SII() = default;
    G2_SII(const G2_SII&) = delete;
    G2_SII& operator=(const G2_SII&) = default;
    ~G2_SII();

    G2_SII_BIT_LIST_LIST* get_g2_s2_bit_list_list() const { return m_g2_s2_bits_list; }
    // Stores the pointer; the previous list is not released.
    void set_g2_s2_bit_list_list(G2_SII_BIT_LIST_LIST* list) { m_g2_s2_bits_list = list; }

  private:
    G2_SII_BIT_LIST_LIST* m_g2_s2_bits_list = nullptr;
};

// The device side of a database.
class BRIX_DEVICE_INFO {
    friend struct BRIX_PDB;

  public:
    BRIX_DEVICE_INFO() = default;
    BRIX_DEVICE_INFO(const BRIX_DEVICE_INFO&) = delete;
    BRIX_DEVICE_INFO& operator=(const BRIX_DEVICE_INFO&) = default;
    ~BRIX_DEVICE_INFO();

    unsigned get_family_type() const { return m_family_type; }
    unsigned get_device_type() const { return m_device_type; }
    BRIX_PARAMETER_LIST* get_parameter_list() const { return m_parameters; }
    BRIX_ARG_LIST* get_argument_list() const { return m_arguments; }
    LUTRAM_MRAM_INFO_LIST* get_lutram_info() const { return m_lutram_info; }
    LUTRAM_MRAM_INFO_LIST* get_mram_info() const { return m_mram_info; }
    BRIX_OB_DATA_LIST* get_ob_datas() const { return m_ob_datas; }
    G2_SII_LIST* get_g2_s2_list() const { return m_g2_s2_list; }
    unsigned get_g2_s2_list_size() const { return m_g2_s2_list_size; }
    unsigned get_g2_s2_thread_size() const { return m_g2_s2_thread_size; }
    void get_simplified_lutram(std::vector<unsigned>& col, std::vector<unsigned>& row) const {
        col = m_simplified_lutram_col;
        row = m_simplified_lutram_row;
    }
    void get_simplified_mram(std::vector<unsigned>& col, std::vector<unsigned>& row) const {
        col = m_simplified_mram_col;
        row = m_simplified_mram_row;
    }

    void set_family_type(unsigned v) { m_family_type = v; }
    void set_device_type(unsigned v) { m_device_type = v; }
    void set_parameter_list(BRIX_PARAMETER_LIST* parameter_list, bool copy);
    void set_argument_list(BRIX_ARG_LIST* argument_list, bool copy);
    void set_ob_datas(BRIX_OB_DATA_LIST* ob_data_list, bool copy);
    // Store the pointer; the previous list is not released.
    void set_lutram_info(LUTRAM_MRAM_INFO_LIST* list) { m_lutram_info = list; }
    void set_mram_info(LUTRAM_MRAM_INFO_LIST* list) { m_mram_info = list; }
    void set_simplified_lutram(std::vector<unsigned> col, std::vector<unsigned> row) {
        m_simplified_lutram_col = std::move(col);
        m_simplified_lutram_row = std::move(row);
    }
    void set_simplified_mram(std::vector<unsigned> col, std::vector<unsigned> row) {
        m_simplified_mram_col = std::move(col);
        m_simplified_mram_row = std::move(row);
    }
    void set_g2_s2_list_size(unsigned n) { m_g2_s2_list_size = n; }
    void set_g2_s2_thread_size(unsigned n) { m_g2_s2_thread_size = n; }
    // Replaces the G2 list. release_old false drops the current pointer without releasing it (its holder has
    // taken it). compute_threads sets the number of part files: one per started 2000 entries, at most 8.
    void set_g2_s2_list(G2_SII_LIST* list, bool release_old, bool compute_threads);

    // The first parameter of that type, or null.
    BRIX_PARAMETER* get_parameter(unsigned parameter_type) const;
    // The constants of that parameter with its length; null and 0 when it is absent.
    BRIX_CONST_DATA_LIST* get_const_values(unsigned parameter_type, unsigned& length) const;
    // A parameter of length 1 with one constant at offset 0 holding 0 or 1. With is_supported given it
    // receives the usability and an unusable parameter reads false; without it, unusable is an internal
    // error.
    bool get_const_boolean(unsigned parameter_type, bool* is_supported = nullptr) const;
    // The same for any value; an unusable parameter reads 0.
    unsigned get_const_uint(unsigned parameter_type, bool* is_supported = nullptr) const;
    // The whole array of the parameter (new[], owned by the caller), null when it has no constants.
    unsigned* get_const_uints(unsigned parameter_type, unsigned& length) const;

  private:
    unsigned m_family_type = BRIX_FAMILY_MAX;
    unsigned m_device_type = BRIX_DEVICE_MAX;
    BRIX_PARAMETER_LIST* m_parameters = nullptr;
    BRIX_ARG_LIST* m_arguments = nullptr;
    LUTRAM_MRAM_INFO_LIST* m_lutram_info = nullptr;
    LUTRAM_MRAM_INFO_LIST* m_mram_info = nullptr;
    std::vector<unsigned> m_simplified_lutram_col;
    std::vector<unsigned> m_simplified_lutram_row;
    std::vector<unsigned> m_simplified_mram_col;
    std::vector<unsigned> m_simplified_mram_row;
    G2_SII_LIST* m_g2_s2_list = nullptr;
    unsigned m_g2_s2_list_size = 0;
    unsigned m_g2_s2_thread_size = 0;
    BRIX_OB_DATA_LIST* m_ob_datas = nullptr;
};
