// The entry operations of the tool: one of them runs per invocation, chosen by the command line. Each is
// handed the run's build context.
#pragma once

#include "context/build_context.h"

#include <string>
#include <vector>

// Family database from a family XML (family/).
void build_family_xml(const BRIX_BUILD_CONTEXT& context, const std::string& xml_file);
// Device database from a device name or a device XML (device/); the options full and debug apply.
void build_device(const BRIX_BUILD_CONTEXT& context, const std::string& name);
// ob_val lines from an option-bit BCM XML (family/).
void parse_ob_bcm(const BRIX_BUILD_CONTEXT& context, const std::string& bcm_file);
// Programmer databases (programmer/).
void build_pgm_rba(const BRIX_BUILD_CONTEXT& context, const std::string& target, const std::string& rba_file);
void build_family_cram_map(const BRIX_BUILD_CONTEXT& context, const std::string& target);
// 0, or BRIX_EXIT_PHANTOM_MISMATCH when the FID was written but its phantom image disagrees with the RBA.
int build_device_fid(const BRIX_BUILD_CONTEXT& context, const std::string& target);
// Batch builds over every supported device; the first file path, when given, filters by family (batch/).
// Each returns the exit status of the run: 0, or BRIX_BATCH_FAILED_STATUS when a row failed.
int build_all_brix(const BRIX_BUILD_CONTEXT& context, const std::vector<std::string>& file_paths);
int build_all_rba(const BRIX_BUILD_CONTEXT& context, const std::vector<std::string>& file_paths);
int build_all_cram_map(const BRIX_BUILD_CONTEXT& context, const std::vector<std::string>& file_paths);
int build_all_fid(const BRIX_BUILD_CONTEXT& context, const std::vector<std::string>& file_paths);
int build_all_pcf(const BRIX_BUILD_CONTEXT& context, const std::vector<std::string>& file_paths);
