// Owned record lists and row buffers: handing records over to the owning record, and nothing leaking when a
// check fails before that (LeakSanitizer checks the failing paths).
#include "brix_owned_list.h"
#include "test_support.h"

#include <cstring>

TEST(OwnedList, HandOverGivesTheRecordsInOrderAndEmptiesTheList) {
    OWNED_LIST<BRIX_ARG_DATA> rows;
    for (unsigned n = 1; n <= 3; ++n) {
        BRIX_ROW_BUFFER row(n, 1);
        std::memset(row.data(), int(n), row.size());
        rows.push_back(row.hand_over());
    }
    BRIX_ARG arg(0, 0, brix_hand_over_list(rows));
    EXPECT_TRUE(rows.empty());
    ASSERT_EQ(3u, arg.get_data()->size());
    for (unsigned n = 1; n <= 3; ++n) {
        unsigned size = 0, unit = 0;
        const unsigned char* bytes = (*arg.get_data())[n - 1]->get_data(&size, &unit);
        EXPECT_EQ(n, size);
        EXPECT_EQ(1u, unit);
        EXPECT_EQ(n, bytes[n - 1]);
    }

    // And back: the raw list's records are owned again and the raw list is gone.
    OWNED_LIST<BRIX_ARG_DATA> again =
        brix_adopt_list(new BRIX_ARG_DATA_LIST{new BRIX_ARG_DATA, new BRIX_ARG_DATA});
    EXPECT_EQ(2u, again.size());
    EXPECT_TRUE(brix_adopt_list<BRIX_ARG_DATA>(nullptr).empty());
}

TEST(OwnedList, FailingCheckHalfWayLeaksNothing) {
    EXPECT_BRIX_ERROR(
        {
            OWNED_LIST<BRIX_ARG_DATA> rows;
            BRIX_ROW_BUFFER first(4, 2);
            rows.push_back(first.hand_over());
            BRIX_ROW_BUFFER pending(8, 4); // never handed over
            BRIX_ROW_BUFFER bad(1, 3);
        },
        "data_size > 0 && (unit_size == 1 || unit_size == 2 || unit_size == 4)");
}

TEST(OwnedList, RowBufferSizesAndSingleHandOver) {
    BRIX_ROW_BUFFER row(5, 4);
    EXPECT_EQ(20u, row.size());
    for (size_t i = 0; i < row.size(); ++i)
        ASSERT_EQ(0, row.data()[i]);
    std::unique_ptr<BRIX_ARG_DATA> data = row.hand_over();
    EXPECT_EQ(nullptr, row.data());
    EXPECT_EQ(0u, row.size());
    EXPECT_BRIX_ERROR(row.hand_over(), "row buffer not yet handed over");
    EXPECT_BRIX_ERROR(BRIX_ROW_BUFFER(0, 1),
                      "data_size > 0 && (unit_size == 1 || unit_size == 2 || unit_size == 4)");
}
