// Unit tests for tamblet's plain decisions: how the --resume and --backend
// arguments are judged, how state readings read, and how results fold into
// the exit status.
#include "requests.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

namespace {

struct resume_case {
    const char *argument;
    resume_choice expected;
};

class ResumeArgument : public testing::TestWithParam<resume_case> {};

TEST_P(ResumeArgument, IsJudgedByItsBeginning) {
    const resume_case &c = GetParam();
    EXPECT_EQ(judge_resume_argument(c.argument), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Table, ResumeArgument,
                         testing::Values(resume_case{"clean", resume_choice::clean},
                                         resume_case{"cleanup", resume_choice::clean},
                                         resume_case{"modified", resume_choice::modified},
                                         resume_case{"modified-flash", resume_choice::modified},
                                         resume_case{"clea", resume_choice::refused},
                                         resume_case{"modifie", resume_choice::refused},
                                         resume_case{"Clean", resume_choice::refused},
                                         resume_case{"MODIFIED", resume_choice::refused},
                                         resume_case{" clean", resume_choice::refused},
                                         resume_case{"dirty", resume_choice::refused},
                                         resume_case{"--ping", resume_choice::refused},
                                         resume_case{"", resume_choice::refused}));

struct backend_case {
    const char *argument;
    const char *name; // null: refused
    const char *path; // null: no path part
    bool vpnor_given_path;
};

class BackendArgument : public testing::TestWithParam<backend_case> {};

TEST_P(BackendArgument, ChoosesFixedNameAndPathPart) {
    const backend_case &c = GetParam();
    const backend_choice choice = judge_backend_argument(c.argument);
    EXPECT_EQ(choice.vpnor_given_path, c.vpnor_given_path);
    if (c.name == nullptr) {
        EXPECT_EQ(choice.name, nullptr);
    } else {
        ASSERT_NE(choice.name, nullptr);
        EXPECT_STREQ(choice.name, c.name);
    }
    if (c.path == nullptr) {
        EXPECT_EQ(choice.path, nullptr);
    } else {
        ASSERT_NE(choice.path, nullptr);
        EXPECT_STREQ(choice.path, c.path);
        // The path is the argument's own tail, not a copy that could dangle.
        EXPECT_EQ(choice.path, c.argument + std::strlen(c.argument) - std::strlen(c.path));
    }
}

INSTANTIATE_TEST_SUITE_P(Table, BackendArgument,
                         testing::Values(backend_case{"vpnor", "vpnor", nullptr, false},
                                         backend_case{"vpnor-partitions", "vpnor", nullptr, false},
                                         backend_case{"vpnor:/var/pnor", nullptr, nullptr, true},
                                         backend_case{"vpnorx:", nullptr, nullptr, true},
                                         backend_case{"mtd", "mtd", nullptr, false},
                                         backend_case{"mtdblock", "mtd", nullptr, false},
                                         backend_case{"mtd:/dev/mtd6", "mtd", "/dev/mtd6", false},
                                         backend_case{"mtd:", "mtd", "", false},
                                         backend_case{"file", "file", nullptr, false},
                                         backend_case{"file:image.bin", "file", "image.bin", false},
                                         backend_case{"file:/a:b", "file", "/a:b", false},
                                         backend_case{"File:/a", nullptr, nullptr, false},
                                         backend_case{"MTD", nullptr, nullptr, false},
                                         backend_case{"fil", nullptr, nullptr, false},
                                         backend_case{"nfs:/export", nullptr, nullptr, false},
                                         backend_case{":/x", nullptr, nullptr, false},
                                         backend_case{"", nullptr, nullptr, false}));

struct reading_case {
    std::uint8_t value;
    const char *text;
};

class DaemonStateReading : public testing::TestWithParam<reading_case> {};

TEST_P(DaemonStateReading, ReadsAsText) {
    const reading_case &c = GetParam();
    EXPECT_STREQ(daemon_state_text(c.value), c.text);
}

INSTANTIATE_TEST_SUITE_P(Table, DaemonStateReading,
                         testing::Values(reading_case{0, "Active"}, reading_case{1, "Suspended"},
                                         reading_case{2, "Suspended"},
                                         reading_case{255, "Suspended"}));

class LpcStateReading : public testing::TestWithParam<reading_case> {};

TEST_P(LpcStateReading, ReadsAsText) {
    const reading_case &c = GetParam();
    EXPECT_STREQ(lpc_state_text(c.value), c.text);
}

INSTANTIATE_TEST_SUITE_P(Table, LpcStateReading,
                         testing::Values(reading_case{0, "Invalid System State"},
                                         reading_case{1, "Flash Device"},
                                         reading_case{2, "BMC Memory"},
                                         reading_case{3, "Invalid System State"},
                                         reading_case{255, "Invalid System State"}));

struct status_case {
    int bus_result;
    int folded;
    int exit_status;
};

class ResultFolding : public testing::TestWithParam<status_case> {};

TEST_P(ResultFolding, KeepsFailuresAndTheirLowByte) {
    const status_case &c = GetParam();
    EXPECT_EQ(fold_result(c.bus_result), c.folded);
    EXPECT_EQ(exit_status(fold_result(c.bus_result)), c.exit_status);
}

INSTANTIATE_TEST_SUITE_P(Table, ResultFolding,
                         testing::Values(status_case{0, 0, 0}, status_case{1, 0, 0},
                                         status_case{42, 0, 0}, status_case{-1, -1, 255},
                                         status_case{-2, -2, 254}, status_case{-22, -22, 234},
                                         status_case{-110, -110, 146},
                                         status_case{-113, -113, 143}));

} // namespace
