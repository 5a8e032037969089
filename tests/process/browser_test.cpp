// Browser detection and the named events, with real launcher processes named
// after the browsers as the host's ancestors.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "bridge/profiles.h"
#include "support/handles.h"
#include "tests/support/host_fixture.h"
#include "tools/common/wide.h"

namespace {

// The image name the host logs for a launcher: lowercased, as the platform names it.
std::string Image(const std::string& name) {
    std::string image = ExecutableName(name);
    std::transform(image.begin(), image.end(), image.begin(), [](char c) { return static_cast<char>(tolower(c)); });
    return image;
}

bool HasFile(const HostLog& log, const std::string& suffix) {
    for (const std::string& file : log.files) {
        if (file.size() >= suffix.size() && file.compare(file.size() - suffix.size(), suffix.size(), suffix) == 0) {
            return true;
        }
    }
    return false;
}

class BrowserTest : public HostTest {
protected:
    // Runs a host under the ancestors to its end; its first frame is refused.
    // What the host and its launchers wrote to standard error is in errors.
    HostExit RunUnder(const std::vector<std::string>& ancestors) {
        // In the test's own Windows folder: under Wine the launchers' folder
        // is the build's, shared by the tests that run side by side.
        const std::string path = folder.WindowsDir() + "/stderr.txt";
        host.Child().SetErrorFile(path);
        EXPECT_TRUE(StartHost({}, ancestors));
        host.SendFrame("x");  // a host that refuses to start may be gone already
        HostExit exit = host.Finish();
        std::ifstream file(path, std::ios::binary);
        errors.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
        return exit;
    }
    std::vector<std::string> ParentLines(const HostLog& log) {
        return MessagesStartingWith(log, 0, "[CheckBrowser] wszParentProcess=");
    }
    static std::string NoBrowserLine(const std::string& parent) {
        return "orvendel_host: no ancestor process is Chrome or Edge (parent process: " + Image(parent) +
               "); exiting\n";
    }

    std::string errors;
};

TEST_F(BrowserTest, ChromeParent) {
    HostExit exit = RunUnder({"chrome"});
    EXPECT_TRUE(EndedWithReplies(exit, 2));
    HostLog log = Log();
    EXPECT_EQ(ParentLines(log), std::vector<std::string>{"[CheckBrowser] wszParentProcess=" + Image("chrome")})
        << DescribeLog(log);
    EXPECT_EQ(CountMessage(log, 0, "[CheckBrowser] BroswerType = CHROME_BROSWER"), 1u);
    EXPECT_TRUE(HasFile(log, "_Orvendel.log"));
    EXPECT_TRUE(HasFile(log, "_Orvendel_chrome.log"));
    EXPECT_FALSE(HasFile(log, "_Orvendel_edge.log"));
    EXPECT_EQ(errors, "");
}

TEST_F(BrowserTest, EdgeThroughAnIntermediateProcess) {
    HostExit exit = RunUnder({"msedge", "cmd"});
    EXPECT_TRUE(EndedWithReplies(exit, 2));
    HostLog log = Log();
    EXPECT_EQ(ParentLines(log), (std::vector<std::string>{"[CheckBrowser] wszParentProcess=" + Image("cmd"),
                                                          "[CheckBrowser] wszParentProcess=" + Image("msedge")}))
        << DescribeLog(log);
    EXPECT_EQ(CountMessage(log, 0, "[CheckBrowser] BroswerType = MSEDGE_PROC"), 1u);
    EXPECT_TRUE(HasFile(log, "_Orvendel_edge.log"));
}

TEST_F(BrowserTest, MixedCaseNameAndTheNearestBrowserDecides) {
    HostExit exit = RunUnder({"msedge", "Chrome"});
    EXPECT_TRUE(EndedWithReplies(exit, 2));
    HostLog log = Log();
    EXPECT_EQ(ParentLines(log), std::vector<std::string>{"[CheckBrowser] wszParentProcess=" + Image("chrome")})
        << DescribeLog(log);
    EXPECT_EQ(CountMessage(log, 0, "[CheckBrowser] BroswerType = CHROME_BROSWER"), 1u);
}

#if !defined(_WIN32)
TEST_F(BrowserTest, ChromiumCountsAsChrome) {
    HostExit exit = RunUnder({"chromium"});
    EXPECT_TRUE(EndedWithReplies(exit, 2));
    EXPECT_EQ(CountMessage(Log(), 0, "[CheckBrowser] BroswerType = CHROME_BROSWER"), 1u);
}

// A standard descriptor closed by the parent: without standard input or
// output the host ends with its one line, before any frame; nothing it opens
// takes the closed number, so no frame goes into a file of its own.
struct ClosedDescriptor {
    const char* launcher;
    const char* line;  // empty: the host serves, and refuses the test's frame
};

void PrintTo(const ClosedDescriptor& c, std::ostream* os) { *os << c.launcher; }

class ClosedDescriptorTest : public BrowserTest, public ::testing::WithParamInterface<ClosedDescriptor> {};

TEST_P(ClosedDescriptorTest, EndsWithItsLineOrServes) {
    const ClosedDescriptor& c = GetParam();
    const bool serves = *c.line == '\0';
    HostExit exit = RunUnder({c.launcher});
    EXPECT_TRUE(EndedWithReplies(exit, serves ? 2 : 0));
    EXPECT_EQ(errors, c.line);
    HostLog log = Log();
    const std::vector<std::string> logged = serves ? std::vector<std::string>{"Parse Error!!", "Request data length is 0"}
                                                   : std::vector<std::string>{"_setmode Failed : 6"};
    EXPECT_EQ(Messages(log, 2), logged) << DescribeLog(log);
    EXPECT_EQ(CountMessage(log, 0, "[CheckBrowser] BroswerType = CHROME_BROSWER"), 1u) << DescribeLog(log);
}

INSTANTIATE_TEST_SUITE_P(
    Parents, ClosedDescriptorTest,
    ::testing::Values(
        ClosedDescriptor{"chrome+close-input",
                         "orvendel_host: cannot switch standard input to binary mode: error 6; exiting\n"},
        ClosedDescriptor{"chrome+close-output",
                         "orvendel_host: cannot switch standard output to binary mode: error 6; exiting\n"},
        ClosedDescriptor{"chrome+close-error", ""}),
    [](const ::testing::TestParamInfo<ClosedDescriptor>& info) {
        std::string name = info.param.launcher + 7;  // after "chrome+"
        name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
        return name;
    });
#endif

// No browser among the ancestors: one error line, nothing on the output,
// and one line on standard error that names the parent.
TEST_F(BrowserTest, NoBrowserEndsTheHostSilently) {
    HostExit exit = RunUnder({});
    EXPECT_TRUE(EndedWithReplies(exit, 0));
    EXPECT_EQ(errors, NoBrowserLine("process_tests"));
    HostLog log = Log();
    EXPECT_EQ(Messages(log, 2), std::vector<std::string>{"BrowserType ERR"}) << DescribeLog(log);
    EXPECT_EQ(CountMessage(log, 0, "[CheckBrowser] GetParentProcessFileInfoEx2 FALSE"), 1u);
    EXPECT_FALSE(ParentLines(log).empty());  // this test program, its parent, ...
    EXPECT_TRUE(MessagesStartingWith(log, 0, "CreateEventForEveryone()").empty());
    EXPECT_EQ(log.files.size(), 1u);
    EXPECT_TRUE(HasFile(log, "_Orvendel.log"));
}

TEST_F(BrowserTest, AnIntermediateProcessAloneIsNoBrowser) {
    HostExit exit = RunUnder({"cmd"});
    EXPECT_TRUE(EndedWithReplies(exit, 0));
    EXPECT_EQ(errors, NoBrowserLine("cmd"));
    HostLog log = Log();
    EXPECT_EQ(Messages(log, 2), std::vector<std::string>{"BrowserType ERR"}) << DescribeLog(log);
    std::vector<std::string> parents = ParentLines(log);
    ASSERT_FALSE(parents.empty());
    EXPECT_EQ(parents[0], "[CheckBrowser] wszParentProcess=" + Image("cmd"));
}

class EventsTest : public HostTest {
protected:
    // Starts a host and waits until its start-up is over (its first refusal came back).
    void StartServing(const std::vector<std::string>& ancestors = kChromeParent) {
        ASSERT_TRUE(StartHost({}, ancestors));
        ASSERT_TRUE(host.SendFrame("x"));
        std::string reply;
        ASSERT_TRUE(host.ReadFrame(&reply));
        ASSERT_EQ(reply, kReplyBody);
    }
    static std::vector<const WCHAR*> Names(const BrowserProfile& p) {
        return {p.lpszEventResponseUrl,     p.lpszEventRequestUrl,     p.lpszEventForRes,
                p.lpszEventResponseDevtool, p.lpszEventRequestDevtool, p.lpszEventGetDevtoolRes};
    }
};

// The names the agent opens, written out here once; every other test takes
// them from the profiles.
TEST(BrowserProfiles, NamesTheAgentOpens) {
    const std::vector<std::string> chrome = {
        "Orvendel_chrome",           "Global\\ResponseEventForUrl_dg", "Global\\RequestEventForUrl_dg",
        "Global\\geturlbyExtension", "Global\\ResponseEvent_DevTool_dg", "Global\\RequestEvent_DevTool_dg",
        "Global\\IsExistDevtool_dg", "Global\\REQFRAMEURL_LIST",          "Global\\REQFRAMEURL_DEVTOOL",
        "Global\\GETFRAMEURL_LIST",  "Global\\GETFRAMEURL_DEVTOOL"};
    const std::vector<std::string> edge = {
        "Orvendel_edge",                  "Global\\ResponseEventForUrl_edge",   "Global\\RequestEventForUrl_edge",
        "Global\\geturlbyExtension_edge", "Global\\ResponseEvent_DevTool_edge", "Global\\RequestEvent_DevTool_edge",
        "Global\\IsExistDevtool_edge",    "Global\\REQFRAMEURL_LIST_EDGE",      "Global\\REQFRAMEURL_DEVTOOL_EDGE",
        "Global\\GETFRAMEURL_LIST_EDGE",  "Global\\GETFRAMEURL_DEVTOOL_EDGE"};
    auto all = [](const BrowserProfile& p) {
        std::vector<std::string> names;
        for (const WCHAR* name :
             {p.lpszLogName, p.lpszEventResponseUrl, p.lpszEventRequestUrl, p.lpszEventForRes,
              p.lpszEventResponseDevtool, p.lpszEventRequestDevtool, p.lpszEventGetDevtoolRes, p.lpszUrlRequestBlock,
              p.lpszDevtoolRequestBlock, p.lpszUrlResultBlock, p.lpszDevtoolResultBlock}) {
            names.push_back(Utf8(name));
        }
        return names;
    };
    EXPECT_EQ(all(g_ChromeProfile), chrome);
    EXPECT_EQ(all(g_EdgeProfile), edge);
    EXPECT_EQ(SelectBrowserProfile(CHROME_BROSWER), &g_ChromeProfile);
    EXPECT_EQ(SelectBrowserProfile(MSEDGE_PROC), &g_EdgeProfile);
    for (int other : {0, 1, 3, 5, 7, -2}) EXPECT_EQ(SelectBrowserProfile(other), nullptr) << other;
}

TEST_F(EventsTest, SixEventsInOrderThatAnotherProcessOpens) {
    StartServing();
    for (const WCHAR* name : Names(g_ChromeProfile)) {
        UniqueHandle event(OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, name));
        EXPECT_TRUE(event != nullptr) << Utf8(name);
    }
    for (const WCHAR* name : Names(g_EdgeProfile)) {
        UniqueHandle event(OpenEventW(SYNCHRONIZE, FALSE, name));
        EXPECT_TRUE(event == nullptr) << Utf8(name);
    }
    HostExit exit = host.Finish();
    EXPECT_TRUE(EndedWithReplies(exit, 1));
    std::vector<std::string> expected;
    for (const WCHAR* name : Names(g_ChromeProfile)) {
        expected.push_back("CreateEventForEveryone() -> CreateEvent(" + Utf8(name) + ") success");
    }
    HostLog log = Log();
    EXPECT_EQ(MessagesStartingWith(log, 0, "CreateEventForEveryone()"), expected) << DescribeLog(log);
}

TEST_F(EventsTest, AnEventTheAgentMadeFirstIsTakenAsItIs) {
    UniqueHandle early(CreateEventW(nullptr, FALSE, FALSE, g_EdgeProfile.lpszEventForRes));
    ASSERT_TRUE(early != nullptr);
    StartServing({"msedge"});
    // The host's handle is the agent's event: a signal from here stays set
    // for whoever waits on it next, since nobody consumes it.
    ASSERT_TRUE(SetEvent(early.get()));
    UniqueHandle opened(OpenEventW(SYNCHRONIZE, FALSE, g_EdgeProfile.lpszEventForRes));
    ASSERT_TRUE(opened != nullptr);
    EXPECT_EQ(WaitForSingleObject(opened.get(), 5000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(opened.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    HostExit exit = host.Finish();
    EXPECT_TRUE(EndedWithReplies(exit, 1));
    HostLog log = Log();
    EXPECT_EQ(CountMessage(log, 0,
                           "CreateEventForEveryone() -> CreateEvent(Global\\geturlbyExtension_edge) success. But, "
                           "Already EXISTS!"),
              1u)
        << DescribeLog(log);
    EXPECT_EQ(Messages(log, 2), (std::vector<std::string>{"Parse Error!!", "Request data length is 0"}))
        << DescribeLog(log);
}

// A mapping squatting on an event's name makes that event's creation fail:
// the slot stays null and its relay must rest, not spin on a failing wait.
TEST_F(EventsTest, AnEventThatCannotBeCreatedLeavesItsRelayResting) {
    UniqueHandle squatter(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 16,
                                             g_ChromeProfile.lpszEventRequestUrl));
    ASSERT_TRUE(squatter != nullptr);
    StartServing();
    for (int i = 0; i < 20; ++i) {  // the host keeps serving
        ASSERT_TRUE(host.SendFrame("x"));
        std::string reply;
        ASSERT_TRUE(host.ReadFrame(&reply));
    }
    HostLog log = Log();
#if !defined(_WIN32)
    // A second of a spinning thread would show as a second of CPU time.
    ASSERT_FALSE(log.records.empty());
    unsigned long pid = std::stoul(log.records[0].pid, nullptr, 16);
    Sleep(1000);
    FILE* stat = fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
    ASSERT_NE(stat, nullptr);
    char text[1024] = {};
    size_t n = fread(text, 1, sizeof(text) - 1, stat);
    fclose(stat);
    std::string fields(text, n);
    std::istringstream rest(fields.substr(fields.rfind(')') + 2));
    std::string field;
    std::vector<std::string> values;
    while (rest >> field) values.push_back(field);
    ASSERT_GT(values.size(), 13u);
    long ticks = std::stol(values[11]) + std::stol(values[12]);  // utime + stime
    EXPECT_LT(ticks, 50) << "the host used " << ticks << " ticks of CPU";
#endif
    HostExit exit = host.Finish();
    EXPECT_TRUE(EndedWithReplies(exit, 1));
    log = Log();
    EXPECT_EQ(CountMessage(log, 2, "CreateEventForEveryone() -> CreateEvent(Global\\RequestEventForUrl_dg) fails! GetLastError=6"),
              1u)
        << DescribeLog(log);
    // Once at most: it races the other relay's first line, which may make the
    // log drop it.
    EXPECT_LE(CountMessage(log, 2, "hEventRequestUrl is NULL: no request of this channel can be served"), 1u)
        << DescribeLog(log);
}

#if defined(_WIN32)
}  // namespace
#include <aclapi.h>
namespace {

TEST_F(EventsTest, EventsHaveANullDacl) {
    StartServing();
    UniqueHandle event(OpenEventW(READ_CONTROL | SYNCHRONIZE, FALSE, g_ChromeProfile.lpszEventRequestUrl));
    ASSERT_TRUE(event != nullptr);
    PACL dacl = reinterpret_cast<PACL>(1);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(GetSecurityInfo(event.get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                              nullptr, &descriptor),
              static_cast<DWORD>(ERROR_SUCCESS));
    BOOL present = FALSE, defaulted = TRUE;
    PACL read = reinterpret_cast<PACL>(1);
    ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor, &present, &read, &defaulted));
    EXPECT_TRUE(present);
    EXPECT_EQ(read, nullptr);
    EXPECT_EQ(dacl, nullptr);
    LocalFree(descriptor);
    host.Finish();
}
#endif

}  // namespace
