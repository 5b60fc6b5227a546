// Fuzz target: the device XML reader (parameters, argument tables, option-bit values of one device).
//
// The input is the device XML, read in test mode as the device build reads it. (A parameter type may appear
// once per block, so the state's counts are not checked against the lists: the reader's own checks are the
// oracle, with the sanitizers.) Every parameter the lists hold has at least one value.
#include "device/brix_build_device.h"
#include "fuzz_support.h"
#include "records/brix_data_manager.h"

#include <cstdlib>
#include <memory>
#include <string>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_setup();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzz_write_input("dev.xml", data, size);
    fuzz_expect_report_or_success([&] {
        BRIX_DEVICE_BUILD_STATE state;
        state.m_context = BRIX_BUILD_CONTEXT({true});
        auto device_info = std::make_unique<BRIX_DEVICE_INFO>();
        device_info->set_parameter_list(new BRIX_PARAMETER_LIST(), false);
        device_info->set_argument_list(new BRIX_ARG_LIST(), false);
        parse_device_xml(state, device_info.get(), device_info->get_parameter_list(),
                         device_info->get_argument_list(), path, "dev", true);
        for (const BRIX_PARAMETER* parameter : *device_info->get_parameter_list())
            if (parameter->get_length() == 0 || parameter->get_const_values() == nullptr ||
                parameter->get_const_values()->empty())
                std::abort();
    });
    return 0;
}
