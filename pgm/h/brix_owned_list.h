// Building records without leaking them when a check fails half-way.
//
// A builder collects new records in an OWNED_LIST (a vector of unique_ptr) and hands them to the record
// that will own them only once the list is complete:
//
//     OWNED_LIST<BRIX_CONST_DATA> list;
//     list.push_back(std::make_unique<BRIX_CONST_DATA>(...));   // a failing check here frees the list
//     block->set_const_values(brix_hand_over_list(list), false);
//
// Rows of bytes for BRIX_ARG_DATA are filled in a BRIX_ROW_BUFFER, which frees them unless they reach the
// record:
//
//     BRIX_ROW_BUFFER row(n_units, 1);
//     matrix.row_to_bytes(r, row.data(), row.size());
//     rows.push_back(row.hand_over());                           // rows: OWNED_LIST<BRIX_ARG_DATA>
//
// brix_release_list (brix_data_export.h) is the other direction: it deletes a raw list and its records.
#pragma once

#include "brix_data_export.h"

#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

template <typename T> using OWNED_LIST = std::vector<std::unique_ptr<T>>;

// Moves the records into a new raw record list for the setters that take ownership (copy flag false). The
// owned list is left empty. Nothing is lost if the allocation of the new list fails.
template <typename T> std::vector<T*>* brix_hand_over_list(OWNED_LIST<T>& owned) {
    auto list = std::make_unique<std::vector<T*>>();
    list->reserve(owned.size());
    for (auto& record : owned)
        list->push_back(record.release());
    owned.clear();
    return list.release();
}

// Takes the records of a raw record list into an owned list and deletes the raw list. Null gives an empty
// list.
template <typename T> OWNED_LIST<T> brix_adopt_list(std::vector<T*>* list) {
    OWNED_LIST<T> owned;
    if (list == nullptr)
        return owned;
    std::unique_ptr<std::vector<T*>> raw(list);
    try {
        owned.reserve(raw->size());
    } catch (...) {
        brix_release_list(raw.release());
        throw;
    }
    for (T* record : *raw)
        owned.emplace_back(record);
    return owned;
}

// Runs an undo step when the scope ends, unless dismissed first: takes a lent list back out of a record
// before the record goes (the record must not release what it does not own), or puts a record back as it
// was when a step after changing it fails.
//
//     device->set_g2_s2_list(nullptr, false, false);
//     BRIX_UNDO put_back([&] { device->set_g2_s2_list(list, false, false); });
//     ...                                                        // a failing check here puts the list back
//     put_back.dismiss();
template <typename F> class BRIX_UNDO {
  public:
    explicit BRIX_UNDO(F undo) : m_undo(std::move(undo)) {}
    ~BRIX_UNDO() {
        if (m_armed)
            m_undo();
    }
    BRIX_UNDO(const BRIX_UNDO&) = delete;
    BRIX_UNDO& operator=(const BRIX_UNDO&) = delete;
    void dismiss() { m_armed = false; }

  private:
    F m_undo;
    bool m_armed = true;
};

// A row of data_size units of unit_size bytes (1, 2 or 4), zero-filled, owned until it is handed to a
// BRIX_ARG_DATA.
class BRIX_ROW_BUFFER {
  public:
    // Reports when the sizes are not those a BRIX_ARG_DATA accepts (data_size > 0, unit 1, 2 or 4).
    BRIX_ROW_BUFFER(unsigned data_size, unsigned unit_size);

    unsigned char* data() { return m_bytes.get(); }
    const unsigned char* data() const { return m_bytes.get(); }
    unsigned char& operator[](size_t i) { return m_bytes[i]; }
    unsigned char operator[](size_t i) const { return m_bytes[i]; }
    // Size in bytes: data_size * unit_size.
    size_t size() const { return size_t(m_data_size) * m_unit_size; }
    unsigned data_size() const { return m_data_size; }
    unsigned unit_size() const { return m_unit_size; }

    // A new BRIX_ARG_DATA owning the bytes; the buffer is left empty (data() null, sizes 0).
    std::unique_ptr<BRIX_ARG_DATA> hand_over();

  private:
    unsigned m_data_size;
    unsigned m_unit_size;
    std::unique_ptr<unsigned char[]> m_bytes;
};
