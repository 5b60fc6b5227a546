#include "gen.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <strings.h>
#include <sys/stat.h>

std::string gen_get_vantrel_path() {
    const char* env = std::getenv("BRIX_VANTREL_PATH");
    std::string path = (env && *env) ? env : "/opt/brix/wrik/vantrel/";
    if (path.back() != '/')
        path += '/';
    return path;
}

std::string gen_get_device_db_fullpath() {
    return gen_get_vantrel_path() + "devdb";
}

std::string gen_get_unshipped_data_fullpath() {
    return gen_get_vantrel_path() + "unshipped/";
}

void gen_create_installation_directories(const std::string& directory) {
    const std::string base = gen_get_vantrel_path();
    struct stat st;
    if (directory.compare(0, base.size(), base) != 0 || ::stat(base.c_str(), &st) != 0 ||
        !S_ISDIR(st.st_mode))
        return;
    for (size_t end = base.size(); end < directory.size();) {
        size_t slash = directory.find('/', end);
        if (slash == std::string::npos)
            slash = directory.size();
        if (slash > end) {
            std::string path = directory.substr(0, slash);
            if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST)
                return;
        }
        end = slash + 1;
    }
}

int gen_strcmp(const std::string& a, const std::string& b) {
    return a.compare(b);
}

int gen_stricmp(const std::string& a, const std::string& b) {
    return ::strcasecmp(a.c_str(), b.c_str());
}

unsigned gen_local_strtouint(const char* text, const char** end, int base) {
    unsigned value = 0;
    const char* p = text;
    for (; p && *p; ++p) {
        int c = std::toupper(static_cast<unsigned char>(*p));
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            break;
        if (digit >= base)
            break;
        value = value * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
    }
    if (end)
        *end = p;
    return value;
}

static std::string trim(const std::string& text, const char* set) {
    size_t first = text.find_first_not_of(set);
    if (first == std::string::npos)
        return std::string();
    size_t last = text.find_last_not_of(set);
    return text.substr(first, last - first + 1);
}

std::string gen_remove_leading_and_trailing_spaces(const std::string& text) {
    return trim(text, " ");
}

std::string gen_remove_leading_and_trailing_white_spaces(const std::string& text) {
    return trim(text, " \t\r\n");
}

std::string& stl_toupper(std::string& s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return s;
}

std::string& stl_tolower(std::string& s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

std::string stl_upper(std::string s) {
    return stl_toupper(s);
}
std::string stl_lower(std::string s) {
    return stl_tolower(s);
}

bool stl_starts_with(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

bool stl_ends_with(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}
