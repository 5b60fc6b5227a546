// Writes and reads whole databases: BRIX databases (archive plus part files) and the programmer's container
// files. Static operations only.
#pragma once

#include <string>

class BRIX_DATA_SERVER {
  public:
    BRIX_DATA_SERVER() = delete;

    // ---- BRIX databases -------------------------------------------------------------------------------

    // ---- Programmer container files (PGM RBA, CRAM map, FID) -------------------------------------------
};
