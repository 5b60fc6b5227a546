// Its own checks belong to the device build, which identifies devices through it.
#define BRIX_SOURCE_NAME "brix_build_device"

#include "context/build_context.h"

#include "brix_data_server.h"
#include "dev_db.h"
#include "gen.h"
#include "pgmdev.h"
#include "records/brix_data_manager.h"

#include <fstream>

namespace {

const char* const COMMAND_FAILED = "thr_system(cmd.c_str()) == 0";

// The first part of the family that is the device or has it as its base device, unrestricted parts first.
uint32_t find_part_of_device(uint32_t device, uint32_t family) {
    DEV_PART_MANAGER manager;
    const std::string family_name = dstr_get_user_string(static_cast<DEV_FAMILY_ENUM>(family));
    auto matches = [&](DEV_PART_ENUM part) {
        DEV_DEVICE_ENUM of = manager.get_device_of(part);
        return of == device || manager.get_base_device_of(of) == device;
    };
    std::vector<DEV_PART_ENUM> parts;
    manager.filter_part_list(parts, family_name, "ANY", "ANY", "ANY", "ANY", true, true);
    for (DEV_PART_ENUM part : parts)
        if (matches(part) && !manager.test_part_trait_of(part, DEV_PART_TRAIT_RESTRICTED))
            return part;
    std::vector<DEV_PART_ENUM> part_enum_list;
    bool filtered =
        manager.filter_part_list(part_enum_list, family_name, "ANY", "ANY", "ANY", "ANY", false, true);
    BRIX_CHECK(filtered && part_enum_list.size() > 0, "part_enum_list.size() > 0");
    DEV_PART_ENUM restricted = DEV_PART_INVALID;
    for (DEV_PART_ENUM part : part_enum_list) {
        if (!matches(part))
            continue;
        if (!manager.test_part_trait_of(part, DEV_PART_TRAIT_RESTRICTED))
            return part;
        restricted = part;
    }
    BRIX_CHECK(restricted != DEV_PART_INVALID, "part_enum != DEV_PART_INVALID");
    return restricted;
}

} // namespace

BRIX_BUILD_CONTEXT::BRIX_BUILD_CONTEXT(BRIX_BUILD_OPTIONS options)
    : m_options(options), m_progress(options.test) {}

std::string BRIX_BUILD_CONTEXT::installation_directory() {
    return gen_get_vantrel_path();
}

std::string BRIX_BUILD_CONTEXT::programmer_directory() {
    return BRIX_MANAGER::get_programmer_directory();
}

std::string BRIX_BUILD_CONTEXT::programmer_fid_directory() {
    return BRIX_MANAGER::get_programmer_fid_directory();
}

std::string BRIX_BUILD_CONTEXT::pgm_db_directory() {
    return BRIX_MANAGER::get_pgm_db_directory();
}

std::string BRIX_BUILD_CONTEXT::gunzip_command(const std::string& packed, const std::string& unpacked) {
    return "gunzip -dcSf " + packed + " > " + unpacked;
}

void BRIX_BUILD_CONTEXT::report_command_failure(const std::string& where, const BRIX_INTERNAL_ERROR& error,
                                                BRIX_CALLER caller) {
    INPUT_CONTEXT cause(where + ": " + error.condition());
    BRIX_REPORT_FOR(caller, COMMAND_FAILED);
}

uint64_t BRIX_BUILD_CONTEXT::text_unpack_limit(uint64_t frame_count, uint64_t bit_count) {
    if (frame_count == 0 || bit_count == 0)
        return UNPACK_LIMIT_WITHOUT_GEOMETRY;
    return frame_count * bit_count + (uint64_t(1) << 20);
}

uint64_t BRIX_BUILD_CONTEXT::image_unpack_limit(uint64_t frame_count, uint64_t bit_count) {
    if (frame_count == 0 || bit_count == 0)
        return UNPACK_LIMIT_WITHOUT_GEOMETRY;
    return (frame_count * bit_count + 7) / 8 * 2 + (uint64_t(1) << 20);
}

void BRIX_BUILD_CONTEXT::unpack(const std::string& packed, const std::string& unpacked, uint64_t limit,
                                LARGE_TEXT* kept, BRIX_CALLER caller) {
    try {
        FIO_FILE_SYSTEM::gunzip_file(packed, unpacked, kept, limit);
    } catch (const BRIX_INTERNAL_ERROR& error) {
        report_command_failure(packed, error, caller);
    }
}

void BRIX_BUILD_CONTEXT::unpack_in_background(const std::string& packed, const std::string& unpacked,
                                              uint64_t limit, LARGE_TEXT& text, FIO_BACKGROUND_FILE& writer,
                                              BRIX_CALLER caller) {
    try {
        FIO_FILE_SYSTEM::gunzip_to_memory(packed, text, limit);
        writer.start(unpacked, text.view().data(), text.size());
    } catch (const BRIX_INTERNAL_ERROR& error) {
        report_command_failure(packed, error, caller);
    }
}

bool BRIX_BUILD_CONTEXT::is_command_failure(const BRIX_INTERNAL_ERROR& error) {
    return error.condition() == COMMAND_FAILED;
}

void BRIX_BUILD_CONTEXT::finish_unpacking(const std::string& packed, FIO_BACKGROUND_FILE& writer,
                                          BRIX_CALLER caller) {
    try {
        writer.wait();
    } catch (const BRIX_INTERNAL_ERROR& error) {
        report_command_failure(packed, error, caller);
    }
}

BRIX_DEVICE_NAMES BRIX_BUILD_CONTEXT::resolve_device(const std::string& target, const char* unknown_condition,
                                                     BRIX_CALLER caller) const {
    BRIX_DEVICE_NAMES names;
    names.pcf = BRIX_DATA_SERVER::get_pcf(target, false);
    names.family = PGMDEV_DEVICE_GRAMMAR_MGR::get_family(target);
    if (names.pcf.empty() || names.family.empty()) {
        INPUT_CONTEXT here("device " + INPUT_CONTEXT::excerpt(target) + " in the device table");
        BRIX_REPORT_FOR(caller, unknown_condition);
    }
    names.family_pcf = BRIX_DATA_SERVER::get_family_pcf(target, false);
    return names;
}

BRIX_DEVICE_IDENTITY BRIX_BUILD_CONTEXT::identify_device(const std::string& name, BRIX_CALLER caller) const {
    BRIX_DEVICE_IDENTITY identity;
    identity.name = stl_lower(name);
    DEV_DEVICE_ENUM device = dstr_get_dev_device_enum_by_string(identity.name);
    DEV_FAMILY_ENUM family = DEV_FAMILY_INVALID;
    if (dstr_is_valid_dev_device_enum(device))
        family = DEV_PART_MANAGER().get_family_of(device);
    if (!dstr_is_valid_dev_device_enum(device) || !dstr_is_valid_dev_family_enum(family)) {
        INPUT_CONTEXT here("device " + INPUT_CONTEXT::excerpt(name) + " in the device table");
        BRIX_REPORT_FOR(caller, "Device is not valid in DEV database");
    }
    const auto part = static_cast<DEV_PART_ENUM>(find_part_of_device(device, family));
    if (part == DEV_PART_INVALID)
        BRIX_REPORT_FOR(caller, "part_enum != DEV_PART_INVALID");
    identity.part = part;
    identity.pcf = stl_lower(PGMDEV_DEVICE_GRAMMAR_MGR::get_dev_part_pcf(identity.name));
    identity.family_pcf = stl_lower(PGMDEV_DEVICE_GRAMMAR_MGR::get_dev_family_pcf(identity.name));
    if (identity.pcf.empty())
        BRIX_REPORT_FOR(caller, "!pcf_name.empty()");
    m_progress.text("\n");
    m_progress.detail("Device name: " + identity.name + "\n");
    m_progress.detail("Family: " + dstr_get_user_string(family) + "\n");
    m_progress.detail("Device: " + dstr_get_user_string(device) + "\n");
    m_progress.detail("Part: " + dstr_get_user_string(part) + "\n");
    m_progress.detail("PCF file: " + identity.pcf + "\n");
    m_progress.detail("Family PCF file: " + identity.family_pcf + "\n");
    return identity;
}

void BRIX_BUILD_CONTEXT::write_container(const std::string& kind, const std::string& name,
                                         const std::vector<unsigned char>& bytes, BRIX_CALLER caller) const {
    if (bytes.size() > 0xFFFFFFFFu) // the header stores a 32-bit size
        BRIX_REPORT_FOR(caller, "data.size() <= 0xFFFFFFFF");
    BRIX_DATA_SERVER::write_pgm_database_file(bytes.data(), static_cast<uint32_t>(bytes.size()), 1, kind,
                                              name, name, programmer_fid_directory());
}
