// The large device database of the archive and inspector benchmarks: a G2 list of 16,001 entries (8 part
// files) and 52 argument tables of 4 MB of u32 data each, 219 MB on disk with its part files.
#pragma once

#include "brix_data_export.h"

#include <cstdint>

constexpr unsigned BENCH_LARGE_G2_ENTRIES = 16001;
constexpr unsigned BENCH_LARGE_ARGUMENTS = 52;
constexpr unsigned BENCH_LARGE_UNITS_PER_ARGUMENT = 1u << 20; // 4 MB of u32 per argument table

inline G2_SII* bench_large_g2_entry(unsigned i) {
    auto* lists = new G2_SII_BIT_LIST_LIST;
    for (unsigned l = 0; l < 2; ++l) {
        auto* bit = new G2_SII_BIT(i * 2 + l);
        bit->set_g2_s1_list(new G2_SI_LIST{new G2_SI(i, l, l == 0, i & 0xFF), new G2_SI(i + 1, l, false, 3)});
        lists->push_back(new G2_SII_BIT_LIST{bit});
    }
    auto* entry = new G2_SII;
    entry->set_g2_s2_bit_list_list(lists);
    return entry;
}

inline BRIX_INFO* bench_large_database() {
    auto* device = new BRIX_DEVICE_INFO;
    device->set_family_type(4);
    device->set_device_type(4);
    auto* arguments = new BRIX_ARG_LIST;
    for (unsigned a = 0; a < BENCH_LARGE_ARGUMENTS; ++a) {
        auto* data = new unsigned char[size_t(BENCH_LARGE_UNITS_PER_ARGUMENT) * 4];
        auto* words = reinterpret_cast<uint32_t*>(data);
        for (unsigned u = 0; u < BENCH_LARGE_UNITS_PER_ARGUMENT; ++u)
            words[u] = u * 2654435761u + a;
        arguments->push_back(
            new BRIX_ARG(a % 30 + 4, 7,
                         new BRIX_ARG_DATA_LIST{new BRIX_ARG_DATA(data, BENCH_LARGE_UNITS_PER_ARGUMENT, 4)}));
    }
    device->set_argument_list(arguments, false);
    auto* g2 = new G2_SII_LIST;
    for (unsigned i = 0; i < BENCH_LARGE_G2_ENTRIES; ++i)
        g2->push_back(bench_large_g2_entry(i));
    device->set_g2_s2_list(g2, true, true);
    auto* info = new BRIX_INFO;
    info->set_device_info(device);
    return info;
}
