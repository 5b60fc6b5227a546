// Internal-error report: the one way every check in the program fails.
//
// report() never returns: it throws BRIX_INTERNAL_ERROR. The program entry catches it, prints it to
// standard error and ends with exit status 1; worker threads catch it and hand it to the thread that joins
// them (see thr.h); tests catch it in-process and compare the condition text.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

class BRIX_INTERNAL_ERROR : public std::runtime_error {
  public:
    BRIX_INTERNAL_ERROR(std::string condition, std::string module, std::string source, int line,
                        std::vector<std::string> context);

    const std::string& condition() const { return m_condition; }
    const std::string& module() const { return m_module; }
    const std::string& source() const { return m_source; }
    int line() const { return m_line; }
    // Innermost input location last ("while reading X, element Y, line N").
    const std::vector<std::string>& context() const { return m_context; }
    // The full multi-line report as printed to standard error.
    std::string report_text() const;
    // The report in one line: the condition, then its input frames in parentheses, outermost first.
    std::string one_line() const;

  private:
    std::string m_condition;
    std::string m_module;
    std::string m_source;
    int m_line;
    std::vector<std::string> m_context;
};

class MSG_INTERNAL_ERROR {
  public:
    // source may be a full path (__FILE__); only its base name without extension is kept.
    [[noreturn]] static void report(const std::string& condition, const char* module, const char* source,
                                    int line);
    // Prints the report of an error to standard error (after flushing standard output).
    static void print(const BRIX_INTERNAL_ERROR& error);
    // A tool's entry point: runs work and returns its status. Any exception that escapes it becomes a
    // report handed to on_error (print, unless given) and exit status 1: a failure report as it is, an
    // allocation failure as "Out of memory", any other exception as "Unexpected exception: <what>". No
    // exception ever leaves a tool unreported.
    static int run_main(const std::function<int()>& work,
                        const std::function<void(const BRIX_INTERNAL_ERROR&)>& on_error = print);
};

// Where the program is in its input, for failure reports. Frames nest per thread; an RAII guard pushes one
// frame and pops it when the reader leaves that piece of input. set() updates the innermost text in place
// (a reader walking lines updates the line number without pushing a frame per line).
class INPUT_CONTEXT {
  public:
    explicit INPUT_CONTEXT(std::string where);
    ~INPUT_CONTEXT();
    INPUT_CONTEXT(const INPUT_CONTEXT&) = delete;
    INPUT_CONTEXT& operator=(const INPUT_CONTEXT&) = delete;
    void set(std::string where);
    // The same as set("line " + line), for readers that number every line of large inputs: the text is made
    // only when a report reads the frames.
    void set_line(uint64_t line);
    static std::vector<std::string> current();
    // An input value as a frame shows it: whole up to MAX_EXCERPT bytes, else its first MAX_EXCERPT bytes
    // (never half a UTF-8 character) and a note of its full length, so a huge value cannot flood the report.
    static constexpr size_t MAX_EXCERPT = 100;
    static std::string excerpt(const std::string& value);

  private:
    size_t m_index;
};

// The source name a report carries: the base name of the file the check is written in, unless that file
// states the name of the module it belongs to, so that a reader or builder in a file of its own keeps the
// source name of its module (CONTRIBUTING.md). Such a file defines the name before its first include:
//     #define BRIX_SOURCE_NAME "brix_build_device"
// (defining it after an include is a redefinition, which the build refuses).
// __builtin_FILE() is __FILE__ in ordinary code; in a default argument it names the calling file, so a helper
// that reports on its caller's behalf can take the caller's source name (BRIX_CALLER).
#ifndef BRIX_SOURCE_NAME
#define BRIX_SOURCE_NAME __builtin_FILE()
#endif

// The source name and line of the code that calls a helper, for reports the helper makes on its behalf:
// declared as a default argument `BRIX_CALLER caller = BRIX_CALLER_HERE`, it is filled in at the call.
struct BRIX_CALLER {
    const char* source;
    int line;
};
#define BRIX_CALLER_HERE                                                                                     \
    BRIX_CALLER {                                                                                            \
        BRIX_SOURCE_NAME, __builtin_LINE()                                                                   \
    }

#define BRIX_REPORT(text) MSG_INTERNAL_ERROR::report((text), "BRIX", BRIX_SOURCE_NAME, __LINE__)
// A report made on the caller's behalf (see BRIX_CALLER).
#define BRIX_REPORT_FOR(caller, text)                                                                        \
    MSG_INTERNAL_ERROR::report((text), "BRIX", (caller).source, (caller).line)
// A check with its condition text given explicitly: reports and the logs that collect them know a check by
// this text, so it is written out rather than taken from the C++ expression.
#define BRIX_CHECK(cond, text)                                                                               \
    do {                                                                                                     \
        if (!(cond))                                                                                         \
            BRIX_REPORT(text);                                                                               \
    } while (0)
