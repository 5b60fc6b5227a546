// The build context: what every operation of a run reaches through one object instead of finding it itself.
// It holds the run's options and owns
//   - the progress text on standard output, with the tool's three indents, silent in test mode;
//   - the installation's directories (device database, programmer and FID directories, pgm_db);
//   - the in-process unpacking that stands for the "gunzip -dcSf <packed> > <unpacked>" command
//     that the progress lines and logs name,
//     with its one failure report;
//   - the identification of a device in the device database and the device grammar;
//   - the write of a programmer container file.
// An operation is handed the context by reference; the functions it calls take the context (or its
// progress) from it. A report the context makes names the calling module and line (BRIX_CALLER).
#pragma once

#include "fio.h"
#include "large_block.h"
#include "msg_internal_error.h"

#include <cstdint>
#include <iostream>
#include <string>
#include <vector>

// Progress text on standard output with the three indents of the tool: three blanks for a step, six for a
// detail, nine for a sub-step. Silent when quiet (test mode). The caller gives the text with its own line
// ends.
class BRIX_PROGRESS {
  public:
    explicit BRIX_PROGRESS(bool quiet = false) : m_quiet(quiet) {}
    void step(const std::string& text) const { print("   ", text); }
    void detail(const std::string& text) const { print("      ", text); }
    void sub(const std::string& text) const { print("         ", text); }
    void text(const std::string& text) const { print("", text); }
    bool quiet() const { return m_quiet; }
    // The same printer, heard in test mode too: for the few lines a build prints in every mode.
    BRIX_PROGRESS always() const { return BRIX_PROGRESS(false); }

  private:
    void print(const char* indent, const std::string& text) const {
        if (!m_quiet)
            std::cout << indent << text;
    }
    bool m_quiet;
};

// The options of a run that change how an operation works rather than what it builds.
struct BRIX_BUILD_OPTIONS {
    bool test = false;  // test mode: no progress text, the database next to the input file
    bool full = false;  // device builds: the RBA-derived data and the device database geometry
    bool debug = false; // device builds: the debug listings
};

// The names of a device as the device grammar gives them.
struct BRIX_DEVICE_NAMES {
    std::string pcf;        // PCF name of the device's part, upper case
    std::string family;     // family name
    std::string family_pcf; // family PCF name, upper case, without "_FAMILY"
};

// A device identified in the device database, for a device build.
struct BRIX_DEVICE_IDENTITY {
    std::string name;       // the device name, lower case
    uint32_t part = 0;      // its part (DEV_PART_ENUM)
    std::string pcf;        // PCF name of the part, lower case
    std::string family_pcf; // family PCF name, lower case
};

class BRIX_BUILD_CONTEXT {
  public:
    explicit BRIX_BUILD_CONTEXT(BRIX_BUILD_OPTIONS options = {});

    const BRIX_BUILD_OPTIONS& options() const { return m_options; }
    bool test() const { return m_options.test; }
    const BRIX_PROGRESS& progress() const { return m_progress; }

    // ---- Installation directories, each ending with '/'.
    // The installation: $BRIX_VANTREL_PATH, or the default installation.
    static std::string installation_directory();
    // <device database>/programmer/: BRIX databases.
    static std::string programmer_directory();
    // <device database>/programmer/fid/: PGM RBA, CRAM map and FID containers.
    static std::string programmer_fid_directory();
    // <unshipped data>/pgm_db/: text CRAM maps, phantom images, phantomless inputs.
    static std::string pgm_db_directory();

    // ---- Unpacking
    // The shell command an unpacking stands for, as the progress lines and logs name it.
    static std::string gunzip_command(const std::string& packed, const std::string& unpacked);
    // Unpacks gzip data from packed to unpacked in-process (kept, when given, receives the text too), at most
    // limit bytes: what the consumer can use (the bounds below). Every failure (not gzip data, a damaged
    // stream, output past the limit, an output that cannot be written) is one report: the command's condition
    // "thr_system(cmd.c_str()) == 0" with a frame "<packed>: <reason>"; it leaves no unpacked file.
    static void unpack(const std::string& packed, const std::string& unpacked, uint64_t limit,
                       LARGE_TEXT* kept = nullptr, BRIX_CALLER caller = BRIX_CALLER_HERE);
    // The same, with the file written by writer while the caller reads the text; finish_unpacking waits for
    // the write and reports its failure the same way.
    static void unpack_in_background(const std::string& packed, const std::string& unpacked, uint64_t limit,
                                     LARGE_TEXT& text, FIO_BACKGROUND_FILE& writer,
                                     BRIX_CALLER caller = BRIX_CALLER_HERE);
    // Bounds of unpacked inputs (docs/reliability.md), from the device's CRAM frame and bit counts; a count
    // of 0 (geometry not known) gives UNPACK_LIMIT_WITHOUT_GEOMETRY. A RIF or RBA text: one byte per CRAM
    // bit, plus 1 MiB. A phantom image: twice the CRAM's bytes, plus 1 MiB.
    static uint64_t text_unpack_limit(uint64_t frame_count, uint64_t bit_count);
    static uint64_t image_unpack_limit(uint64_t frame_count, uint64_t bit_count);
    static constexpr uint64_t UNPACK_LIMIT_WITHOUT_GEOMETRY = uint64_t(1) << 30;
    static void finish_unpacking(const std::string& packed, FIO_BACKGROUND_FILE& writer,
                                 BRIX_CALLER caller = BRIX_CALLER_HERE);
    // Whether a report is an unpacking's (or another command's) failure: then no unpacked file was written.
    static bool is_command_failure(const BRIX_INTERNAL_ERROR& error);
    // Reports a failed in-process step that stands for a shell command named in the progress text: the
    // command's condition, with a frame "<where>: <reason>".
    [[noreturn]] static void report_command_failure(const std::string& where,
                                                    const BRIX_INTERNAL_ERROR& error,
                                                    BRIX_CALLER caller = BRIX_CALLER_HERE);

    // ---- Devices
    // The names of a device name (or of anything BRIX_DATA_SERVER::get_pcf accepts). When the PCF name or
    // the family is unknown the run ends with the operation's condition text, naming the target.
    BRIX_DEVICE_NAMES resolve_device(const std::string& target, const char* unknown_condition,
                                     BRIX_CALLER caller = BRIX_CALLER_HERE) const;
    // A device name identified in the device database: its part and PCF names. Prints the identification
    // lines (not in test mode).
    BRIX_DEVICE_IDENTITY identify_device(const std::string& name,
                                         BRIX_CALLER caller = BRIX_CALLER_HERE) const;

    // ---- Programmer containers
    // Writes bytes (the serialised records) as the container <FID directory>/<NAME>.<kind>, whole or not at
    // all; the header carries kind and name, upper-cased.
    void write_container(const std::string& kind, const std::string& name,
                         const std::vector<unsigned char>& bytes,
                         BRIX_CALLER caller = BRIX_CALLER_HERE) const;

  private:
    BRIX_BUILD_OPTIONS m_options;
    BRIX_PROGRESS m_progress;
};
