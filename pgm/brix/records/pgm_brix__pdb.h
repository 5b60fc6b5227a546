// Persistence of the record classes: one descriptor per class with its class id, and one serialise
// operation per class visiting its fields in archive order (names and kinds as listed in each operation).
#pragma once

#include "brix_data_export.h"
#include "pdb_archive.h"

struct BRIX_PDB {
    static const PDB_CLASS_THUNK INFO;
    static const PDB_CLASS_THUNK FAMILY_INFO;
    static const PDB_CLASS_THUNK BLOCK;
    static const PDB_CLASS_THUNK FRAME;
    static const PDB_CLASS_THUNK INSTRUCTION;
    static const PDB_CLASS_THUNK CONST_DATA;
    static const PDB_CLASS_THUNK DYN_DATA;
    static const PDB_CLASS_THUNK OB_DATA;
    static const PDB_CLASS_THUNK DEVICE_INFO;
    static const PDB_CLASS_THUNK PARAMETER;
    static const PDB_CLASS_THUNK ARG;
    static const PDB_CLASS_THUNK ARG_DATA;
    static const PDB_CLASS_THUNK LUTRAM_MRAM;
    static const PDB_CLASS_THUNK SIMPLIFIED_LUTRAM_MRAM;
    static const PDB_CLASS_THUNK G2_S1;
    static const PDB_CLASS_THUNK G2_S2;
    static const PDB_CLASS_THUNK G2_S2_BIT;

    static void serialize(PDB_SEGMENT& s, BRIX_INFO& o);
    static void serialize(PDB_SEGMENT& s, BRIX_FAMILY_INFO& o);
    static void serialize(PDB_SEGMENT& s, BRIX_BLOCK& o);
    static void serialize(PDB_SEGMENT& s, BRIX_FRAME& o);
    static void serialize(PDB_SEGMENT& s, BRIX_INSTRUCTION& o);
    static void serialize(PDB_SEGMENT& s, BRIX_CONST_DATA& o);
    static void serialize(PDB_SEGMENT& s, BRIX_DYN_DATA& o);
    static void serialize(PDB_SEGMENT& s, BRIX_OB_DATA& o);
    static void serialize(PDB_SEGMENT& s, BRIX_DEVICE_INFO& o);
    static void serialize(PDB_SEGMENT& s, BRIX_PARAMETER& o);
    static void serialize(PDB_SEGMENT& s, BRIX_ARG& o);
    static void serialize(PDB_SEGMENT& s, BRIX_ARG_DATA& o);
    static void serialize(PDB_SEGMENT& s, LUTRAM_MRAM_INFO& o);
    static void serialize(PDB_SEGMENT& s, SIMPLIFIED_LUTRAM_MRAM_INFO& o);
    static void serialize(PDB_SEGMENT& s, G2_SI& o);
    static void serialize(PDB_SEGMENT& s, G2_SII& o);
    static void serialize(PDB_SEGMENT& s, G2_SII_BIT& o);
};
