// The vocabularies of the databases: one enumeration per kind of typed record, each with a name table
// indexed by value. Every enumeration is listed once, in its .def file; the constants and the name table are
// both generated from that list, so they cannot drift apart. Value 0 of every enumeration is the constant
// <prefix>_INVALID with the empty name; each enumeration's _MAX constant is its number of values (a record
// type field that is not set holds it).
#pragma once

#include "enum_descriptor.h"
#include "pgm_rba_type.h"

#include <iterator>

enum BRIX_FAMILY_TYPE : unsigned {
    BRIX_FAMILY_INVALID = 0,
#define BRIX_ENUM_ENTRY(name) BRIX_FAMILY_##name,
#include "brix_enum_family.def"
#undef BRIX_ENUM_ENTRY
    BRIX_FAMILY_MAX
};

inline constexpr const char* BRIX_FAMILY_TYPE_NAMES[] = {
    "",
#define BRIX_ENUM_ENTRY(name) #name,
#include "brix_enum_family.def"
#undef BRIX_ENUM_ENTRY
};
static_assert(std::size(BRIX_FAMILY_TYPE_NAMES) == BRIX_FAMILY_MAX, "one name per value");

enum BRIX_DEVICE_TYPE : unsigned {
    BRIX_DEVICE_INVALID = 0,
#define BRIX_ENUM_ENTRY(name) BRIX_DEVICE_##name,
#include "brix_enum_device.def"
#undef BRIX_ENUM_ENTRY
    BRIX_DEVICE_MAX
};

inline constexpr const char* BRIX_DEVICE_TYPE_NAMES[] = {
    "",
#define BRIX_ENUM_ENTRY(name) #name,
#include "brix_enum_device.def"
#undef BRIX_ENUM_ENTRY
};
static_assert(std::size(BRIX_DEVICE_TYPE_NAMES) == BRIX_DEVICE_MAX, "one name per value");

enum BRIX_BLOCK_TYPE : unsigned {
    BRIX_BLOCK_INVALID = 0,
#define BRIX_ENUM_ENTRY(name) BRIX_BLOCK_##name,
#include "brix_enum_block.def"
#undef BRIX_ENUM_ENTRY
    BRIX_BLOCK_MAX
};

inline constexpr const char* BRIX_BLOCK_TYPE_NAMES[] = {
    "",
#define BRIX_ENUM_ENTRY(name) #name,
#include "brix_enum_block.def"
#undef BRIX_ENUM_ENTRY
};
static_assert(std::size(BRIX_BLOCK_TYPE_NAMES) == BRIX_BLOCK_MAX, "one name per value");

enum BRIX_DYN_DATA_TYPE : unsigned {
    BRIX_DYN_DATA_INVALID = 0,
#define BRIX_ENUM_ENTRY(name) BRIX_DYN_DATA_##name,
#include "brix_enum_dyn_data.def"
#undef BRIX_ENUM_ENTRY
    BRIX_DYN_DATA_MAX
};

inline constexpr const char* BRIX_DYN_DATA_TYPE_NAMES[] = {
    "",
#define BRIX_ENUM_ENTRY(name) #name,
#include "brix_enum_dyn_data.def"
#undef BRIX_ENUM_ENTRY
};
static_assert(std::size(BRIX_DYN_DATA_TYPE_NAMES) == BRIX_DYN_DATA_MAX, "one name per value");

enum BRIX_OB_DATA_TYPE : unsigned {
    BRIX_OB_DATA_INVALID = 0,
#define BRIX_ENUM_ENTRY(name) BRIX_OB_DATA_##name,
#include "brix_enum_ob_data.def"
#undef BRIX_ENUM_ENTRY
    BRIX_OB_DATA_MAX
};

inline constexpr const char* BRIX_OB_DATA_TYPE_NAMES[] = {
    "",
#define BRIX_ENUM_ENTRY(name) #name,
#include "brix_enum_ob_data.def"
#undef BRIX_ENUM_ENTRY
};
static_assert(std::size(BRIX_OB_DATA_TYPE_NAMES) == BRIX_OB_DATA_MAX, "one name per value");

enum BRIX_FRAME_TYPE : unsigned {
    BRIX_FRAME_INVALID = 0,
#define BRIX_ENUM_ENTRY(name) BRIX_FRAME_##name,
#include "brix_enum_frame.def"
#undef BRIX_ENUM_ENTRY
    BRIX_FRAME_MAX
};

inline constexpr const char* BRIX_FRAME_TYPE_NAMES[] = {
    "",
#define BRIX_ENUM_ENTRY(name) #name,
#include "brix_enum_frame.def"
#undef BRIX_ENUM_ENTRY
};
static_assert(std::size(BRIX_FRAME_TYPE_NAMES) == BRIX_FRAME_MAX, "one name per value");

enum BRIX_PARAMETER_TYPE : unsigned {
    BRIX_PARAMETER_INVALID = 0,
#define BRIX_ENUM_ENTRY(name) BRIX_PARAMETER_##name,
#include "brix_enum_parameter.def"
#undef BRIX_ENUM_ENTRY
    BRIX_PARAMETER_MAX
};

inline constexpr const char* BRIX_PARAMETER_TYPE_NAMES[] = {
    "",
#define BRIX_ENUM_ENTRY(name) #name,
#include "brix_enum_parameter.def"
#undef BRIX_ENUM_ENTRY
};
static_assert(std::size(BRIX_PARAMETER_TYPE_NAMES) == BRIX_PARAMETER_MAX, "one name per value");

enum BRIX_INSTRUCTION_TYPE : unsigned {
    BRIX_INSTRUCTION_INVALID = 0,
#define BRIX_ENUM_ENTRY(name) BRIX_INSTRUCTION_##name,
#include "brix_enum_instruction.def"
#undef BRIX_ENUM_ENTRY
    BRIX_INSTRUCTION_MAX
};

inline constexpr const char* BRIX_INSTRUCTION_TYPE_NAMES[] = {
    "",
#define BRIX_ENUM_ENTRY(name) #name,
#include "brix_enum_instruction.def"
#undef BRIX_ENUM_ENTRY
};
static_assert(std::size(BRIX_INSTRUCTION_TYPE_NAMES) == BRIX_INSTRUCTION_MAX, "one name per value");

enum BRIX_ARGUMENT_TYPE : unsigned {
    BRIX_ARGUMENT_INVALID = 0,
#define BRIX_ENUM_ENTRY(name) BRIX_ARGUMENT_##name,
#include "brix_enum_argument.def"
#undef BRIX_ENUM_ENTRY
    BRIX_ARGUMENT_MAX
};

inline constexpr const char* BRIX_ARGUMENT_TYPE_NAMES[] = {
    "",
#define BRIX_ENUM_ENTRY(name) #name,
#include "brix_enum_argument.def"
#undef BRIX_ENUM_ENTRY
};
static_assert(std::size(BRIX_ARGUMENT_TYPE_NAMES) == BRIX_ARGUMENT_MAX, "one name per value");

enum BRIX_RBA_CRAM_TYPE : unsigned {
    BRIX_RBA_CRAM_INVALID = 0,
#define BRIX_ENUM_ENTRY(name) BRIX_RBA_CRAM_##name,
#include "brix_enum_rba_cram.def"
#undef BRIX_ENUM_ENTRY
    BRIX_RBA_CRAM_MAX
};

inline constexpr const char* BRIX_RBA_CRAM_TYPE_NAMES[] = {
    "",
#define BRIX_ENUM_ENTRY(name) #name,
#include "brix_enum_rba_cram.def"
#undef BRIX_ENUM_ENTRY
};
static_assert(std::size(BRIX_RBA_CRAM_TYPE_NAMES) == BRIX_RBA_CRAM_MAX, "one name per value");

enum BRIX_CFF_TYPE : unsigned {
    BRIX_CFF_INVALID = 0,
#define BRIX_ENUM_ENTRY(name) BRIX_CFF_##name,
#include "brix_enum_cff.def"
#undef BRIX_ENUM_ENTRY
    BRIX_CFF_MAX
};

inline constexpr const char* BRIX_CFF_TYPE_NAMES[] = {
    "",
#define BRIX_ENUM_ENTRY(name) #name,
#include "brix_enum_cff.def"
#undef BRIX_ENUM_ENTRY
};
static_assert(std::size(BRIX_CFF_TYPE_NAMES) == BRIX_CFF_MAX, "one name per value");

// Marks a CRAM map cell whose tile kind is not known; it has no name.
inline constexpr BRIX_RBA_CRAM_TYPE BRIX_RBA_CRAM_UNKNOWN = BRIX_RBA_CRAM_MAX;

// Selects one enumeration in the lookups of BRIX_MANAGER. PGM_RBA_TYPE (pgm_rba_type.h) has no selector: the
// programmer's records index its name table directly.
enum BRIX_ENUM_TYPE : unsigned {
    BRIX_ENUM_TYPE_FAMILY = 0,
    BRIX_ENUM_TYPE_DEVICE = 1,
    BRIX_ENUM_TYPE_BLOCK = 2,
    BRIX_ENUM_TYPE_DYN_DATA = 3,
    BRIX_ENUM_TYPE_OB_DATA = 4,
    BRIX_ENUM_TYPE_FRAME = 5,
    BRIX_ENUM_TYPE_PARAMETER = 6,
    BRIX_ENUM_TYPE_INSTRUCTION = 7,
    BRIX_ENUM_TYPE_ARGUMENT = 8,
    BRIX_ENUM_TYPE_RBA_CRAM = 9,
    BRIX_ENUM_TYPE_CFF = 10,
    BRIX_ENUM_TYPE_MAX
};

// One row per selector (BRIX_ENUM_DESCRIPTOR: enum_descriptor.h).

inline constexpr BRIX_ENUM_DESCRIPTOR BRIX_ENUM_DESCRIPTORS[BRIX_ENUM_TYPE_MAX] = {
    {"BRIX_FAMILY_TYPE", BRIX_FAMILY_MAX, BRIX_FAMILY_TYPE_NAMES},
    {"BRIX_DEVICE_TYPE", BRIX_DEVICE_MAX, BRIX_DEVICE_TYPE_NAMES},
    {"BRIX_BLOCK_TYPE", BRIX_BLOCK_MAX, BRIX_BLOCK_TYPE_NAMES},
    {"BRIX_DYN_DATA_TYPE", BRIX_DYN_DATA_MAX, BRIX_DYN_DATA_TYPE_NAMES},
    {"BRIX_OB_DATA_TYPE", BRIX_OB_DATA_MAX, BRIX_OB_DATA_TYPE_NAMES},
    {"BRIX_FRAME_TYPE", BRIX_FRAME_MAX, BRIX_FRAME_TYPE_NAMES},
    {"BRIX_PARAMETER_TYPE", BRIX_PARAMETER_MAX, BRIX_PARAMETER_TYPE_NAMES},
    {"BRIX_INSTRUCTION_TYPE", BRIX_INSTRUCTION_MAX, BRIX_INSTRUCTION_TYPE_NAMES},
    {"BRIX_ARGUMENT_TYPE", BRIX_ARGUMENT_MAX, BRIX_ARGUMENT_TYPE_NAMES},
    {"BRIX_RBA_CRAM_TYPE", BRIX_RBA_CRAM_MAX, BRIX_RBA_CRAM_TYPE_NAMES},
    {"BRIX_CFF_TYPE", BRIX_CFF_MAX, BRIX_CFF_TYPE_NAMES},
};

// Identifies this exact vocabulary (every name and value above). Every database carries it; a database whose
// signature differs was written with another vocabulary and is refused. Change it whenever a table changes.
inline constexpr char BRIX_CONST_ENUM_CSV_MD5[] = "b2f6ade7dea4049a6da16bbcb3e9f841";
