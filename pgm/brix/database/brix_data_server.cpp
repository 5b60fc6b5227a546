// BRIX databases: writing and reading a database with its part files, database paths and PCF names.
#include "brix_data_server.h"

#include "fio.h"
#include "gen.h"
#include "msg_internal_error.h"
#include "pgmdev.h"
#include "records/brix_data_manager.h"
#include "records/pgm_brix__pdb.h"
#include "thr.h"

#include <algorithm>
#include <iterator>
#include <vector>

bool BRIX_DATA_SERVER::s_read_only = false;
PDB_ARCHIVE* BRIX_DATA_SERVER::s_pcf_db = nullptr;

namespace {
const char* const ARCHIVE_EXTENSION = ".ddb";
// Part files are numbered from 0; a database has at most this many plus one.
const unsigned MAX_THREAD_INDEX = 32;
// The signature a part file carries instead of the vocabulary's: a part holds no vocabulary value, and the
// mark tells a part file apart from a database, so that one copied over a main archive's name is refused.
// Parts written before the mark carry the vocabulary's signature and are still read as parts.
const char PART_SIGNATURE[] = "BRIX-SPLIT-DATABASE-PART-FILE-01";
static_assert(sizeof PART_SIGNATURE == 33, "a signature has 32 characters");

std::string part_path(const std::string& p, unsigned i) {
    return p + "_rif_t" + std::to_string(i);
}

// The commit record of a split database's rewrite: while it exists, the part files and the main archive are
// being put in place, and the next run completes that before it reads or writes the database.
std::string commit_record_path(const std::string& p) {
    return p + ".commit";
}

// Starts one worker per record in order; stops at the first that cannot be started. Waits for every started
// worker in start order (a worker's report travels on after all have ended). Returns false when not all
// could be started.
bool run_workers(std::vector<RIF_THREAD_DATA>& data, THR_FUNCTION worker) {
    std::vector<THR_HANDLE> tids;
    bool all_started = true;
    for (RIF_THREAD_DATA& d : data) {
        THR_HANDLE h = thr_thread_create(worker, &d, 0);
        if (!h) {
            all_started = false;
            break;
        }
        tids.push_back(h);
    }
    for (THR_HANDLE h : tids)
        thr_thread_wait(h);
    return all_started;
}

} // namespace

void BRIX_DATA_SERVER::begin_read() {
    s_read_only = true;
}

void BRIX_DATA_SERVER::begin_write() {
    s_read_only = false;
}

void BRIX_DATA_SERVER::end_read() {
    delete s_pcf_db;
    s_pcf_db = nullptr;
}

std::string BRIX_DATA_SERVER::get_vantrel_pdb_path(const std::string& name, bool is_family, bool add_suffix) {
    std::string path = BRIX_MANAGER::get_programmer_directory() + stl_lower(name);
    if (is_family)
        path += "_family";
    if (add_suffix)
        path += "_brix";
    return path;
}

void BRIX_DATA_SERVER::write_brix_info(const std::string& name, BRIX_INFO* info, bool name_is_path) {
    BRIX_CHECK(info != nullptr, "info != NULL");
    const std::string p = name_is_path ? name : get_vantrel_pdb_path(name, false, true);
    gen_create_installation_directories(p.substr(0, p.rfind('/') + 1));
    FIO_ATOMIC_FILE::complete_interrupted_commit(commit_record_path(p));
    BRIX_DEVICE_INFO* device = info->get_device_info();

    // Split the G2 list: part i holds entries i*k up to (i+1)*k. The part lists share the entries with the
    // device list, which keeps owning them until every file is in place.
    std::vector<RIF_THREAD_DATA> parts;
    G2_SII_LIST* g2_s2_list = device ? device->get_g2_s2_list() : nullptr;
    const unsigned thread_size = device ? device->get_g2_s2_thread_size() : 0;
    const unsigned list_size = device ? device->get_g2_s2_list_size() : 0;
    if (g2_s2_list != nullptr && thread_size != 0) {
        BRIX_CHECK(thread_size > 0 && list_size == unsigned(g2_s2_list->size()),
                   "g2_s2_thread_size > 0 && g2_s2_list_size == UINT(g2_s2_list->size())");
        const size_t n = g2_s2_list->size();
        const size_t k = (n + thread_size - 1) / thread_size;
        size_t index = 0;
        BRIX_CHECK(thread_size - 1 <= MAX_THREAD_INDEX, "thread_index <= 32");
        parts.resize(thread_size);
        for (unsigned i = 0; i < thread_size; ++i) {
            RIF_THREAD_DATA& d = parts[i];
            d.file_name = part_path(p, i);
            d.family_type = device->get_family_type();
            d.device_type = device->get_device_type();
            const size_t end = std::min((i + 1) * k, n);
            d.lent_entries.assign(g2_s2_list->begin() + std::min(index, n), g2_s2_list->begin() + end);
            index = std::max(index, end);
        }
        BRIX_CHECK(index == n, "index == g2_s2_list_size");
        BRIX_CHECK(run_workers(parts, thread_write_brix_rif), "tids[i] != 0");
    }

    info->set_signature(BRIX_CONST_ENUM_CSV_MD5);

    // The main archive holds the device record without its list, and the size and CRC-32 of every part.
    std::vector<PDB_FILE_CHECK> checks;
    for (const RIF_THREAD_DATA& d : parts)
        checks.push_back(d.check);
    PDB_ARCHIVE main_archive(p + ARCHIVE_EXTENSION);
    main_archive.set_companions(checks);
    // With parts, the device record is written without its list; a failure up to the last commit gives the
    // caller its record back as it was, list included.
    const bool split = !parts.empty();
    if (split) {
        device->set_g2_s2_list(nullptr, false, false);
        device->set_g2_s2_list_size(list_size);
        device->set_g2_s2_thread_size(thread_size);
    }
    BRIX_UNDO put_back([&] {
        if (split) {
            device->set_g2_s2_list(g2_s2_list, false, false);
            device->set_g2_s2_thread_size(thread_size);
        }
    });
    pdb_write_ptr(main_archive, BRIX_PDB::INFO, info);
    main_archive.finish();

    // Every file is complete: put the parts and the main archive in place as one change, then drop stale
    // parts. A lone main archive lands by its own rename.
    if (split) {
        std::vector<PDB_ARCHIVE*> archives;
        for (RIF_THREAD_DATA& d : parts)
            archives.push_back(d.archive.get());
        archives.push_back(&main_archive);
        PDB_ARCHIVE::commit_together(commit_record_path(p), archives);
    } else {
        main_archive.commit();
    }
    put_back.dismiss();
    // The entries now live in the part files; the device record keeps the sizes only.
    if (split)
        brix_release_list(g2_s2_list);
    // A writer killed while it wrote more parts than this one left their temporaries: they go too.
    for (unsigned i = unsigned(parts.size()); i <= MAX_THREAD_INDEX; ++i) {
        FIO_FILE_SYSTEM::remove_file(part_path(p, i) + ARCHIVE_EXTENSION);
        FIO_FILE_SYSTEM::remove_dead_writers_temporaries(part_path(p, i) + ARCHIVE_EXTENSION);
    }
}

void* BRIX_DATA_SERVER::thread_write_brix_rif(void* arg) {
    RIF_THREAD_DATA& data = *static_cast<RIF_THREAD_DATA*>(arg);
    BRIX_INFO part;
    BRIX_DEVICE_INFO* device = new BRIX_DEVICE_INFO;
    part.set_device_info(device);
    device->set_family_type(data.family_type);
    device->set_device_type(data.device_type);
    // The entries stay with the main database's list: the part record only borrows them while it is written.
    BRIX_UNDO give_back([device] { device->set_g2_s2_list(nullptr, false, false); });
    device->set_g2_s2_list(&data.lent_entries, false, false);
    part.set_signature(PART_SIGNATURE);
    data.archive.reset(new PDB_ARCHIVE(data.file_name + ARCHIVE_EXTENSION));
    pdb_write_ptr(*data.archive, BRIX_PDB::INFO, &part);
    data.archive->finish();
    data.check = data.archive->file_check();
    return nullptr;
}

BRIX_INFO* BRIX_DATA_SERVER::get_brix_info(const std::string& path, bool skip_rif) {
    std::string p = path;
    if (p.size() >= 5 && stl_ends_with(stl_lower(p), ARCHIVE_EXTENSION))
        p.erase(p.size() - 4);
    const std::string file = p + ARCHIVE_EXTENSION;
    FIO_ATOMIC_FILE::complete_interrupted_commit(commit_record_path(p));

    PDB_ARCHIVE archive;
    BRIX_INFO* raw = nullptr;
    if (!archive.open(file) || !pdb_read_ptr(archive, BRIX_PDB::INFO, raw)) {
        INPUT_CONTEXT here(file);
        BRIX_REPORT("pdb_read(result, pcf_db, \"\")");
    }
    archive.close();
    std::unique_ptr<BRIX_INFO> result(raw);
    if (!result)
        return nullptr;

    INPUT_CONTEXT here(file);
    BRIX_CHECK(
        result->get_signature() != PART_SIGNATURE,
        "The file is a part file of a split database (one slice of a device's G2 list), not a database: "
        "read the main archive it belongs to");
    BRIX_CHECK(result->get_signature() == BRIX_CONST_ENUM_CSV_MD5, "signature == BRIX_CONST_ENUM_CSV_MD5");

    BRIX_DEVICE_INFO* device = result->get_device_info();
    const unsigned thread_size = device ? device->get_g2_s2_thread_size() : 0;
    if (thread_size > 0 && skip_rif) {
        // The parts stay unread; each must still be there with the size the main archive records for it.
        BRIX_CHECK(archive.companions().size() == thread_size,
                   "The main archive does not record its " + std::to_string(thread_size) + " part files");
        for (unsigned i = 0; i < thread_size; ++i) {
            const std::string part = part_path(p, i) + ARCHIVE_EXTENSION;
            INPUT_CONTEXT at_part(part);
            FIO_STATUS status;
            BRIX_CHECK(FIO_FILE_SYSTEM::status(part, status),
                       "The part file the main archive names is missing" +
                           FIO_FILE_SYSTEM::describe_missing(part));
            BRIX_CHECK(status.size == archive.companions()[i].size,
                       "The part file has " + std::to_string(status.size) +
                           " bytes, the main archive records " +
                           std::to_string(archive.companions()[i].size));
        }
    }
    if (thread_size > 0 && !skip_rif) {
        BRIX_CHECK(device->get_g2_s2_list() == nullptr,
                   "g2_s2_thread_size > 0 && result->get_device_info()->get_g2_s2_list() == NULL");
        BRIX_CHECK(archive.companions().size() == thread_size,
                   "The main archive does not record its " + std::to_string(thread_size) + " part files");
        BRIX_CHECK(thread_size - 1 <= MAX_THREAD_INDEX, "thread_index <= 32");
        std::vector<RIF_THREAD_DATA> parts(thread_size);
        for (unsigned i = 0; i < thread_size; ++i) {
            parts[i].file_name = part_path(p, i);
            parts[i].family_type = device->get_family_type();
            parts[i].device_type = device->get_device_type();
            parts[i].check = archive.companions()[i];
        }
        // The parts' entries and the combined list free themselves if a check fails before the hand-over.
        BRIX_CHECK(run_workers(parts, thread_read_brix_rif), "tids[i] != 0");
        OWNED_LIST<G2_SII> combined;
        for (RIF_THREAD_DATA& d : parts) {
            std::move(d.entries.begin(), d.entries.end(), std::back_inserter(combined));
            d.entries.clear();
        }
        BRIX_CHECK(unsigned(combined.size()) == device->get_g2_s2_list_size(),
                   "UINT(g2_s2_list->size()) == g2_s2_list_size");
        device->set_g2_s2_list(brix_hand_over_list(combined), true, true);
    }
    return result.release();
}

void* BRIX_DATA_SERVER::thread_read_brix_rif(void* arg) {
    RIF_THREAD_DATA& data = *static_cast<RIF_THREAD_DATA*>(arg);
    const std::string file = data.file_name + ARCHIVE_EXTENSION;
    PDB_ARCHIVE archive;
    BRIX_INFO* raw = nullptr;
    if (!archive.open(file) || !pdb_read_ptr(archive, BRIX_PDB::INFO, raw)) {
        INPUT_CONTEXT here(file);
        BRIX_REPORT("pdb_read(brix_info, pcf_db, \"\")");
    }
    archive.close();
    std::unique_ptr<BRIX_INFO> brix_info(raw);
    INPUT_CONTEXT here(file);
    BRIX_CHECK(brix_info != nullptr, "brix_info != NULL");
    const std::string signature = brix_info->get_signature();
    BRIX_CHECK(signature == PART_SIGNATURE || signature == BRIX_CONST_ENUM_CSV_MD5,
               "The file does not carry the signature of a part file");
    BRIX_DEVICE_INFO* brix_device_info = brix_info->get_device_info();
    BRIX_CHECK(brix_device_info != nullptr, "brix_device_info != NULL");
    G2_SII_LIST* g2_s2_list = brix_device_info->get_g2_s2_list();
    BRIX_CHECK(g2_s2_list != nullptr, "g2_s2_list != NULL");
    BRIX_CHECK(unsigned(g2_s2_list->size()) == brix_device_info->get_g2_s2_list_size(),
               "UINT((g2_s2_list->size()) == brix_device_info->get_g2_s2_list_size())");
    BRIX_CHECK(brix_device_info->get_g2_s2_thread_size() == 0,
               "brix_device_info->get_g2_s2_thread_size() == 0");
    BRIX_CHECK(brix_device_info->get_family_type() == data.family_type,
               "brix_device_info->get_family_type() == (*data).family_type");
    BRIX_CHECK(brix_device_info->get_device_type() == data.device_type,
               "brix_device_info->get_device_type() == (*data).device_type");
    // A part left from another write of the same device passes every check above; the main archive's
    // record of the part's size and CRC-32 tells them apart.
    BRIX_CHECK(
        archive.file_check() == data.check,
        "The part file does not belong to this database: its size or CRC-32 differs from the main archive's "
        "record");
    brix_device_info->set_g2_s2_list(nullptr, false, false);
    data.entries = brix_adopt_list(g2_s2_list);
    return nullptr;
}

BRIX_INFO* BRIX_DATA_SERVER::vantrel_get_brix_info(const std::string& name, bool is_family, bool skip_rif,
                                                   bool add_suffix) {
    return get_brix_info(get_vantrel_pdb_path(name, is_family, add_suffix), skip_rif);
}

namespace {
// The value of a name in one of the vocabularies, case ignored; the vocabulary's count when there is none.
bool find_type_name(BRIX_ENUM_TYPE vocabulary, const std::string& name, unsigned& value) {
    const BRIX_ENUM_DESCRIPTOR& table = BRIX_ENUM_DESCRIPTORS[vocabulary];
    value = brix_find_enum_name(table, name);
    return value != table.count;
}
} // namespace

bool BRIX_DATA_SERVER::check_is_device_pcf_supported(const std::string& name, unsigned& device_type) {
    return find_type_name(BRIX_ENUM_TYPE_DEVICE, name, device_type);
}

bool BRIX_DATA_SERVER::check_is_family_pcf_supported(const std::string& name, unsigned& family_type) {
    return find_type_name(BRIX_ENUM_TYPE_FAMILY, name, family_type);
}

std::string BRIX_DATA_SERVER::get_pcf(const std::string& name, bool full_path) {
    if (name.size() > 4 && stl_ends_with(name, ARCHIVE_EXTENSION))
        return name;
    unsigned device_type = 0;
    std::string pcf = name;
    if (!check_is_device_pcf_supported(name, device_type)) {
        pcf = PGMDEV_DEVICE_GRAMMAR_MGR::get_dev_part_pcf(name);
        if (pcf.empty())
            pcf = PGMDEV_DEVICE_GRAMMAR_MGR::get_pgm_part_pcf(name);
    }
    if (!pcf.empty() && full_path)
        return BRIX_MANAGER::get_programmer_directory() + stl_lower(pcf) + "_brix" + ARCHIVE_EXTENSION;
    return stl_upper(pcf);
}

std::string BRIX_DATA_SERVER::get_family_pcf(const std::string& name, bool full_path) {
    if (name.size() > 4 && stl_ends_with(name, ARCHIVE_EXTENSION))
        return name;
    unsigned family_type = 0;
    std::string pcf;
    if (check_is_family_pcf_supported(name, family_type)) {
        pcf = name + "_FAMILY";
    } else {
        pcf = PGMDEV_DEVICE_GRAMMAR_MGR::get_dev_family_pcf(name);
        if (pcf.empty())
            pcf = PGMDEV_DEVICE_GRAMMAR_MGR::get_pgm_family_pcf(name);
        if (pcf.empty())
            pcf = PGMDEV_DEVICE_GRAMMAR_MGR::get_pcf_family_pcf(name);
    }
    if (pcf.empty())
        return pcf;
    if (full_path)
        return BRIX_MANAGER::get_programmer_directory() + stl_lower(pcf) + "_brix" + ARCHIVE_EXTENSION;
    stl_toupper(pcf);
    BRIX_CHECK(pcf.size() >= 7 && pcf.rfind("_FAMILY") == (pcf.size() - 7),
               "pcf.size() >= 7 && pcf.rfind(\"_FAMILY\") == (pcf.size() - 7)");
    pcf.erase(pcf.size() - 7);
    return pcf;
}
