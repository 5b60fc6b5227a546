// The cell rules of one column of the phantomless CRAM map, on bit rows (bit k = row k) of 64-bit words.
#pragma once

#include <cstddef>
#include <cstdint>

// The rows of one chip column i matched to the expanded uniquified column j: where the mask and the unmask
// files hold each cell value in column j, and where the chip column's own type map holds flash cells and
// its own bits are set.
struct PHANTOMLESS_CELL_ROWS {
    const uint64_t* mask_data;
    const uint64_t* mask_flash;
    const uint64_t* mask_pb;
    const uint64_t* unmask_flash;
    const uint64_t* unmask_pb;
    const uint64_t* chip_flash;
    const uint64_t* chip_bits;
};

// Checks every row k of the column by its mask cell: a data cell must be a phantom bit or a data cell in
// the unmask file; a flash cell must be flash in the unmask file, on a flash cell of the chip column whose
// bit is clear; a phantom-bit cell must be a phantom bit in the unmask file. The lowest row that breaks a
// rule decides which rule is reported.
void check_phantomless_cells(const PHANTOMLESS_CELL_ROWS& rows, size_t words);
