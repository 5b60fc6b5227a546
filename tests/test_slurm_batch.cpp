// The Slurm back end of the batches: how a job's end becomes Pass or Fail, the status line, the refusal of a
// scheduler that is not there (suite Batch), and rows run as jobs of a real one-node Slurm (suite
// SlurmBatch, which tools/run_tests.sh runs with tools/slurm_local.sh started; skipped when no controller
// answers).
#include "batch/batch_progress.h"
#include "batch/slurm_backend.h"
#include "test_support.h"
#include "thr.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

namespace {

TEST(Batch, SlurmJobEndGivesPassOrFailWithItsReason) {
    struct CASE {
        const char* state;
        const char* exit_code;
        bool finished;
        bool queued;
        bool pass;
        const char* reason;
    } cases[] = {
        {"PENDING", "0:0", false, true, false, ""},
        {"CONFIGURING", "0:0", false, true, false, ""},
        {"RUNNING", "0:0", false, false, false, ""},
        {"COMPLETING", "0:0", false, false, false, ""},
        {"COMPLETED", "0:0", true, false, true, ""},
        {"COMPLETED", "", true, false, true, ""},
        {"FAILED", "1:0", true, false, false, "exit status 1"},
        {"FAILED", "0:9", true, false, false, "killed by signal 9"},
        {"CANCELLED", "0:15", true, false, false, "cancelled"},
        {"CANCELLED by 0", "0:0", true, false, false, "cancelled"},
        {"TIMEOUT", "0:0", true, false, false, "time limit"},
        {"NODE_FAIL", "0:0", true, false, false, "node lost"},
        {"OUT_OF_MEMORY", "0:125", true, false, false, "out of memory"},
        {"SOMETHING_NEW", "0:0", true, false, false, "job ended something_new"},
    };
    for (const CASE& c : cases) {
        BRIX_SLURM_END end = brix_slurm_job_end(c.state, c.exit_code);
        EXPECT_EQ(c.finished, end.finished) << c.state;
        EXPECT_EQ(c.queued, end.queued) << c.state;
        EXPECT_EQ(c.pass, end.pass) << c.state;
        EXPECT_EQ(c.reason, end.reason) << c.state;
    }
}

TEST(Batch, SlurmOptionsAreWordsAndTheJobFileHoldsTheRowAsData) {
    EXPECT_EQ((std::vector<std::string>{"--partition=big", "--time=10", "--mem=4G"}),
              brix_slurm_split_options("  --partition=big\t--time=10 --mem=4G "));
    EXPECT_TRUE(brix_slurm_split_options("").empty());
    // Every word of the row reaches the job as a JSON string, whatever characters it holds.
    const BRIX_BATCH_ROW row = {"slate", "dir with \"quotes\" and $(x)", "*xml *rbaz", "slate_d1"};
    const std::string job = brix_slurm_encode_job("all_brix", "/r/p4/vantrel/", row);
    EXPECT_NE(std::string::npos, job.find("\"directory\": \"dir with \\\"quotes\\\" and $(x)\"")) << job;
    EXPECT_NE(std::string::npos, job.find("\"source\": \"*xml *rbaz\""));
    EXPECT_NE(std::string::npos, job.find("\"batch\": \"all_brix\""));
}

TEST(Batch, ProgressLineText) {
    EXPECT_EQ("rows: 3 done, 8 running, 1 failed of 34; 12 s",
              BRIX_BATCH_PROGRESS::text(3, 8, 1, 0, 34, false, 12.7));
    EXPECT_EQ("rows: 0 done, 2 running, 0 failed, 32 queued of 34; 0 s",
              BRIX_BATCH_PROGRESS::text(0, 2, 0, 32, 34, true, 0.2));
}

// A small installation and a batch run of the executable with a chosen environment.
class SchedulerRun : public testing::Test {
  protected:
    void SetUp() override {
        base = dir.path() + "/a b;$(touch PWNED)'q\"`";
        installation = base + "/wrik/vantrel/";
        std::filesystem::create_directories(installation + "devdb");
        std::filesystem::copy_file(std::string(BRIX_SOURCE_DIR) + "/samples/vantrel/devdb/device_table.json",
                                   installation + "devdb/device_table.json");
        std::filesystem::create_directories(base + "/depot/vantrel/devices/kestrel/kestrel_d3");
    }
    // environment: assignments put before the executable (already quoted).
    COMMAND_RESULT run(const std::string& environment, const std::string& arguments) {
        return run_command("cd " + thr_shell_quote(dir.path()) +
                           " && PATH=" + thr_shell_quote(std::string(BRIX_SOURCE_DIR) + "/tools/sample_bin") +
                           ":\"$PATH\" BRIX_VANTREL_PATH=" + thr_shell_quote(installation) + " " +
                           environment + " " + BRIX_EXE + " " + arguments);
    }
    std::string report(const std::string& batch) {
        return installation + "devdb/programmer/" + batch + "_report.json";
    }
    TEMP_DIR dir;
    std::string base;
    std::string installation;
};

TEST_F(SchedulerRun, SchedulerThatIsNotThereStopsTheBatchBeforeAnyRow) {
    // A controller that does not answer: a configuration naming a port where nothing listens.
    const std::string conf = dir.file("slurm.conf");
    write_text_file(conf, "ClusterName=nowhere\nSlurmctldHost=localhost(127.0.0.1)\nSlurmctldPort=1\n"
                          "AuthType=auth/none\nNodeName=n1 NodeAddr=127.0.0.1\n"
                          "PartitionName=p Nodes=n1 Default=YES\n");
    const std::string empty_path = dir.path() + "/empty_bin";
    std::filesystem::create_directories(empty_path);
    struct CASE {
        std::string environment;
        std::string arguments;
        const char* message; // start of the one line on standard error
        int status;
    } cases[] = {
        {"BRIX_BATCH_SCHEDULER=slurm PATH=" + thr_shell_quote(empty_path), "-all_brix kestrel",
         "build_brix: Slurm scheduler not available: sbatch not found on PATH", BRIX_BATCH_SCHEDULER_STATUS},
        {"BRIX_BATCH_SCHEDULER=cron", "-all_rba", "build_brix: unknown batch scheduler \"cron\"",
         BRIX_BATCH_SCHEDULER_STATUS},
        {"BRIX_BATCH_SCHEDULER=slurm SLURM_CONF=" + thr_shell_quote(conf), "-all_fid",
         "build_brix: Slurm scheduler not available: the controller does not answer",
         BRIX_BATCH_SCHEDULER_STATUS},
    };
    const bool have_client = run_command("command -v scontrol").status == 0;
    for (const CASE& c : cases) {
        if (c.arguments == "-all_fid" && !have_client)
            continue; // the controller check needs the Slurm client commands
        COMMAND_RESULT r = run(c.environment, c.arguments);
        EXPECT_EQ(c.status, r.status) << c.environment;
        EXPECT_EQ(0u, r.err.find(c.message)) << r.err;
        EXPECT_EQ(1, std::count(r.err.begin(), r.err.end(), '\n')) << r.err; // one line, no status line
        EXPECT_EQ("", r.out);
        // Nothing started, nothing written.
        EXPECT_FALSE(std::filesystem::exists(base + "/p4"));
        EXPECT_FALSE(std::filesystem::exists(installation + "devdb/programmer"));
    }
}

// Rows as jobs of a running Slurm (SLURM_CONF names its configuration).
class SlurmBatch : public SchedulerRun {
  protected:
    void SetUp() override {
        if (std::getenv("SLURM_CONF") == nullptr ||
            run_command("scontrol ping").out.find("is UP") == std::string::npos)
            GTEST_SKIP() << "no Slurm controller (tools/slurm_local.sh start)";
        SchedulerRun::SetUp();
    }
};

TEST_F(SlurmBatch, FailingRowIsFailWithTheJobsExitStatus) {
    COMMAND_RESULT r = run("BRIX_BATCH_SCHEDULER=slurm", "-all_brix kestrel");
    const std::string row = base + "/p4/vantrel/devices/kestrel/kestrel_d3";
    const std::string line =
        "mkdir \"" + row + "\" & cd \"" + row + "\" & dpx sync *xml & pwd & build_brix -device kestrel_d3";
    EXPECT_EQ(BRIX_BATCH_FAILED_STATUS, r.status) << r.err;
    EXPECT_EQ(0u, r.out.find("CMD 0 : " + line + "\n\n")) << r.out;
    // The job's own output (the pwd step, then the build) comes before its end line.
    const size_t pwd = r.out.find("\n" + row + "\n");
    const size_t end = r.out.find("Thread cmd: " + line + " => Fail\n");
    EXPECT_NE(std::string::npos, pwd) << r.out;
    EXPECT_NE(std::string::npos, end) << r.out;
    EXPECT_LT(pwd, end);
    EXPECT_NE(std::string::npos, r.out.find("(exit status 1)")) << r.out;
    const std::string json = read_text_file(report("all_brix"));
    EXPECT_NE(std::string::npos, json.find("\"reason\": \"exit status 1\"")) << json;
    EXPECT_NE(std::string::npos, json.find("\"job_id\": \"")) << json;
    EXPECT_EQ(std::string::npos, json.find("\"node\": \"\"")) << json;
    EXPECT_FALSE(std::filesystem::exists(dir.path() + "/PWNED"));
    EXPECT_FALSE(std::filesystem::exists(row + "/PWNED"));
    // The job files are gone with the batch.
    for (const auto& entry : std::filesystem::directory_iterator(installation + "devdb/programmer"))
        EXPECT_EQ(std::string::npos, entry.path().filename().string().find(".slurm_")) << entry.path();
}

TEST_F(SlurmBatch, CancelledJobIsFail) {
    // The job is held back a minute, and cancelled while it waits.
    COMMAND_RESULT r;
    std::thread batch([&] {
        r = run("BRIX_BATCH_SCHEDULER=slurm BRIX_SLURM_OPTIONS='--begin=now+60'", "-all_brix kestrel");
    });
    std::string id;
    for (int i = 0; i < 200 && id.empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        COMMAND_RESULT q =
            run_command("squeue --noheader --states=PENDING --name=brix_all_brix_kestrel_d3 --format=%i");
        id = q.out.substr(0, q.out.find('\n'));
    }
    ASSERT_FALSE(id.empty());
    run_command("scancel " + id);
    batch.join();
    EXPECT_EQ(BRIX_BATCH_FAILED_STATUS, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.out.find(" => Fail\n")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("job " + id + " on -  (cancelled)\n")) << r.out;
    EXPECT_NE(std::string::npos, read_text_file(report("all_brix")).find("\"reason\": \"cancelled\""));
}

TEST_F(SlurmBatch, InterruptedBatchCancelsItsJobs) {
    COMMAND_RESULT r;
    std::thread batch([&] {
        r = run("BRIX_BATCH_SCHEDULER=slurm BRIX_SLURM_OPTIONS='--begin=now+60' exec",
                "-all_rba talon & echo $! >" + thr_shell_quote(dir.file("pid")) + "; wait $!");
    });
    // All eight talon rows are submitted before the batch waits.
    std::string listed;
    for (int i = 0; i < 200; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        listed = run_command(
                     "squeue --noheader --states=PENDING --name=brix_all_rba_talon_d1,brix_all_rba_talon_d5 "
                     "--format=%i")
                     .out;
        if (std::count(listed.begin(), listed.end(), '\n') == 2)
            break;
    }
    const std::string pid = read_text_file(dir.file("pid"));
    ASSERT_FALSE(pid.empty());
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    run_command("kill -TERM " + pid);
    batch.join();
    EXPECT_EQ(128 + 15, r.status) << r.out << r.err;
    EXPECT_NE(std::string::npos, r.out.find("Batch report all_rba: 0 Pass, 8 Fail\n")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("(cancelled: batch interrupted)")) << r.out;
    // Its jobs are no longer waiting.
    std::string ids = listed;
    std::replace(ids.begin(), ids.end(), '\n', ',');
    EXPECT_EQ("",
              run_command("squeue --noheader --states=PENDING,RUNNING --jobs=" + ids + " --format=%i").out);
}

} // namespace
