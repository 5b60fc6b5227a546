// Fuzz target: the command-line parser. The input is the argument list, one argument per line (the program
// name is supplied). Only parsing runs: no operation is dispatched and no file is written.
#include "cli/brix_main.h"
#include "fuzz_support.h"

#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_setup();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> args = {"build_brix"};
    std::string current;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == '\n') {
            args.push_back(current);
            current.clear();
        } else {
            current += static_cast<char>(data[i]);
        }
    }
    if (!current.empty())
        args.push_back(current);
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    fuzz_expect_report_or_success([&] { brix_main_parse(static_cast<int>(args.size()), argv.data()); });
    return 0;
}
