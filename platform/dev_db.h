// Device database: families, devices and parts with their basic data, read from the device table file
// (gen_get_device_db_fullpath() + "/device_table.json"; schema in docs/device_table.md).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Value spaces of the device database. Devices and families are numbered by their position in the device and
// family vocabularies of the databases; parts by their position in the device table file.
enum DEV_DEVICE_ENUM : uint32_t { DEV_DEVICE_INVALID = 0xFFFFFFFFu };
enum DEV_FAMILY_ENUM : uint32_t { DEV_FAMILY_INVALID = 0xFFFFFFFFu };
enum DEV_PART_ENUM : uint32_t { DEV_PART_INVALID = 0xFFFFFFFFu };

// Part trait: the part is not offered for general use (engineering samples and the like).
constexpr unsigned DEV_PART_TRAIT_RESTRICTED = 16;

// Items of a device's basic information.
enum DEV_BASIC_INFO_STRING_ENUM : unsigned { DEV_BASIC_INFO_STRING_RBA_FILE = 6 };
enum DEV_BASIC_INFO_INT_ENUM : unsigned {
    DEV_BASIC_INFO_INT_CRAM_ROWS = 7,
    DEV_BASIC_INFO_INT_CRAM_COLUMNS = 8,
    DEV_BASIC_INFO_INT_CFF_BITS = 9
};

// The contents of one device table file, checked when it is loaded.
struct DEV_TABLE_PART {
    std::string name;
    bool trait16 = false;
    DEV_DEVICE_ENUM device = DEV_DEVICE_INVALID;
};
struct DEV_TABLE_FAMILY {
    std::string name;
    DEV_FAMILY_ENUM value = DEV_FAMILY_INVALID;
    std::string user_string;
};
struct DEV_TABLE_DEVICE {
    std::string name;
    DEV_DEVICE_ENUM value = DEV_DEVICE_INVALID;
    DEV_FAMILY_ENUM family = DEV_FAMILY_INVALID;
    std::string family_name;
    DEV_DEVICE_ENUM base_device = DEV_DEVICE_INVALID;
    std::string user_string;
    std::string pcf;
    std::string family_pcf;
    // Geometry items are optional; has_* says whether the table gives them.
    bool has_cram_rows = false, has_cram_columns = false, has_cff_bits = false, has_rba_file = false;
    uint32_t cram_rows = 0, cram_columns = 0, cff_bits = 0;
    std::string rba_file; // absolute (relative table entries are resolved against the installation directory)
    std::vector<DEV_PART_ENUM> parts;
};
struct DEV_TABLE_DATA {
    std::string file;
    std::vector<DEV_TABLE_FAMILY> families;
    std::vector<DEV_TABLE_DEVICE> devices; // file order
    std::vector<DEV_TABLE_PART> parts;     // indexed by DEV_PART_ENUM

    const DEV_TABLE_FAMILY* find_family(DEV_FAMILY_ENUM value) const;
    const DEV_TABLE_DEVICE* find_device(DEV_DEVICE_ENUM value) const;
    const DEV_TABLE_PART* find_part(DEV_PART_ENUM value) const;
    // Look-ups by name ignore case; null when unknown.
    const DEV_TABLE_FAMILY* find_family_by_name(const std::string& name) const;
    const DEV_TABLE_DEVICE* find_device_by_name(const std::string& name) const;
    const DEV_TABLE_PART* find_part_by_name(const std::string& name) const;
};

class DEV_TABLE {
  public:
    // The loaded table; the first call (or the first after reload()) reads the file. Thread-safe. A missing
    // or malformed file is an internal-error report naming the file and what is wrong.
    static std::shared_ptr<const DEV_TABLE_DATA> get();
    // Forgets the loaded table, so the next get() reads the file again (for example after the installation
    // directory changed).
    static void reload();
    // Reads and checks one table file; relative RBA paths are resolved against install_dir.
    static std::shared_ptr<const DEV_TABLE_DATA> load_file(const std::string& file,
                                                           const std::string& install_dir);
};

// The device value of a device name (case ignored), or DEV_DEVICE_INVALID.
DEV_DEVICE_ENUM dstr_get_dev_device_enum_by_string(const std::string& name);
bool dstr_is_valid_dev_device_enum(DEV_DEVICE_ENUM device);
bool dstr_is_valid_dev_family_enum(DEV_FAMILY_ENUM family);
// Display names; the empty string for an unknown value.
std::string dstr_get_user_string(DEV_DEVICE_ENUM device);
std::string dstr_get_user_string(DEV_FAMILY_ENUM family);
std::string dstr_get_user_string(DEV_PART_ENUM part);

class DEV_PART_MANAGER {
  public:
    DEV_PART_MANAGER();
    DEV_FAMILY_ENUM get_family_of(DEV_DEVICE_ENUM device) const;
    DEV_DEVICE_ENUM get_device_of(DEV_PART_ENUM part) const;
    DEV_DEVICE_ENUM get_base_device_of(DEV_DEVICE_ENUM device) const;
    bool test_part_trait_of(DEV_PART_ENUM part, unsigned trait) const;
    // Parts of the family named by family (display name or family name, case ignored), in table order.
    // The four criteria (package, pins, speed, temperature) only accept "ANY" in this table; any other value
    // fails. With general_use_only, parts carrying trait 16 are left out. include_obsolete has no effect
    // (the table holds no obsolete parts). False, with an empty list, for an unknown family.
    bool filter_part_list(std::vector<DEV_PART_ENUM>& parts, const std::string& family,
                          const std::string& package, const std::string& pins, const std::string& speed,
                          const std::string& temperature, bool general_use_only, bool include_obsolete) const;

  private:
    std::shared_ptr<const DEV_TABLE_DATA> m_table;
};

class DEV_BASIC_INFO {
  public:
    explicit DEV_BASIC_INFO(const DEV_TABLE_DEVICE* device = nullptr) : m_device(device) {}
    bool is_valid_int_enum(unsigned item) const;
    // The item's value; reading an item that is not valid is an internal error.
    uint32_t get_int_data(unsigned item) const;
    bool is_valid_string_enum(unsigned item) const;
    std::string get_string_data(unsigned item) const;

  private:
    const DEV_TABLE_DEVICE* m_device;
};

class DEV_DEVICE {
  public:
    DEV_DEVICE(std::shared_ptr<const DEV_TABLE_DATA> table, const DEV_TABLE_DEVICE* device,
               DEV_PART_ENUM part);
    const DEV_BASIC_INFO& get_basic_info() const { return m_basic_info; }
    DEV_DEVICE_ENUM get_device_enum() const { return m_device->value; }
    DEV_PART_ENUM get_part_enum() const { return m_part; }

  private:
    std::shared_ptr<const DEV_TABLE_DATA> m_table; // keeps the table alive while the device is loaded
    const DEV_TABLE_DEVICE* m_device;
    DEV_PART_ENUM m_part;
    DEV_BASIC_INFO m_basic_info;
};

// The one loaded device of the calling thread.
class DMGR_UTILITY {
  public:
    // Loads the device of a part (replacing any loaded one); false for an unknown part.
    static bool create_device(DEV_PART_ENUM part);
    // The loaded device, or null.
    static DEV_DEVICE* get_current_device();
    static void destroy_device();
};
