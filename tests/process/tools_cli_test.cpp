// The command-line tools answer a person as such tools do: --version prints
// the one project version, --help the usage, both with exit status 0; bad
// usage is exit status 2.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "orv_version.h"
#include "tools/common/child_process.h"

namespace {

struct Tool {
    const char* name;
    bool refusesUnknownOptions;  // with status 2; the tap passes every argument on to the host
};

void PrintTo(const Tool& tool, std::ostream* os) { *os << tool.name; }

struct ToolRun {
    bool ended = false;
    uint32_t status = 99;
    std::string output;  // standard output, without CRs
};

ToolRun RunTool(const std::string& name, const std::string& arg) {
    ToolRun run;
    ChildProcess child;
    std::string error;
    if (!child.Start(ProgramDirectory() + ExecutableName(name), {arg}, {}, &error)) {
        run.output = error;
        return run;
    }
    child.CloseInput();
    std::string raw;
    run.ended = child.ReadToEnd(&raw, 20000) && child.Wait(20000, &run.status);
    for (char c : raw) {
        if (c != '\r') run.output += c;
    }
    return run;
}

class ToolCliTest : public ::testing::TestWithParam<Tool> {};

TEST_P(ToolCliTest, VersionHelpAndBadUsage) {
    const std::string name = GetParam().name;
    ToolRun version = RunTool(name, "--version");
    ASSERT_TRUE(version.ended) << version.output;
    EXPECT_EQ(version.status, 0u);
    EXPECT_EQ(version.output, name + " " ORV_VERSION "\n");

    ToolRun help = RunTool(name, "--help");
    ASSERT_TRUE(help.ended) << help.output;
    EXPECT_EQ(help.status, 0u);
    EXPECT_EQ(help.output.rfind("Usage: " + name, 0), 0u) << help.output;
    EXPECT_EQ(RunTool(name, "-h").output, help.output);

    if (GetParam().refusesUnknownOptions) {
        ToolRun bad = RunTool(name, "--no-such-option");
        ASSERT_TRUE(bad.ended) << bad.output;
        EXPECT_EQ(bad.status, 2u);
    }
}

INSTANTIATE_TEST_SUITE_P(Tools, ToolCliTest,
                         ::testing::Values(Tool{"orvendel-log", true}, Tool{"orvendel-agent", true},
                                           Tool{"orvendel-tap", false}, Tool{"orvendel-demo", true},
                                           Tool{"orvendel-doctor", true},
                                           // Its own failures have a status of their own (125).
                                           Tool{"orv-launcher", false}),
                         [](const ::testing::TestParamInfo<Tool>& info) {
                             std::string name;
                             for (const char* c = info.param.name; *c != 0; ++c) {
                                 if (*c != '-') name += *c;
                             }
                             return name;
                         });

}  // namespace
