// Installation directories and string helpers.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

// Installation directory, always ending with "/": $BRIX_VANTREL_PATH when set, else
// "/opt/brix/wrik/vantrel/".
std::string gen_get_vantrel_path();
// Device database directory: the installation directory + "devdb" (no trailing separator).
std::string gen_get_device_db_fullpath();
// Unshipped source data: the installation directory + "unshipped/" (ends with a separator).
std::string gen_get_unshipped_data_fullpath();

// Creates the missing directories of `directory` that lie below the installation directory (such as
// "devdb/programmer/fid/"), so that a fresh installation takes its databases. Never creates the installation
// directory itself nor anything outside it: a path elsewhere, or an installation that does not exist, is left
// as it is and the write that follows reports the file it cannot create.
void gen_create_installation_directories(const std::string& directory);

int gen_strcmp(const std::string& a, const std::string& b);
int gen_stricmp(const std::string& a, const std::string& b);
// Value of the digits in base (2..16), read until the first character that is not a digit of that base.
// Stores the position after the last digit in *end when end is given. Wraps modulo 2^32 as the platform does;
// callers that need range checks do them first.
unsigned gen_local_strtouint(const char* text, const char** end, int base);
// Copy without leading and trailing blanks.
std::string gen_remove_leading_and_trailing_spaces(const std::string& text);
// Copy without leading and trailing blanks, tabs, carriage returns and newlines.
std::string gen_remove_leading_and_trailing_white_spaces(const std::string& text);

// Whether text begins or ends with the given piece.
bool stl_starts_with(std::string_view text, std::string_view prefix);
bool stl_ends_with(std::string_view text, std::string_view suffix);
std::string& stl_toupper(std::string& s);
std::string& stl_tolower(std::string& s);
std::string stl_upper(std::string s);
std::string stl_lower(std::string s);

template <typename... Args> std::string& stl_sprintf(std::string& out, const char* format, Args... values) {
    int n = std::snprintf(nullptr, 0, format, values...);
    if (n < 0) {
        out.clear();
        return out;
    }
    out.assign(static_cast<size_t>(n) + 1, '\0');
    std::snprintf(&out[0], out.size(), format, values...);
    out.resize(static_cast<size_t>(n));
    return out;
}
