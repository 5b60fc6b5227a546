// Writes and reads whole databases: BRIX databases (archive plus part files) and the programmer's container
// files. Static operations only.
#pragma once

#include "brix_data_export.h"
#include "brix_owned_list.h"
#include "pdb_archive.h"
#include "programmer/pgm_ddb_struct_inout_auto_export.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// One part-file worker's data. The server prepares it before the worker starts and takes the results after
// the worker has ended; nothing is shared between workers.
struct RIF_THREAD_DATA {
    std::string file_name; // database path of the part file (the archive is file_name + ".ddb")
    unsigned family_type = BRIX_FAMILY_MAX;
    unsigned device_type = BRIX_DEVICE_MAX;
    // Writing: the part's entries, lent by the device's list, which keeps owning them.
    G2_SII_LIST lent_entries;
    // Reading: the part's entries, owned here until they join the device's list.
    OWNED_LIST<G2_SII> entries;
    // Writing: the part archive, complete and synced but not yet in place. Reading: unused.
    std::unique_ptr<PDB_ARCHIVE> archive;
    // Writing: size and CRC-32 of the written part. Reading: what the main archive records for the part.
    PDB_FILE_CHECK check;
};

// A programmer container file as read and checked: its header fields and its payload.
struct PGM_CONTAINER_FILE {
    std::string file_extension; // content kind, upper case
    std::string name;           // owner, upper case
    uint32_t flag = 0;
    uint32_t version = 0;
    uint32_t raw_size = 0; // payload bytes
    uint64_t compressed_size = 0;
    uint16_t crc16 = 0;
    std::vector<unsigned char> header; // the header bytes as stored, reserved field included
    std::unique_ptr<unsigned char[]> payload;
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
    // written to a temporary name and put in place only when all are complete, as one change through the
    // commit record P.commit (docs/archive_format.md): a kill at any moment leaves the whole previous
    // database or the whole new one; part files of an earlier database with more parts are removed. A
    // failed write leaves the previous database as it was. An interrupted write's record is completed first.
    static void write_brix_info(const std::string& name, BRIX_INFO* info, bool name_is_path);
    // Reads database P (a trailing ".ddb" of path is dropped), after completing the commit record of an
    // interrupted write, if there is one; a part file given as P is refused as such. With skip_rif false the
    // part files are read back by workers and checked against the main archive; with skip_rif true the G2
    // list stays null and its sizes are those stored, and each part file must still exist with the size the
    // main archive records. The result belongs to the caller; null when the archive holds no root.
    static BRIX_INFO* get_brix_info(const std::string& path, bool skip_rif);
    static BRIX_INFO* vantrel_get_brix_info(const std::string& name, bool is_family, bool skip_rif,
                                            bool add_suffix);

    // True when name (case ignored) is a device (family) of the vocabulary; the value, or the enumeration's
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

    // Writes data (data_size bytes, kept by the caller) as a container file named directory + upper-case
    // file_base + "." + lower-case file_extension: a 96-byte header naming the content kind and the owner,
    // the payload compressed with zlib at level 9, and a CRC-16 trailer. The file lands whole or not at all;
    // a failed write is a report naming the file and leaves any previous file in place.
    static void write_pgm_database_file(const unsigned char* data, uint32_t data_size, uint32_t version,
                                        std::string file_extension, std::string name, std::string file_base,
                                        std::string directory);
    // Reads and checks a container file: its header fields and its payload. The one read path of the
    // look-ups and of brix_dump.
    static PGM_CONTAINER_FILE read_pgm_container(const std::string& path);
    // Reads and checks a container file; returns its payload (raw_size bytes) and the header's version,
    // content kind (file_extension) and owner name.
    static std::unique_ptr<unsigned char[]> read_pgm_database_file(const std::string& path, uint32_t& version,
                                                                   std::string& file_extension,
                                                                   std::string& name, uint32_t& raw_size);

    // Container paths of a device or family. A target that already is such a path is returned as it is and
    // pcf is left empty; otherwise pcf receives the device's PCF name.
    static std::string get_device_fid_file(const std::string& target, std::string& pcf);
    static std::string get_device_rba_file(const std::string& target, std::string& pcf);
    static std::string get_family_cram_map_file(const std::string& target);

    // Look-ups of the programmer databases; the results belong to the caller.
    static std::unique_ptr<BRIX_FID> get_device_fid(const std::string& target);
    static BRIX_RBA_BLOCK_LIST get_device_rba(const std::string& target);
    static BRIX_CRAM_MAP_LIST get_family_cram_map(const std::string& family, unsigned char& flags);
    // The first map of the list with the given PGM_RBA_TYPE value, or null.
    static BRIX_CRAM_MAP* get_cram_map(const BRIX_CRAM_MAP_LIST& list, uint32_t type);

    // Release what the look-ups returned: the record, or every element from the back to the front, leaving
    // the list empty.
    static void delete_device_fid(std::unique_ptr<BRIX_FID>& fid);
    static void delete_device_rba(BRIX_RBA_BLOCK_LIST& list);
    static void delete_family_cram_map(BRIX_CRAM_MAP_LIST& list);
};
