// The programmer's device grammar, answered from the device table.
#include "pgmdev.h"

#include "dev_db.h"
#include "gen.h"
#include "pgm_rba_type.h"

namespace {

enum NAME_KINDS : unsigned { BY_DEVICE = 1, BY_PART = 2, BY_PCF = 4, BY_USER_STRING = 8 };

// The device a name denotes, trying the kinds of names in kinds; null when none matches.
const DEV_TABLE_DEVICE* find_device(const DEV_TABLE_DATA& table, const std::string& name, unsigned kinds) {
    if (name.empty())
        return nullptr;
    if (kinds & BY_DEVICE)
        if (const DEV_TABLE_DEVICE* device = table.find_device_by_name(name))
            return device;
    if (kinds & BY_PART)
        if (const DEV_TABLE_PART* part = table.find_part_by_name(name))
            return table.find_device(part->device);
    for (const DEV_TABLE_DEVICE& device : table.devices) {
        if ((kinds & BY_PCF) && gen_stricmp(device.pcf, name) == 0)
            return &device;
        if ((kinds & BY_USER_STRING) && gen_stricmp(device.user_string, name) == 0)
            return &device;
    }
    return nullptr;
}

const unsigned ANY_NAME = BY_DEVICE | BY_PART | BY_PCF | BY_USER_STRING;

} // namespace

std::string PGMDEV_DEVICE_GRAMMAR_MGR::get_dev_part_pcf(const std::string& name) {
    const DEV_TABLE_DEVICE* device = find_device(*DEV_TABLE::get(), name, BY_DEVICE | BY_PART);
    return device ? device->pcf : std::string();
}

std::string PGMDEV_DEVICE_GRAMMAR_MGR::get_pgm_part_pcf(const std::string& name) {
    const DEV_TABLE_DEVICE* device = find_device(*DEV_TABLE::get(), name, BY_PCF | BY_USER_STRING);
    return device ? device->pcf : std::string();
}

std::string PGMDEV_DEVICE_GRAMMAR_MGR::get_dev_family_pcf(const std::string& name) {
    const DEV_TABLE_DEVICE* device = find_device(*DEV_TABLE::get(), name, BY_DEVICE | BY_PART);
    return device ? device->family_pcf : std::string();
}

std::string PGMDEV_DEVICE_GRAMMAR_MGR::get_pgm_family_pcf(const std::string& name) {
    const DEV_TABLE_DEVICE* device = find_device(*DEV_TABLE::get(), name, BY_PCF | BY_USER_STRING);
    return device ? device->family_pcf : std::string();
}

std::string PGMDEV_DEVICE_GRAMMAR_MGR::get_pcf_family_pcf(const std::string& name) {
    std::shared_ptr<const DEV_TABLE_DATA> table = DEV_TABLE::get();
    if (const DEV_TABLE_DEVICE* device = find_device(*table, name, ANY_NAME))
        return device->family_pcf;
    for (const DEV_TABLE_DEVICE& device : table->devices)
        if (!name.empty() && gen_stricmp(device.family_pcf, name) == 0)
            return device.family_pcf;
    return std::string();
}

std::string PGMDEV_DEVICE_GRAMMAR_MGR::get_family(const std::string& name) {
    const DEV_TABLE_DEVICE* device = find_device(*DEV_TABLE::get(), name, ANY_NAME);
    return device ? device->family_name : std::string();
}

bool PGMDEV_DEVICE_GRAMMAR_MGR::get_cram_geometry(const std::string& name, uint32_t& frame_count,
                                                  uint32_t& bit_count) {
    frame_count = bit_count = 0;
    const DEV_TABLE_DEVICE* device = find_device(*DEV_TABLE::get(), name, ANY_NAME);
    if (device == nullptr || !device->has_cram_columns || !device->has_cram_rows)
        return false;
    frame_count = device->cram_columns;
    bit_count = device->cram_rows;
    return frame_count != 0 && bit_count != 0;
}

bool PGMDEV_MGR::pgm_check_type_name_supported(unsigned selector, const std::string& name, unsigned& value) {
    value = PGM_RBA_INVALID;
    if (selector != 0)
        return false;
    unsigned found = brix_find_enum_name(PGM_RBA_DESCRIPTOR, name);
    if (found == PGM_RBA_DESCRIPTOR.count)
        return false;
    value = found;
    return true;
}
