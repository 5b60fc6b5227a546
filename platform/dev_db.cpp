// Device database read from the device table file.
#include "dev_db.h"

#include "fio.h"
#include "gen.h"
#include "msg_internal_error.h"

#include <nlohmann/json.hpp>

#include <mutex>
#include <set>

namespace {

using json = nlohmann::json;

void table_error(const std::string& what) {
    BRIX_REPORT("Invalid device table: " + what);
}

const json& field(const json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end())
        table_error(std::string("missing field \"") + key + "\"");
    return *it;
}

std::string string_field(const json& object, const char* key, bool allow_empty = false) {
    const json& value = field(object, key);
    if (!value.is_string())
        table_error(std::string("field \"") + key + "\" is not a string");
    std::string text = value.get<std::string>();
    if (!allow_empty && text.empty())
        table_error(std::string("field \"") + key + "\" is empty");
    return text;
}

uint32_t uint_value(const json& value, const char* key) {
    if (!value.is_number_unsigned() || value.get<uint64_t>() > 0xFFFFFFFEu)
        table_error(std::string("field \"") + key + "\" is not an unsigned 32-bit number");
    return value.get<uint32_t>();
}

bool optional_uint(const json& object, const char* key, uint32_t& out) {
    auto it = object.find(key);
    if (it == object.end())
        return false;
    out = uint_value(*it, key);
    return true;
}

const json& array_field(const json& object, const char* key) {
    const json& value = field(object, key);
    if (!value.is_array())
        table_error(std::string("field \"") + key + "\" is not an array");
    return value;
}

std::shared_ptr<const DEV_TABLE_DATA> parse_table(const std::string& file, const std::string& install_dir) {
    INPUT_CONTEXT context(file);
    std::vector<unsigned char> bytes;
    if (!FIO_FILE_SYSTEM::read_file(file, bytes))
        BRIX_REPORT("Cannot read the device table file " + file);
    json root;
    try {
        root = json::parse(bytes.begin(), bytes.end());
    } catch (const json::parse_error& e) {
        table_error(std::string("not a JSON document (") + e.what() + ")");
    }
    if (!root.is_object())
        table_error("the document is not an object");

    auto data = std::make_shared<DEV_TABLE_DATA>();
    data->file = file;
    std::set<std::string> names; // upper-case family, device and part names seen so far
    std::set<uint32_t> values;

    const json& families = array_field(root, "families");
    for (size_t i = 0; i < families.size(); ++i) {
        context.set(file + ", families[" + std::to_string(i) + "]");
        const json& entry = families[i];
        if (!entry.is_object())
            table_error("a family entry is not an object");
        DEV_TABLE_FAMILY family;
        family.name = string_field(entry, "name");
        family.value = static_cast<DEV_FAMILY_ENUM>(uint_value(field(entry, "value"), "value"));
        family.user_string = string_field(entry, "user_string");
        if (!names.insert(stl_upper(family.name)).second)
            table_error("duplicate family name \"" + family.name + "\"");
        if (!values.insert(family.value).second)
            table_error("duplicate family value " + std::to_string(family.value));
        data->families.push_back(family);
    }

    values.clear();
    const json& devices = array_field(root, "devices");
    std::vector<std::string> base_names;
    for (size_t i = 0; i < devices.size(); ++i) {
        context.set(file + ", devices[" + std::to_string(i) + "]");
        const json& entry = devices[i];
        if (!entry.is_object())
            table_error("a device entry is not an object");
        DEV_TABLE_DEVICE device;
        device.name = string_field(entry, "name");
        context.set(file + ", devices[" + std::to_string(i) + "] " + device.name);
        device.value = static_cast<DEV_DEVICE_ENUM>(uint_value(field(entry, "value"), "value"));
        device.family_name = string_field(entry, "family");
        const DEV_TABLE_FAMILY* family = data->find_family_by_name(device.family_name);
        if (family == nullptr)
            table_error("unknown family \"" + device.family_name + "\"");
        device.family = family->value;
        device.family_name = family->name;
        base_names.push_back(entry.contains("base_device") ? string_field(entry, "base_device")
                                                           : device.name);
        device.user_string = string_field(entry, "user_string");
        device.pcf = string_field(entry, "pcf");
        device.family_pcf = string_field(entry, "family_pcf");
        device.has_cram_rows = optional_uint(entry, "cram_rows", device.cram_rows);
        device.has_cram_columns = optional_uint(entry, "cram_columns", device.cram_columns);
        device.has_cff_bits = optional_uint(entry, "cff_bits", device.cff_bits);
        if (entry.contains("rba_file")) {
            std::string path = string_field(entry, "rba_file");
            device.rba_file = path[0] == '/' ? path : install_dir + path;
            device.has_rba_file = true;
        }
        if (!names.insert(stl_upper(device.name)).second)
            table_error("duplicate name \"" + device.name + "\"");
        if (!values.insert(device.value).second)
            table_error("duplicate device value " + std::to_string(device.value));
        const json& parts = array_field(entry, "parts");
        if (parts.empty())
            table_error("device without parts");
        for (size_t p = 0; p < parts.size(); ++p) {
            const json& part_entry = parts[p];
            if (!part_entry.is_object())
                table_error("a part entry is not an object");
            DEV_TABLE_PART part;
            part.name = string_field(part_entry, "name");
            if (part_entry.contains("trait16")) {
                if (!part_entry["trait16"].is_boolean())
                    table_error("field \"trait16\" of part \"" + part.name + "\" is not a boolean");
                part.trait16 = part_entry["trait16"].get<bool>();
            }
            part.device = device.value;
            if (!names.insert(stl_upper(part.name)).second)
                table_error("duplicate name \"" + part.name + "\"");
            device.parts.push_back(static_cast<DEV_PART_ENUM>(data->parts.size()));
            data->parts.push_back(part);
        }
        data->devices.push_back(device);
    }
    for (size_t i = 0; i < data->devices.size(); ++i) {
        DEV_TABLE_DEVICE& device = data->devices[i];
        context.set(file + ", devices[" + std::to_string(i) + "] " + device.name);
        const DEV_TABLE_DEVICE* base = data->find_device_by_name(base_names[i]);
        if (base == nullptr)
            table_error("unknown base device \"" + base_names[i] + "\"");
        device.base_device = base->value;
    }
    return data;
}

std::mutex g_table_mutex;
std::shared_ptr<const DEV_TABLE_DATA> g_table;

thread_local std::unique_ptr<DEV_DEVICE> g_current_device;

} // namespace

const DEV_TABLE_FAMILY* DEV_TABLE_DATA::find_family(DEV_FAMILY_ENUM value) const {
    for (const DEV_TABLE_FAMILY& family : families)
        if (family.value == value)
            return &family;
    return nullptr;
}

const DEV_TABLE_DEVICE* DEV_TABLE_DATA::find_device(DEV_DEVICE_ENUM value) const {
    for (const DEV_TABLE_DEVICE& device : devices)
        if (device.value == value)
            return &device;
    return nullptr;
}

const DEV_TABLE_PART* DEV_TABLE_DATA::find_part(DEV_PART_ENUM value) const {
    return value < parts.size() ? &parts[value] : nullptr;
}

const DEV_TABLE_FAMILY* DEV_TABLE_DATA::find_family_by_name(const std::string& name) const {
    for (const DEV_TABLE_FAMILY& family : families)
        if (gen_stricmp(family.name, name) == 0)
            return &family;
    return nullptr;
}

const DEV_TABLE_DEVICE* DEV_TABLE_DATA::find_device_by_name(const std::string& name) const {
    for (const DEV_TABLE_DEVICE& device : devices)
        if (gen_stricmp(device.name, name) == 0)
            return &device;
    return nullptr;
}

const DEV_TABLE_PART* DEV_TABLE_DATA::find_part_by_name(const std::string& name) const {
    for (const DEV_TABLE_PART& part : parts)
        if (gen_stricmp(part.name, name) == 0)
            return &part;
    return nullptr;
}

std::shared_ptr<const DEV_TABLE_DATA> DEV_TABLE::load_file(const std::string& file,
                                                           const std::string& install_dir) {
    return parse_table(file, install_dir);
}

std::shared_ptr<const DEV_TABLE_DATA> DEV_TABLE::get() {
    std::lock_guard<std::mutex> lock(g_table_mutex);
    if (!g_table)
        g_table = parse_table(gen_get_device_db_fullpath() + "/device_table.json", gen_get_vantrel_path());
    return g_table;
}

void DEV_TABLE::reload() {
    std::lock_guard<std::mutex> lock(g_table_mutex);
    g_table.reset();
}

DEV_DEVICE_ENUM dstr_get_dev_device_enum_by_string(const std::string& name) {
    const DEV_TABLE_DEVICE* device = DEV_TABLE::get()->find_device_by_name(name);
    return device ? device->value : DEV_DEVICE_INVALID;
}

bool dstr_is_valid_dev_device_enum(DEV_DEVICE_ENUM device) {
    return DEV_TABLE::get()->find_device(device) != nullptr;
}

bool dstr_is_valid_dev_family_enum(DEV_FAMILY_ENUM family) {
    return DEV_TABLE::get()->find_family(family) != nullptr;
}

std::string dstr_get_user_string(DEV_DEVICE_ENUM device) {
    const DEV_TABLE_DEVICE* entry = DEV_TABLE::get()->find_device(device);
    return entry ? entry->user_string : std::string();
}

std::string dstr_get_user_string(DEV_FAMILY_ENUM family) {
    const DEV_TABLE_FAMILY* entry = DEV_TABLE::get()->find_family(family);
    return entry ? entry->user_string : std::string();
}

std::string dstr_get_user_string(DEV_PART_ENUM part) {
    const DEV_TABLE_PART* entry = DEV_TABLE::get()->find_part(part);
    return entry ? entry->name : std::string();
}

DEV_PART_MANAGER::DEV_PART_MANAGER() : m_table(DEV_TABLE::get()) {}

DEV_FAMILY_ENUM DEV_PART_MANAGER::get_family_of(DEV_DEVICE_ENUM device) const {
    const DEV_TABLE_DEVICE* entry = m_table->find_device(device);
    return entry ? entry->family : DEV_FAMILY_INVALID;
}

DEV_DEVICE_ENUM DEV_PART_MANAGER::get_device_of(DEV_PART_ENUM part) const {
    const DEV_TABLE_PART* entry = m_table->find_part(part);
    return entry ? entry->device : DEV_DEVICE_INVALID;
}

DEV_DEVICE_ENUM DEV_PART_MANAGER::get_base_device_of(DEV_DEVICE_ENUM device) const {
    const DEV_TABLE_DEVICE* entry = m_table->find_device(device);
    return entry ? entry->base_device : DEV_DEVICE_INVALID;
}

bool DEV_PART_MANAGER::test_part_trait_of(DEV_PART_ENUM part, unsigned trait) const {
    const DEV_TABLE_PART* entry = m_table->find_part(part);
    return entry != nullptr && trait == DEV_PART_TRAIT_RESTRICTED && entry->trait16;
}

bool DEV_PART_MANAGER::filter_part_list(std::vector<DEV_PART_ENUM>& parts, const std::string& family,
                                        const std::string& package, const std::string& pins,
                                        const std::string& speed, const std::string& temperature,
                                        bool general_use_only, bool /*include_obsolete*/) const {
    parts.clear();
    for (const std::string* criterion : {&package, &pins, &speed, &temperature})
        if (*criterion != "ANY")
            return false;
    const DEV_TABLE_FAMILY* match = nullptr;
    for (const DEV_TABLE_FAMILY& entry : m_table->families)
        if (gen_stricmp(entry.user_string, family) == 0 || gen_stricmp(entry.name, family) == 0) {
            match = &entry;
            break;
        }
    if (match == nullptr)
        return false;
    for (const DEV_TABLE_DEVICE& device : m_table->devices) {
        if (device.family != match->value)
            continue;
        for (DEV_PART_ENUM part : device.parts)
            if (!general_use_only || !m_table->parts[part].trait16)
                parts.push_back(part);
    }
    return true;
}

bool DEV_BASIC_INFO::is_valid_int_enum(unsigned item) const {
    if (m_device == nullptr)
        return false;
    switch (item) {
    case DEV_BASIC_INFO_INT_CRAM_ROWS:
        return m_device->has_cram_rows;
    case DEV_BASIC_INFO_INT_CRAM_COLUMNS:
        return m_device->has_cram_columns;
    case DEV_BASIC_INFO_INT_CFF_BITS:
        return m_device->has_cff_bits;
    default:
        return false;
    }
}

uint32_t DEV_BASIC_INFO::get_int_data(unsigned item) const {
    BRIX_CHECK(is_valid_int_enum(item), "is_valid_int_enum(item)");
    switch (item) {
    case DEV_BASIC_INFO_INT_CRAM_ROWS:
        return m_device->cram_rows;
    case DEV_BASIC_INFO_INT_CRAM_COLUMNS:
        return m_device->cram_columns;
    default:
        return m_device->cff_bits;
    }
}

bool DEV_BASIC_INFO::is_valid_string_enum(unsigned item) const {
    return m_device != nullptr && item == DEV_BASIC_INFO_STRING_RBA_FILE && m_device->has_rba_file;
}

std::string DEV_BASIC_INFO::get_string_data(unsigned item) const {
    BRIX_CHECK(is_valid_string_enum(item), "is_valid_string_enum(item)");
    return m_device->rba_file;
}

DEV_DEVICE::DEV_DEVICE(std::shared_ptr<const DEV_TABLE_DATA> table, const DEV_TABLE_DEVICE* device,
                       DEV_PART_ENUM part)
    : m_table(std::move(table)), m_device(device), m_part(part), m_basic_info(device) {}

bool DMGR_UTILITY::create_device(DEV_PART_ENUM part) {
    std::shared_ptr<const DEV_TABLE_DATA> table = DEV_TABLE::get();
    const DEV_TABLE_PART* entry = table->find_part(part);
    const DEV_TABLE_DEVICE* device = entry ? table->find_device(entry->device) : nullptr;
    if (device == nullptr)
        return false;
    g_current_device.reset(new DEV_DEVICE(table, device, part));
    return true;
}

DEV_DEVICE* DMGR_UTILITY::get_current_device() {
    return g_current_device.get();
}

void DMGR_UTILITY::destroy_device() {
    g_current_device.reset();
}
