// The difference of two files of one kind (BRIX database with its part files, PGM RBA database, CRAM map,
// FID), field by field in archive order, for brix_dump --diff.
//
// Each difference is one line: the field's path, both values, and for a long map (a u32 vector, an argument
// row, a byte block, a bit table) its first differing index with the number of differing entries. List
// elements are named by their type where they have one (m_arguments[SOF_TO_RBF_MAP/CRAM]), else by index.
// BRIX databases are compared through the archive's walk of their records, so the paths come from the
// records' one field list; containers through the records' field lists.
#pragma once

#include "enum_descriptor.h"

#include <cstdint>
#include <ostream>
#include <string>

// Exit status of a comparison.
constexpr int DIFF_IDENTICAL = 0;
constexpr int DIFF_DIFFERENT = 1;
constexpr int DIFF_CANNOT_COMPARE = 2;

// Prints at most max_shown differences, then the number of the others and the total; or the reason the
// files cannot be compared (different kinds, a damaged or unreadable file) in one line. Returns the exit
// status above.
int diff_files(const std::string& a, const std::string& b, uint32_t max_shown, std::ostream& out);

// The enumeration a type field of a BRIX record names its value in (m_block_type, m_arg_type, ...), or null.
const BRIX_ENUM_DESCRIPTOR* brix_field_enumeration(const char* field);
