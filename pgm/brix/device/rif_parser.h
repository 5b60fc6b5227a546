// The RIF file parser: reads a device's RIF file into its G2 list.
#pragma once

#include "brix_data_export.h"

#include <string>

#include "context/build_context.h"

// Frame numbers of a RIF read without a known frame count stay below this, far above any real device.
constexpr unsigned RIF_FRAME_LIMIT = 1u << 20;
// Bit numbers of a RIF read without a known bit count stay below this, far above any real device.
constexpr unsigned RIF_BIT_LIMIT = 1u << 24;

// Reads the device's RIF file into its G2 list: one entry per SOF frame (null where the file names no bit of
// that frame), each entry holding dra_count slots of G2_SII_BIT lists; the bit b of a frame goes to slot
// b % dra_count, and a slot that no bit reached stays null.
//
// The file read is directory_prefix + rif_file + "_rif" (gzip data); it is unpacked in-process to
// directory_prefix + rif_file + ".rif", which stays on disk. rif_version 0 writes frame before bit, versions
// 1 and 2 bit before frame. frame_count and bit_count, when not 0, bound the frame and bit numbers of the
// entries and of their references, so one line cannot make the list longer than the device nor name a bit
// outside it; when 0, RIF_FRAME_LIMIT and RIF_BIT_LIMIT bound them. A direction is 0 or 1, a distance fits
// its byte, and a frame/bit pair is given once; anything else is refused naming the file and line. The
// progress lines go to the context's progress. The result belongs to the caller (hand it to
// BRIX_DEVICE_INFO::set_g2_s2_list).
G2_SII_LIST* parse_rif(const BRIX_BUILD_CONTEXT& context, const std::string& rif_file,
                       const std::string& directory_prefix, unsigned rif_version, unsigned dra_count,
                       unsigned frame_count, unsigned bit_count);
