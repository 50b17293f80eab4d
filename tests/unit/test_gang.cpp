// flint-gang's own parts: reading its command line into one flint command
// line per port, the refusals, log names, and the platform's child processes
// (started with their output in a file, waited for, stopped).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "gang/gang_options.h"
#include "platform/platform.h"

namespace {

using words = std::vector<std::string>;

struct split_case {
    const char* what;
    words in;
    std::vector<words> per_port;  // flint's arguments per port
};

TEST(GangOptions, EachPortGetsItsOwnValuesInPlaceAndEverythingElseUnchanged) {
    const split_case cases[] = {
        {"the task's example",
         {"-c", "COM6,COM7,COM8", "-M", "1", "-e", "-p", "-v", "-A", "0x802000", "-S", "4096", "-F", "app.bin"},
         {{"-c", "COM6", "-M", "1", "-e", "-p", "-v", "-A", "0x802000", "-S", "4096", "-F", "app.bin"},
          {"-c", "COM7", "-M", "1", "-e", "-p", "-v", "-A", "0x802000", "-S", "4096", "-F", "app.bin"},
          {"-c", "COM8", "-M", "1", "-e", "-p", "-v", "-A", "0x802000", "-S", "4096", "-F", "app.bin"}}},
        {"values attached to their letter, letters grouped",
         {"-epcCOM6,COM7", "-x00:11:22:33:44:55,00:11:22:33:44:66", "-A", "0x802000"},
         {{"-epcCOM6", "-x00:11:22:33:44:55", "-A", "0x802000"},
          {"-epcCOM7", "-x00:11:22:33:44:66", "-A", "0x802000"}}},
        {"a grouped letter takes the next word that is no option, as flint reads it",
         {"-rc", "-e", "/dev/pts/3,/dev/pts/4"},
         {{"-rc", "-e", "/dev/pts/3"}, {"-rc", "-e", "/dev/pts/4"}}},
        {"every -c is replaced and the last list counts, as flint's last -c does",
         {"-c", "A,B", "-r", "-c", "C,D", "-F", "c.bin"},
         {{"-c", "C", "-r", "-c", "C", "-F", "c.bin"}, {"-c", "D", "-r", "-c", "D", "-F", "c.bin"}}},
        {"--logs is the gang's own and goes to no flint",
         {"--logs", "out", "-c", "COM6", "-r", "--logs=out2"}, {{"-c", "COM6", "-r"}}},
    };
    for (const split_case& c : cases) {
        SCOPED_TRACE(c.what);
        gang_job job;
        ASSERT_EQ(gang_read_options(c.in, &job), "");
        ASSERT_EQ(job.ports.size(), c.per_port.size());
        for (size_t i = 0; i < c.per_port.size(); ++i) EXPECT_EQ(job.ports[i].args, c.per_port[i]) << i;
    }
    gang_job job;
    ASSERT_EQ(gang_read_options({"--logs", "out", "-c", "COM6", "-r", "--logs=out2"}, &job), "");
    EXPECT_EQ(job.logs_dir, "out2");
    ASSERT_EQ(gang_read_options({"-c", "COM6,COM7", "-r", "-x", "aa:bb:cc:dd:ee:01,aa:bb:cc:dd:ee:02"}, &job), "");
    EXPECT_EQ(job.ports[1].port, "COM7");
    EXPECT_EQ(job.ports[1].address, "aa:bb:cc:dd:ee:02");
}

TEST(GangOptions, RefusedCommandLines) {
    std::string many;
    for (int i = 1; i <= 65; ++i) many += (i > 1 ? "," : "") + std::string("COM") + std::to_string(i);
    std::string sixty_four = many.substr(0, many.rfind(','));
    const std::pair<words, std::string> cases[] = {
        {{"-c", "COM6,COM7", "-i"}, "flint-gang: -i (the interactive shell) cannot run in a gang\n"},
        {{"-ic", "COM6"}, "flint-gang: -i (the interactive shell) cannot run in a gang\n"},
        {{"-e", "-A", "0x802000", "-S", "4096"}, "flint-gang: give the ports with -c PORT1,PORT2,...\n"},
        {{}, "flint-gang: give the ports with -c PORT1,PORT2,...\n"},
        {{"-c", "COM6,,COM7", "-r"}, "flint-gang: -c COM6,,COM7 holds an empty port name\n"},
        {{"-c", "COM6,", "-r"}, "flint-gang: -c COM6, holds an empty port name\n"},
        {{"-c", "", "-r"}, "flint-gang: -c  holds an empty port name\n"},
        {{"-c", "COM6,COM7,com6", "-r"}, "flint-gang: port com6 is given twice\n"},
        {{"-c", "/dev/pts/3,/dev/pts/3", "-r"}, "flint-gang: port /dev/pts/3 is given twice\n"},
        {{"-c", many, "-r"}, "flint-gang: 65 ports given, at most 64 can run in one gang\n"},
        {{"-c", "COM6,COM7", "-x", "00:11:22:33:44:55"},
         "flint-gang: -x gives 1 addresses for 2 ports: one per port is needed\n"},
        {{"-c", "COM6", "-x", "00:11:22:33:44:55,00:11:22:33:44:66"},
         "flint-gang: -x gives 2 addresses for 1 ports: one per port is needed\n"},
        {{"-c", "COM6,COM7", "-x", "00:11:22:33:44:55,00:11:22:33:44:55"},
         "flint-gang: address 00:11:22:33:44:55 is given twice: every module needs its own\n"},
        {{"-c", "COM6,COM7", "-x", "aa:11:22:33:44:55,AA:11:22:33:44:55"},
         "flint-gang: address AA:11:22:33:44:55 is given twice: every module needs its own\n"},
        {{"-c", "COM6,COM7", "-x", ",00:11:22:33:44:55"}, "flint-gang: -x ,00:11:22:33:44:55 holds an empty address\n"},
        {{"-c", "COM6", "-r", "--logs"}, "flint-gang: --logs needs a folder\n"},
        {{"-c", "COM6", "-r", "--logs="}, "flint-gang: --logs needs a folder\n"},
    };
    for (const auto& c : cases) {
        gang_job job;
        EXPECT_EQ(gang_read_options(c.first, &job), c.second) << c.first.size();
    }
    gang_job job;
    EXPECT_EQ(gang_read_options({"-c", sixty_four, "-r"}, &job), "");
    EXPECT_EQ(job.ports.size(), 64u);
    EXPECT_EQ(gang_read_options({"-c", "COM6", "-h", "-i"}, &job), "");
    EXPECT_TRUE(job.help);
}

TEST(GangOptions, LogNamesAreFileNamesOfTheirOwn) {
    EXPECT_EQ(gang_log_name("COM6", {}), "COM6");
    EXPECT_EQ(gang_log_name("/dev/pts/3", {}), "dev_pts_3");
    EXPECT_EQ(gang_log_name("\\\\.\\COM12", {}), "COM12");
    EXPECT_EQ(gang_log_name("/dev/a_b", {"dev_a_b"}), "dev_a_b-2");
    EXPECT_EQ(gang_log_name("/dev/a:b", {"dev_a_b", "dev_a_b-2"}), "dev_a_b-3");
    EXPECT_EQ(gang_log_name("com6", {"COM6"}), "com6-2");
    EXPECT_EQ(gang_log_name("///", {}), "port");
    gang_job job;
    ASSERT_EQ(gang_read_options({"-c", "/dev/a/b,/dev/a_b", "-r"}, &job), "");
    EXPECT_EQ(job.ports[0].log_name, "dev_a_b");
    EXPECT_EQ(job.ports[1].log_name, "dev_a_b-2");
}

std::string temp_folder() {
    const char* base = std::getenv("FLINT_TEST_TMP");
    std::string dir = std::string(base != nullptr ? base : "/tmp") + "/gang_children";
    plat_make_dir(base != nullptr ? base : "/tmp");
    plat_make_dir(dir.c_str());
    return dir;
}

std::string file_text(const std::string& path) {
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

plat_child_handle start_shell(const std::string& script, const std::string& out,
                              std::vector<std::pair<std::string, std::string>> env = {}, std::string temp = "") {
    plat_child_launch launch;
    launch.program = "/bin/sh";
    launch.args = {"sh", "-c", script};
    launch.env = std::move(env);
    launch.temp_dir = std::move(temp);
    launch.output_path = out;
    std::string error;
    plat_child_handle child = plat_child_start(launch, &error);
    EXPECT_NE(child, nullptr) << error;
    return child;
}

TEST(GangChildren, OutputInOrderExitCodesEnvironmentAndTheFirstToEnd) {
    plat_children_init();
    const std::string dir = temp_folder();
    plat_child_handle children[3] = {
        start_shell("sleep 0.4; echo slow; exit 7", dir + "/slow.log"),
        start_shell("echo out1; echo err1 >&2; echo out2; echo \"$FLINT_TRACE $TMPDIR\"; read x; echo \"in:$x\"",
                    dir + "/fast.log", {{"FLINT_TRACE", "t.trace"}}, "/tmp/own/"),
        start_shell("exec sleep 30", dir + "/stopped.log"),
    };
    size_t ended = 99;
    ASSERT_EQ(plat_children_wait(children, 3, 5000, &ended), PLAT_WAIT_ENDED);
    EXPECT_EQ(ended, 1u);
    plat_child_status st{};
    ASSERT_TRUE(plat_child_status_of(children[1], &st));
    EXPECT_TRUE(st.exited);
    EXPECT_EQ(st.code, 0);
    EXPECT_EQ(file_text(dir + "/fast.log"), "out1\nerr1\nout2\nt.trace /tmp/own/\nin:\n");
    plat_child_release(children[1]);
    children[1] = nullptr;

    ASSERT_EQ(plat_children_wait(children, 3, 5000, &ended), PLAT_WAIT_ENDED);
    EXPECT_EQ(ended, 0u);
    ASSERT_TRUE(plat_child_status_of(children[0], &st));
    EXPECT_EQ(st.code, 7);
    plat_child_release(children[0]);
    children[0] = nullptr;

    // A time-out while the last one runs, then it is stopped.
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(plat_children_wait(children, 3, 200, &ended), PLAT_WAIT_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(190));
    EXPECT_FALSE(plat_child_status_of(children[2], &st));
    plat_child_stop(children[2], false);
    ASSERT_EQ(plat_children_wait(children, 3, 5000, &ended), PLAT_WAIT_ENDED);
    ASSERT_TRUE(plat_child_status_of(children[2], &st));
    EXPECT_FALSE(st.exited);
    EXPECT_EQ(st.signal, 15);
    plat_child_release(children[2]);
}

TEST(GangChildren, UnstartableChildrenAreReported) {
    plat_child_launch launch;
    launch.program = "/no/such/flint";
    launch.args = {"flint"};
    launch.output_path = temp_folder() + "/none.log";
    std::string error;
    EXPECT_EQ(plat_child_start(launch, &error), nullptr);
    EXPECT_NE(error.find("/no/such/flint"), std::string::npos) << error;
    launch.program = "/bin/true";
    launch.output_path = "/no/such/folder/x.log";
    EXPECT_EQ(plat_child_start(launch, &error), nullptr);
    EXPECT_NE(error.find("/no/such/folder/x.log"), std::string::npos) << error;
}

}  // namespace
