// Writes and reads whole databases: BRIX databases (archive plus part files) and the programmer's container
// files. Static operations only.
#pragma once

#include "brix_data_export.h"
#include "pdb_archive.h"

#include <memory>
#include <string>

// One part-file worker's data. The server prepares it before the worker starts and takes the results after
// the worker has ended; nothing is shared between workers.
struct RIF_THREAD_DATA {
    std::string file_name; // database path of the part file (the archive is file_name + ".ddb")
    unsigned family_type = BRIX_FAMILY_MAX;
    unsigned device_type = BRIX_DEVICE_MAX;
    G2_SII_LIST* g2_s2_list = nullptr; // the part's entries (the list object belongs to this record)
    // Writing: the part archive, complete and synced but not yet in place. Reading: unused.
    std::unique_ptr<PDB_ARCHIVE> archive;
    // Writing: size and CRC-32 of the written part. Reading: what the main archive records for the part.
    PDB_FILE_CHECK check;
};

class BRIX_DATA_SERVER {
  public:
    BRIX_DATA_SERVER() = delete;

    // ---- BRIX databases -------------------------------------------------------------------------------

    // Read state exported for the programmer: begin_read sets s_read_only, begin_write clears it, end_read
    // releases the archive s_pcf_db points to, if any.
    static bool s_read_only;
    static PDB_ARCHIVE* s_pcf_db;
    static void begin_read();
    static void begin_write();
    static void end_read();

    // Database path (without ".ddb") of a device or family name under the device database directory:
    // D + "/programmer/" + lower-case name [+ "_family"] [+ "_brix"].
    static std::string get_vantrel_pdb_path(const std::string& name, bool is_family, bool add_suffix);

    // Writes info as database P (name itself when name_is_path, else the device database path of name):
    // stamps the signature; a device G2 list with a thread size T > 0 goes to part files P_rif_t0.ddb ...
    // written by T workers, and the device record keeps only the list's sizes afterwards. Every file is
    // written to a temporary name and put in place only when all are complete, part files first and P.ddb
    // last; part files of an earlier database with more parts are removed. A failed write leaves the
    // previous database as it was.
    static void write_brix_info(const std::string& name, BRIX_INFO* info, bool name_is_path);
    // Reads database P (a trailing ".ddb" of path is dropped). With skip_rif false the part files are read
    // back by workers and checked against the main archive; with skip_rif true the G2 list stays null and
    // its sizes are those stored. The result belongs to the caller; null when the archive holds no root.
    static BRIX_INFO* get_brix_info(const std::string& path, bool skip_rif);
    static BRIX_INFO* vantrel_get_brix_info(const std::string& name, bool is_family, bool skip_rif,
                                            bool add_suffix);

    // True when name (upper-cased) is a device (family) of the vocabulary; the value, or the enumeration's
    // count when there is none, goes to device_type (family_type).
    static bool check_is_device_pcf_supported(const std::string& name, unsigned& device_type);
    static bool check_is_family_pcf_supported(const std::string& name, unsigned& family_type);
    // PCF name of a device (upper case), or its database file when full_path is set; empty when unknown. A
    // name ending in ".ddb" is returned as it is.
    static std::string get_pcf(const std::string& name, bool full_path);
    // Family PCF name (upper case, without "_FAMILY"), or the family database file when full_path is set.
    static std::string get_family_pcf(const std::string& name, bool full_path);

    // Part-file workers; data is a RIF_THREAD_DATA. They return null.
    static void* thread_write_brix_rif(void* data);
    static void* thread_read_brix_rif(void* data);

    // ---- Programmer container files (PGM RBA, CRAM map, FID) -------------------------------------------
};
