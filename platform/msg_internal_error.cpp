#include "msg_internal_error.h"

#include <cstdint>
#include <cstdio>
#include <iostream>
#include <new>

namespace {
// A frame is its text, or a line number that becomes the text "line N" only when a report reads the frames:
// readers of inputs with 100,000s of lines update the number of every line they read.
struct FRAME {
    std::string text;
    uint64_t line = 0;
    bool numbered = false;
};
thread_local std::vector<FRAME> t_frames;

std::string base_name_without_extension(const char* source) {
    std::string s = source ? source : "";
    size_t slash = s.find_last_of("/\\");
    if (slash != std::string::npos)
        s.erase(0, slash + 1);
    size_t dot = s.find('.');
    if (dot != std::string::npos)
        s.erase(dot);
    return s;
}
} // namespace

BRIX_INTERNAL_ERROR::BRIX_INTERNAL_ERROR(std::string condition, std::string module, std::string source,
                                         int line, std::vector<std::string> context)
    : std::runtime_error(condition), m_condition(std::move(condition)), m_module(std::move(module)),
      m_source(std::move(source)), m_line(line), m_context(std::move(context)) {}

std::string BRIX_INTERNAL_ERROR::report_text() const {
    std::string text = "Internal error: " + m_condition + "\n";
    text += "   module " + m_module + ", source " + m_source + ", line " + std::to_string(m_line) + "\n";
    for (auto it = m_context.rbegin(); it != m_context.rend(); ++it)
        text += "   while reading " + *it + "\n";
    return text;
}

std::string BRIX_INTERNAL_ERROR::one_line() const {
    std::string where;
    for (const std::string& frame : m_context)
        where += (where.empty() ? "" : ", ") + frame;
    return where.empty() ? m_condition : m_condition + " (" + where + ")";
}

void MSG_INTERNAL_ERROR::report(const std::string& condition, const char* module, const char* source,
                                int line) {
    throw BRIX_INTERNAL_ERROR(condition, module ? module : "", base_name_without_extension(source), line,
                              INPUT_CONTEXT::current());
}

void MSG_INTERNAL_ERROR::print(const BRIX_INTERNAL_ERROR& error) {
    std::cout.flush();
    std::fflush(stdout);
    std::cerr << error.report_text();
    std::cerr.flush();
}

int MSG_INTERNAL_ERROR::run_main(const std::function<int()>& work,
                                 const std::function<void(const BRIX_INTERNAL_ERROR&)>& on_error) {
    auto fail = [&](const std::string& condition) {
        on_error(BRIX_INTERNAL_ERROR(condition, "BRIX", "msg_internal_error", __LINE__, {}));
        return 1;
    };
    try {
        return work();
    } catch (const BRIX_INTERNAL_ERROR& error) {
        on_error(error);
        return 1;
    } catch (const std::bad_alloc&) {
        return fail("Out of memory");
    } catch (const std::exception& e) {
        return fail(std::string("Unexpected exception: ") + e.what());
    } catch (...) {
        return fail("Unexpected exception");
    }
}

INPUT_CONTEXT::INPUT_CONTEXT(std::string where) : m_index(t_frames.size()) {
    t_frames.push_back({std::move(where)});
}

INPUT_CONTEXT::~INPUT_CONTEXT() {
    t_frames.resize(m_index);
}

void INPUT_CONTEXT::set(std::string where) {
    if (m_index < t_frames.size()) {
        t_frames[m_index].text = std::move(where);
        t_frames[m_index].numbered = false;
    }
}

void INPUT_CONTEXT::set_line(uint64_t line) {
    if (m_index < t_frames.size()) {
        t_frames[m_index].line = line;
        t_frames[m_index].numbered = true;
    }
}

std::vector<std::string> INPUT_CONTEXT::current() {
    std::vector<std::string> frames;
    frames.reserve(t_frames.size());
    for (const FRAME& frame : t_frames)
        frames.push_back(frame.numbered ? "line " + std::to_string(frame.line) : frame.text);
    return frames;
}

std::string INPUT_CONTEXT::excerpt(const std::string& value) {
    if (value.size() <= MAX_EXCERPT)
        return value;
    size_t cut = MAX_EXCERPT;
    while (cut > 0 && (static_cast<unsigned char>(value[cut]) & 0xC0) == 0x80)
        --cut;
    return value.substr(0, cut) + "... (" + std::to_string(value.size()) + " characters)";
}
