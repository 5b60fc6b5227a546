// The entry operations of the tool: one of them runs per invocation, chosen by the command line.
#pragma once

#include <string>
#include <vector>

// Family database from a family XML (brix_build_family).
void build_family_xml(const std::string& xml_file, bool test);
// Device database from a device name or a device XML (brix_build_device). context is unused and may be null.
void build_device(void* context, const std::string& name, bool test, bool full, bool debug);
// ob_val lines from an option-bit BCM XML (brix_helper).
void parse_ob_bcm(const std::string& bcm_file);
// Programmer databases (brix_non_ddb_builder).
void build_pgm_rba(const std::string& target, const std::string& rba_file);
void build_family_cram_map(const std::string& target);
// 0, or BRIX_EXIT_PHANTOM_MISMATCH when the FID was written but its phantom image disagrees with the RBA.
int build_device_fid(const std::string& target);
// Batch builds over every supported device; the first file path, when given, filters by family
// (brix_batch). Each returns the exit status of the run: 0, or BRIX_BATCH_FAILED_STATUS when a row failed.
int build_all_brix(const std::vector<std::string>& file_paths);
int build_all_rba(const std::vector<std::string>& file_paths);
int build_all_cram_map(const std::vector<std::string>& file_paths);
int build_all_fid(const std::vector<std::string>& file_paths);
int build_all_pcf(const std::vector<std::string>& file_paths);
