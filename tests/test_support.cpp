#include "test_support.h"

#include "dev_db.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

VANTREL_PATH_GUARD::VANTREL_PATH_GUARD(const std::string& path) {
    const char* old = std::getenv("BRIX_VANTREL_PATH");
    m_had_old = old != nullptr;
    if (old)
        m_old = old;
    ::setenv("BRIX_VANTREL_PATH", path.c_str(), 1);
    DEV_TABLE::reload();
}

VANTREL_PATH_GUARD::~VANTREL_PATH_GUARD() {
    if (m_had_old)
        ::setenv("BRIX_VANTREL_PATH", m_old.c_str(), 1);
    else
        ::unsetenv("BRIX_VANTREL_PATH");
    DEV_TABLE::reload();
}

TEMP_DIR::TEMP_DIR() {
    std::string pattern = (std::filesystem::temp_directory_path() / "brix_test_XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!::mkdtemp(buffer.data()))
        throw std::runtime_error("mkdtemp failed");
    m_path = buffer.data();
}

TEMP_DIR::~TEMP_DIR() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

std::string read_text_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_text_file(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

COMMAND_RESULT run_command(const std::string& command_line) {
    TEMP_DIR dir;
    std::string out = dir.file("out"), err = dir.file("err");
    std::string full = "(" + command_line + ") >'" + out + "' 2>'" + err + "'";
    int status = std::system(full.c_str());
    COMMAND_RESULT result;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = read_text_file(out);
    result.err = read_text_file(err);
    return result;
}
