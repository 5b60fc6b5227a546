// A file can name the source module its reports carry, so that a reader or builder in a file of its own
// reports under the module it belongs to. This file names itself "brix_build_device".
#define BRIX_SOURCE_NAME "brix_build_device"

#include "msg_internal_error.h"
#include "pdb_archive.h"
#include "test_support.h"

TEST(ReportSource, FileStatesTheSourceNameOfItsReports) {
    BRIX_INTERNAL_ERROR e = catch_brix_error([] { BRIX_CHECK(2 + 2 == 5, "found_block"); });
    EXPECT_EQ("found_block", e.condition());
    EXPECT_EQ("BRIX", e.module());
    EXPECT_EQ("brix_build_device", e.source());
    EXPECT_NE(std::string::npos, e.report_text().find("   module BRIX, source brix_build_device, line "));
}
