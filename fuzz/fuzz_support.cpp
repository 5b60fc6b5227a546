#include "fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <streambuf>
#include <string>
#include <unistd.h>
#include <zlib.h>

namespace {

class NULL_BUFFER : public std::streambuf {
  protected:
    int overflow(int c) override { return c; }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

NULL_BUFFER g_null_buffer;
bool g_verbose = false;
// Kept outside any std::string: the exit handler runs after static strings are destroyed.
char g_remove_command[4096];

void remove_scratch_dir() {
    if (g_remove_command[0] != '\0' && std::system(g_remove_command) != 0)
        std::fprintf(stderr, "could not run: %s\n", g_remove_command);
}

} // namespace

const std::string& fuzz_scratch_dir() {
    static const std::string dir = [] {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/brix_fuzz.XXXXXX";
        if (::mkdtemp(&pattern[0]) == nullptr) {
            std::perror("mkdtemp");
            std::abort();
        }
        std::snprintf(g_remove_command, sizeof g_remove_command, "rm -rf '%s'", pattern.c_str());
        std::atexit(remove_scratch_dir);
        return pattern;
    }();
    return dir;
}

void fuzz_note_report(const BRIX_INTERNAL_ERROR& error) {
    if (g_verbose)
        std::fprintf(stderr, "report: %s\n", error.report_text().c_str());
}

void fuzz_setup() {
    g_verbose = std::getenv("BRIX_FUZZ_VERBOSE") != nullptr;
    std::cout.rdbuf(&g_null_buffer);
    if (!g_verbose) // the parsers' error messages say why an input was refused
        std::cerr.rdbuf(&g_null_buffer);
    ::setenv("BRIX_VANTREL_PATH", BRIX_SOURCE_DIR "/samples/vantrel/", 1);
    fuzz_scratch_dir();
}

std::string fuzz_write_input(const std::string& name, const uint8_t* data, size_t size) {
    std::string path = fuzz_scratch_dir() + "/" + name;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr || (size > 0 && std::fwrite(data, 1, size, f) != size) || std::fclose(f) != 0) {
        std::perror(path.c_str());
        std::abort();
    }
    return path;
}

std::vector<unsigned char> fuzz_gzip(const uint8_t* data, size_t size) {
    z_stream zs{};
    if (deflateInit2(&zs, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        std::abort();
    std::vector<unsigned char> out(deflateBound(&zs, static_cast<uLong>(size)) + 32);
    zs.next_in = const_cast<uint8_t*>(data);
    zs.avail_in = static_cast<uInt>(size);
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    if (deflate(&zs, Z_FINISH) != Z_STREAM_END)
        std::abort();
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}
