// Batch builds: tables, family filter, command lines, the worker slots and whole batches of the executable.
#include "batch/brix_batch.h"
#include "fio.h"
#include "test_support.h"
#include "thr.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>

namespace {

const std::string ROOT = "/x/p4/vantrel/";

TEST(Batch, FamilyFilter) {
    struct CASE {
        std::vector<std::string> paths;
        size_t rows;
        const char* first_device;
    } cases[] = {
        {{"granite"}, 8, "granite_d1"},
        {{"granite", "slate"}, 8, "granite_d1"}, // only the first path filters
        {{"Granite"}, 34, "slate_d1"},           // exact, case-sensitive
        {{"no_such_family"}, 34, "slate_d1"},
        {{}, 34, "slate_d1"},
        {{"kestrel"}, 1, "kestrel_d3"},
    };
    const std::vector<BRIX_BATCH_ROW> table = brix_batch_table(BRIX_BATCH_BRIX_TABLE);
    for (const CASE& c : cases) {
        std::vector<BRIX_BATCH_ROW> rows = brix_batch_select(table, c.paths);
        ASSERT_EQ(c.rows, rows.size()) << (c.paths.empty() ? "" : c.paths[0]);
        EXPECT_STREQ(c.first_device, rows[0].device);
    }
    EXPECT_EQ(28u, brix_batch_table(BRIX_BATCH_RBA_TABLE).size());
    EXPECT_EQ(8u, brix_batch_select(brix_batch_table(BRIX_BATCH_RBA_TABLE), {"talon"}).size());
    EXPECT_EQ(20u, brix_batch_pcf_rows().size());
}

TEST(Batch, SourceTreeRoot) {
    EXPECT_EQ("/opt/brix/p4/vantrel/", brix_batch_source_root("/opt/brix/wrik/vantrel/"));
    EXPECT_EQ("/p4/vantrel/", brix_batch_source_root("/wrik/vantrel/"));
    const char* const refused[] = {"/opt/brix/vantrel/", "/opt/brix/wrik/vantrel", "/opt/wrik/vantrel/x/",
                                   ""};
    for (const char* installation : refused)
        EXPECT_BRIX_ERROR(brix_batch_source_root(installation),
                          "directory.rfind(\"/wrik/vantrel/\") == (directory.size() - 14)");
}

TEST(Batch, CommandLines) {
    const BRIX_BATCH_ROW slate = BRIX_BATCH_BRIX_TABLE[0];
    const BRIX_BATCH_ROW granite = brix_batch_select(brix_batch_pcf_rows(), {"granite"})[0];
    const BRIX_BATCH_ROW basalt = brix_batch_select(brix_batch_pcf_rows(), {"basalt"})[0];
    struct CASE {
        BRIX_BATCH_KIND kind;
        BRIX_BATCH_ROW row;
        const char* line;
    } cases[] = {
        {BRIX_BATCH_KIND::RBA, BRIX_BATCH_RBA_TABLE[0],
         "mkdir \"/x/p4/vantrel/devices/slate/slate_m1\" & cd \"/x/p4/vantrel/devices/slate/slate_m1\" & dpx "
         "sync "
         "slate_m1.rbaz"},
        {BRIX_BATCH_KIND::BRIX, slate,
         "mkdir \"/x/p4/vantrel/devices/slate/slate_m1\" & cd \"/x/p4/vantrel/devices/slate/slate_m1\" & dpx "
         "sync "
         "*xml *rbaz & pwd & build_brix -device slate_d1"},
        {BRIX_BATCH_KIND::PCF, granite,
         "mkdir \"/x/p4/vantrel/devices/granite/granite_m1\" & cd "
         "\"/x/p4/vantrel/devices/granite/granite_m1\" & "
         "dpx sync *rbaz *rif *seu & pwd & gunzip -dcSf pgm_rif > pgm.rif & lgcgen -device granite_d1"},
        {BRIX_BATCH_KIND::PCF, basalt,
         "mkdir \"/x/p4/vantrel/devices/basalt/basalt_d1\" & cd \"/x/p4/vantrel/devices/basalt/basalt_d1\" & "
         "dpx sync *rbaz *seu & pwd & lgcgen -device basalt_d1_es"},
    };
    for (const CASE& c : cases)
        EXPECT_EQ(c.line, brix_batch_command_line(c.kind, ROOT, c.row));

    // The steps follow the line: the gunzip step only on granite rows; patterns stay separate words.
    auto kinds = [](const std::vector<BRIX_BATCH_STEP>& steps) {
        std::string k;
        for (const BRIX_BATCH_STEP& s : steps)
            k += "MCPWG"[s.kind];
        return k;
    };
    EXPECT_EQ("MCPWGP", kinds(brix_batch_steps(BRIX_BATCH_KIND::PCF, ROOT, granite)));
    EXPECT_EQ("MCPWP", kinds(brix_batch_steps(BRIX_BATCH_KIND::PCF, ROOT, basalt)));
    EXPECT_EQ("MCP", kinds(brix_batch_steps(BRIX_BATCH_KIND::RBA, ROOT, BRIX_BATCH_RBA_TABLE[0])));
    std::vector<BRIX_BATCH_STEP> brix = brix_batch_steps(BRIX_BATCH_KIND::BRIX, ROOT, slate);
    EXPECT_EQ("MCPWP", kinds(brix));
    EXPECT_EQ((std::vector<std::string>{"dpx", "sync", "*xml", "*rbaz"}), brix[2].arguments);
    EXPECT_EQ((std::vector<std::string>{"-device", "slate_d1"}),
              std::vector<std::string>(brix[4].arguments.begin() + 1, brix[4].arguments.end()));

    // Talon RBA directories end in "/": the file path keeps the "//".
    const BRIX_BATCH_ROW talon = brix_batch_select(brix_batch_table(BRIX_BATCH_RBA_TABLE), {"talon"})[0];
    EXPECT_EQ("/x/p4/vantrel/icd_data/talon/tl1/die1/fcrba//die1.rba", brix_batch_rba_file(ROOT, talon));
}

// A runner whose rows block until released, recording how many run at once and in which order they start.
struct GATED_RUNNER {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<bool> released;
    std::vector<size_t> started;
    size_t finished = 0;
    size_t running = 0;
    size_t most_running = 0;
    size_t finished_before_last_start = 0;
    size_t failing_row = size_t(-1);

    explicit GATED_RUNNER(size_t rows) : released(rows, false) {}

    bool run(size_t row) {
        std::unique_lock<std::mutex> lock(mutex);
        started.push_back(row);
        most_running = std::max(most_running, ++running);
        finished_before_last_start = finished;
        changed.notify_all();
        changed.wait(lock, [&] { return bool(released[row]); });
        --running;
        ++finished;
        return row != failing_row;
    }
    void release(size_t row) {
        std::lock_guard<std::mutex> lock(mutex);
        released[row] = true;
        changed.notify_all();
    }
    void wait_started(size_t count) {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return started.size() >= count; });
    }
};

TEST(Batch, NinthRowWaitsForAFreeSlot) {
    const size_t rows = 9;
    GATED_RUNNER runner(rows);
    runner.failing_row = 3;
    std::vector<std::string> lines;
    for (size_t i = 0; i < rows; ++i)
        lines.push_back("row" + std::to_string(i));
    std::vector<BRIX_BATCH_RESULT> results;
    bool all_started = false;

    testing::internal::CaptureStdout();
    std::thread batch([&] {
        all_started = brix_batch_run_workers(
            lines, [&](size_t i) { return runner.run(i); }, results);
    });
    runner.wait_started(8);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    {
        std::lock_guard<std::mutex> lock(runner.mutex);
        EXPECT_EQ(8u, runner.started.size()) << "a ninth row started while eight were running";
    }
    runner.release(5); // frees slot 5
    runner.wait_started(9);
    for (size_t i = 0; i < rows; ++i)
        runner.release(i);
    batch.join();
    const std::string out = testing::internal::GetCapturedStdout();

    EXPECT_TRUE(all_started);
    EXPECT_EQ(8u, runner.most_running);
    EXPECT_EQ(1u, runner.finished_before_last_start);
    for (size_t i = 0; i < 8; ++i)
        EXPECT_NE(std::string::npos,
                  out.find("CMD " + std::to_string(i) + " : row" + std::to_string(i) + "\n"));
    EXPECT_NE(std::string::npos, out.find("CMD 5 : row8\n"));
    EXPECT_NE(std::string::npos, out.find("Thread cmd: row3 => Fail\n"));
    EXPECT_NE(std::string::npos, out.find("Thread cmd: row8 => Pass\n"));
    ASSERT_EQ(rows, results.size());
    for (size_t i = 0; i < rows; ++i)
        EXPECT_EQ(i != 3, results[i].pass) << i;
}

TEST(Batch, ThreadThatCannotStartStopsLaunching) {
    std::atomic<int> ran{0};
    std::vector<BRIX_BATCH_RESULT> results;
    thr_fail_next_thread_creates_for_testing(1, 1);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    // The first row starts; the second cannot; the third is never tried.
    bool all_started = brix_batch_run_workers(
        {"a", "b", "c"},
        [&](size_t) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            ++ran;
            return true;
        },
        results);
    std::string out = testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    thr_fail_next_thread_creates_for_testing(0);
    EXPECT_FALSE(all_started);
    EXPECT_EQ(1, ran.load());
    EXPECT_NE(std::string::npos, err.find("thread_ids[active_thread] != 0"));
    EXPECT_NE(std::string::npos, out.find(" : b\n")); // slot 1, or slot 0 when row a has already ended
    EXPECT_EQ(std::string::npos, out.find(": c\n"));
    EXPECT_NE(std::string::npos, out.find("Thread cmd: a => Pass\n")); // the started row was waited for
}

// A row passes only when at least one of the outputs it lists was written.
TEST(Batch, RowsWithoutTheirOutputsFail) {
    TEMP_DIR dir;
    const std::string written = dir.file("written.ddb"), missing = dir.file("missing.ddb");
    write_text_file(written, "x");
    struct CASE {
        const char* what;
        bool pass;
        std::vector<std::string> outputs;
        bool expected;
    };
    const CASE cases[] = {
        {"its output written", true, {written}, true},
        {"one of two outputs written", true, {missing, written}, true},
        {"its output not written", true, {missing}, false},
        {"no output found", true, {}, false},
        {"a failed row stays failed", false, {written}, false},
    };
    for (const CASE& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<BRIX_BATCH_RESULT> results(1);
        results[0].pass = c.pass;
        for (const std::string& output : c.outputs)
            results[0].outputs.emplace_back(output, 1);
        brix_batch_fail_rows_without_outputs(results);
        EXPECT_EQ(c.expected, results[0].pass);
    }
}

// Whole batches of the executable in an installation under a directory whose name has blanks and shell
// metacharacters, with the project's dpx and lgcgen test doubles on PATH.
class BatchRun : public testing::Test {
  protected:
    void SetUp() override {
        base = dir.path() + "/a b;$(touch PWNED)'q\"`";
        installation = base + "/wrik/vantrel/";
        std::filesystem::create_directories(installation + "devdb");
        std::filesystem::copy_file(std::string(BRIX_SOURCE_DIR) + "/samples/vantrel/devdb/device_table.json",
                                   installation + "devdb/device_table.json");
    }
    COMMAND_RESULT run(const std::string& arguments) {
        return run_command("cd " + thr_shell_quote(dir.path()) +
                           " && PATH=" + thr_shell_quote(std::string(BRIX_SOURCE_DIR) + "/tools/sample_bin") +
                           ":\"$PATH\" BRIX_VANTREL_PATH=" + thr_shell_quote(installation) + " " + BRIX_EXE +
                           " " + arguments);
    }
    std::string depot(const std::string& directory) {
        std::string d = base + "/depot/vantrel/" + directory;
        std::filesystem::create_directories(d);
        return d;
    }
    TEMP_DIR dir;
    std::string base;
    std::string installation;
};

TEST_F(BatchRun, LegacyPcfRowsRunTheirStepsInTheirDirectory) {
    write_text_file(depot("devices/granite/granite_m1") + "/granite_d1.rbaz", "x");
    // pgm_rif: gzip of "rif\n".
    const std::string gz(
        "\x1f\x8b\x08\x00\x00\x00\x00\x00\x02\xff\x2b\xca\x4c\xe3\x02\x00\x9b\x62\x06\x74\x04\x00"
        "\x00\x00",
        24);
    write_text_file(depot("devices/granite/granite_m1") + "/pgm_rif", gz);
    COMMAND_RESULT r = run("-all_pcf granite");
    const std::string row = base + "/p4/vantrel/devices/granite/granite_m1";
    EXPECT_NE(std::string::npos,
              r.out.find("CMD: mkdir \"" + row + "\" & cd \"" + row +
                         "\" & dpx sync *rbaz *rif *seu & pwd & gunzip -dcSf pgm_rif > pgm.rif & "
                         "lgcgen -device granite_d1\n"))
        << r.out;
    EXPECT_EQ("x", read_text_file(row + "/granite_d1.rbaz"));
    EXPECT_EQ("rif\n", read_text_file(row + "/pgm.rif"));
    EXPECT_EQ("lgcgen -device granite_d1\n", read_text_file(row + "/lgcgen.log"));
    EXPECT_FALSE(std::filesystem::exists(dir.path() + "/PWNED"));
    EXPECT_FALSE(std::filesystem::exists(row + "/PWNED"));
    // Rows 2 to 8 have no depot directory: their sync fails, so they fail and the batch says so.
    EXPECT_EQ(BRIX_BATCH_FAILED_STATUS, r.status);
    EXPECT_NE(std::string::npos, r.out.find("Batch report all_pcf: 1 Pass, 7 Fail\n")) << r.out;
    EXPECT_TRUE(std::filesystem::exists(installation + "devdb/programmer/all_pcf_report.json"));
}

TEST_F(BatchRun, FailingBrixRowIsReportedAndTheBatchFails) {
    depot("devices/kestrel/kestrel_d3");
    COMMAND_RESULT r = run("-all_brix kestrel");
    const std::string row = base + "/p4/vantrel/devices/kestrel/kestrel_d3";
    const std::string line =
        "mkdir \"" + row + "\" & cd \"" + row + "\" & dpx sync *xml & pwd & build_brix -device kestrel_d3";
    EXPECT_NE(std::string::npos, r.out.find("CMD 0 : " + line + "\n")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("Thread cmd: " + line + " => Fail\n")) << r.out;
    EXPECT_EQ(BRIX_BATCH_FAILED_STATUS, r.status);
    const std::string report = read_text_file(installation + "devdb/programmer/all_brix_report.json");
    EXPECT_NE(std::string::npos, report.find("\"result\": \"Fail\""));
    EXPECT_NE(std::string::npos, report.find("\"device\": \"kestrel_d3\""));
}

// While another holds the installation's lock, every kind of batch ends at once: status 11, one line on
// standard error naming the holder, nothing built and no report. Once the lock is free a batch runs again.
TEST_F(BatchRun, BatchFindingTheInstallationLockedEndsAtOnceNamingTheHolder) {
    const std::string programmer = installation + "devdb/programmer/";
    const std::string lock_file = programmer + "batch.lock";
    std::filesystem::create_directories(programmer);
    depot("devices/kestrel/kestrel_d3");
    {
        FIO_LOCK_FILE running;
        std::string holder;
        ASSERT_TRUE(running.try_lock(lock_file, "process 4242 (build_brix -all_brix)", holder));
        for (const std::string batch : {"all_rba", "all_brix", "all_pcf", "all_cram_map", "all_fid"}) {
            SCOPED_TRACE(batch);
            COMMAND_RESULT r = run("-" + batch + " kestrel");
            EXPECT_EQ(BRIX_BATCH_BUSY_STATUS, r.status);
            EXPECT_EQ("Another batch runs on this installation: process 4242 (build_brix -all_brix) holds " +
                          lock_file + "; -" + batch + " does not start\n",
                      r.err);
            EXPECT_EQ("", r.out);
            EXPECT_FALSE(std::filesystem::exists(programmer + batch + "_report.json"));
        }
        EXPECT_FALSE(std::filesystem::exists(base + "/p4")) << "no row ran";
    }
    COMMAND_RESULT r = run("-all_brix kestrel");
    EXPECT_EQ(BRIX_BATCH_FAILED_STATUS, r.status) << r.err;
    EXPECT_NE(std::string::npos, read_text_file(lock_file).find("(build_brix -all_brix)\n"));
    FIO_LOCK_FILE after;
    std::string holder;
    EXPECT_TRUE(after.try_lock(lock_file, "test", holder)) << "the lock ends with its batch";
}

// Two batches of the executable on one installation: the second, started while the first waits inside a
// row's fetch, ends at once naming the first one's process; the first then runs to its end.
TEST_F(BatchRun, SecondBatchOnOneInstallationEndsAtOnce) {
    depot("devices/kestrel/kestrel_d3");
    // A fetch that waits until the test opens the gate, then fails.
    const std::string bin = dir.path() + "/bin";
    std::filesystem::create_directories(bin);
    const std::string gate = dir.path() + "/gate";
    write_text_file(bin + "/dpx", "#!/bin/sh\ntouch " + thr_shell_quote(gate + ".reached") +
                                      "\nwhile [ ! -e " + thr_shell_quote(gate) +
                                      " ]; do sleep 0.05; done\nexit 1\n");
    std::filesystem::permissions(bin + "/dpx", std::filesystem::perms::owner_all);
    const std::string environment = "cd " + thr_shell_quote(dir.path()) + " && PATH=" + thr_shell_quote(bin) +
                                    ":\"$PATH\" BRIX_VANTREL_PATH=" + thr_shell_quote(installation) + " ";
    ASSERT_EQ(0, run_command("(" + environment + BRIX_EXE + " -all_brix kestrel; echo $? > " +
                             thr_shell_quote(dir.path() + "/first.status") + ") >/dev/null 2>&1 &")
                     .status);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!std::filesystem::exists(gate + ".reached") && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(std::filesystem::exists(gate + ".reached"));

    const std::string lock_file = installation + "devdb/programmer/batch.lock";
    const std::string holder = read_text_file(lock_file);
    EXPECT_EQ(0u, holder.find("process ")) << holder;
    COMMAND_RESULT second = run_command(environment + BRIX_EXE + " -all_fid");
    EXPECT_EQ(BRIX_BATCH_BUSY_STATUS, second.status);
    EXPECT_EQ("Another batch runs on this installation: " + holder.substr(0, holder.size() - 1) + " holds " +
                  lock_file + "; -all_fid does not start\n",
              second.err);

    write_text_file(gate, "");
    while (!std::filesystem::exists(dir.path() + "/first.status") &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(std::to_string(BRIX_BATCH_FAILED_STATUS) + "\n", read_text_file(dir.path() + "/first.status"));
}

// Without any PGM RBA database the CRAM map builds write nothing: each row fails.
TEST_F(BatchRun, CramMapRowsThatWroteNothingFail) {
    COMMAND_RESULT r = run("-all_cram_map");
    EXPECT_NE(std::string::npos, r.out.find("   None of the PGM RBA is ready\n")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("Batch report all_cram_map: 0 Pass, 2 Fail\n")) << r.out;
    EXPECT_EQ(BRIX_BATCH_FAILED_STATUS, r.status) << r.err;
}

// Every slate row finds its RBA file in the source tree, but only the first row's fetch succeeds (the others
// have no depot directory): their databases are built, and they fail.
TEST_F(BatchRun, RbaRowsWhoseFetchFailsFail) {
    const std::string rba =
        read_text_file(std::string(BRIX_SOURCE_DIR) + "/samples/vantrel/rba/slate_d1.rba");
    const std::string tree = base + "/p4/vantrel/devices/slate/";
    for (int m = 1; m <= 7; ++m) {
        const std::string name = "slate_m" + std::to_string(m);
        const std::string directory = m == 1 ? depot("devices/slate/" + name) : tree + name;
        std::filesystem::create_directories(directory);
        gzFile out = gzopen((directory + "/" + name + ".rbaz").c_str(), "wb");
        ASSERT_NE(nullptr, out);
        ASSERT_EQ(int(rba.size()), gzwrite(out, rba.data(), unsigned(rba.size())));
        ASSERT_EQ(Z_OK, gzclose(out));
    }
    COMMAND_RESULT r = run("-all_rba slate");
    EXPECT_NE(std::string::npos, r.out.find("Batch report all_rba: 1 Pass, 6 Fail\n")) << r.out << r.err;
    EXPECT_EQ(BRIX_BATCH_FAILED_STATUS, r.status) << r.err;
    EXPECT_TRUE(std::filesystem::exists(installation + "devdb/programmer/fid/SLATE_D2.pgm_rba"));
    const std::string report = read_text_file(installation + "devdb/programmer/all_rba_report.json");
    EXPECT_NE(std::string::npos, report.find("\"fail\": 6")) << report;
}

TEST_F(BatchRun, InstallationOutsideAWrikTreeIsRefused) {
    installation = base + "/vantrel/";
    std::filesystem::create_directories(installation);
    COMMAND_RESULT r = run("-all_rba");
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos,
              r.err.find("directory.rfind(\"/wrik/vantrel/\") == (directory.size() - 14)"));
}

} // namespace
