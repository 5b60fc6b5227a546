// Readers shared by the device builders.
#pragma once

#include "brix_data_export.h"

#include <string>

class BRIX_INTERNAL_ERROR;

// An in-process step that stands for a documented shell command (unpacking with gunzip) failed: reported as
// the command's failure, "thr_system(cmd.c_str()) == 0", with one input frame "where: reason", where names
// the file or the command and the reason is the step's own condition text.
[[noreturn]] void brix_report_command_failure(const std::string& where, const BRIX_INTERNAL_ERROR& error);

// Reads the device's RIF file into its G2 list: one entry per SOF frame (null where the file names no bit of
// that frame), each entry holding dra_count slots of G2_SII_BIT lists; the bit b of a frame goes to slot
// b % dra_count, and a slot that no bit reached stays null.
//
// The file read is directory_prefix + rif_file + "_rif" (gzip data); it is unpacked in-process to
// directory_prefix + rif_file + ".rif", which stays on disk. rif_version 0 writes frame before bit, versions
// 1 and 2 bit before frame. frame_count, when not 0, bounds the frame numbers of the entries, so one line
// cannot make the list longer than the device; when 0, RIF_FRAME_LIMIT bounds them. verbose prints the
// progress lines. The result belongs to the caller (hand it to BRIX_DEVICE_INFO::set_g2_s2_list). Frame
// numbers of a RIF read without a known frame count stay below this, far above any real device.
constexpr unsigned RIF_FRAME_LIMIT = 1u << 20;

G2_SII_LIST* parse_rif(const std::string& rif_file, bool verbose, const std::string& directory_prefix,
                       unsigned rif_version, unsigned dra_count, unsigned frame_count);
