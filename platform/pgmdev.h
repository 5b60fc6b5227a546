// The programmer's device grammar: the names under which the programmer knows devices, parts and families.
// Answers come from the device table (dev_db.h); every look-up ignores case and returns the empty string
// when it knows no answer.
#pragma once

#include <cstdint>
#include <string>

class PGMDEV_DEVICE_GRAMMAR_MGR {
  public:
    // PCF (device database) name of a device name or a part name.
    static std::string get_dev_part_pcf(const std::string& name);
    // PCF name of a name the programmer uses: a PCF name or a device's display name.
    static std::string get_pgm_part_pcf(const std::string& name);
    // Family PCF name (ending in "_FAMILY") of a device name or a part name.
    static std::string get_dev_family_pcf(const std::string& name);
    // Family PCF name of a PCF name or a device's display name.
    static std::string get_pgm_family_pcf(const std::string& name);
    // Family PCF name of any name known to the table (device, part, PCF or display name), or of a family PCF
    // name itself.
    static std::string get_pcf_family_pcf(const std::string& name);
    // Family name of a device (device, part, PCF or display name): GRANITE, BASALT, SLATE, TALON, HARRIER,
    // KESTREL, ...; these are the keys of the programmer's family tables.
    static std::string get_family(const std::string& name);
    // CRAM geometry of a device (device, part, PCF or display name): its frame (column) and bit (row)
    // counts; false when the name is unknown or the table gives either count as missing or 0.
    static bool get_cram_geometry(const std::string& name, uint32_t& frame_count, uint32_t& bit_count);
};

class PGMDEV_MGR {
  public:
    // Value of a name (case ignored) in the vocabulary chosen by selector (0: RBA block names, PGM_RBA_TYPE);
    // false, with value PGM_RBA_INVALID, for an unknown name or selector.
    static bool pgm_check_type_name_supported(unsigned selector, const std::string& name, unsigned& value);
};
