// ChildProcess itself, with the host as the child: every other process test
// stands on these pipes, time-outs and clean-ups.
#include <gtest/gtest.h>

#include "platform/platform.h"
#include "tests/support/host_fixture.h"

#if !defined(_WIN32)
#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#endif

namespace {

bool ProcessAlive(uint32_t pid) {
#if defined(_WIN32)
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | SYNCHRONIZE, FALSE, pid);
    if (process == nullptr) return false;
    bool alive = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return alive;
#else
    return kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH;
#endif
}

bool HasVariable(const char* name) {
#if defined(_WIN32)
    char value[8];
    return GetEnvironmentVariableA(name, value, sizeof value) != 0 ||
           GetLastError() != ERROR_ENVVAR_NOT_FOUND;
#else
    return getenv(name) != nullptr;
#endif
}

using ChildProcessTest = HostTest;

TEST_F(ChildProcessTest, StartFailsForMissingProgram) {
    ChildProcess child;
    std::string error;
    EXPECT_FALSE(child.Start(ProgramDirectory() + ExecutableName("no_such_program"), {}, {},
                             &error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(child.Running());
    EXPECT_FALSE(child.Write("x", 1));
}

TEST_F(ChildProcessTest, ReadTimesOutWhileChildIsSilent) {
    ASSERT_TRUE(StartHost());
    char buffer[16];
    EXPECT_EQ(host.Child().Read(buffer, sizeof buffer, 50), -1);
    EXPECT_TRUE(host.Child().Running());
    // Still usable after the time-out.
    HostExit exit = host.Finish();
    EXPECT_TRUE(EndedWithReplies(exit, 1));
}

TEST_F(ChildProcessTest, KillEndsRunningChild) {
    ASSERT_TRUE(StartHost());
    uint32_t pid = host.Child().Pid();
    ASSERT_TRUE(host.Child().Running());
    host.Child().Kill();
    EXPECT_FALSE(host.Child().Running());
    uint32_t status = 0;
    EXPECT_TRUE(host.Child().Wait(0, &status));
    EXPECT_NE(status, kExitStatusMinusOne);
    // The child here is the host's launcher; the host itself still holds the
    // output and ends when its input does.
    EXPECT_FALSE(ProcessAlive(pid));
}

TEST_F(ChildProcessTest, WriteFailsOnceChildHasGone) {
    ASSERT_TRUE(StartHost());
    ASSERT_TRUE(host.SendRaw(LengthPrefix(0)));
    uint32_t status = 0;
    ASSERT_TRUE(host.WaitExit(&status));
    // Must fail, not end the test program with a broken-pipe signal.
    std::string frame = Frame(std::string(100000, 'x'));
    EXPECT_FALSE(host.SendRaw(frame));
    HostExit exit = host.Finish();
    EXPECT_TRUE(EndedWithReplies(exit, 1));
}

TEST_F(ChildProcessTest, DestructorKillsRunningChild) {
    uint32_t pid = 0;
    {
        ChildProcess child;
        std::string error;
        ASSERT_TRUE(LaunchHost(&child, folder, {}, &error)) << error;
        pid = child.Pid();
        ASSERT_TRUE(child.Running());
    }
    EXPECT_FALSE(ProcessAlive(pid));
}

TEST_F(ChildProcessTest, EnvironmentIsTheChildsOnly) {
    ChildProcess child;
    std::string error;
    auto env = folder.HostEnvironment();
    env.emplace_back("ORVENDEL_CHILD_ONLY", "1");
    ASSERT_TRUE(child.Start(ProgramDirectory() + ExecutableName("orvendel_host"), {}, env, &error))
        << error;
    EXPECT_FALSE(HasVariable("ORVENDEL_CHILD_ONLY"));
    child.CloseInput();
    uint32_t status = 0;
    EXPECT_TRUE(child.Wait(kHostTimeoutMs, &status));
    EXPECT_EQ(status, kExitStatusMinusOne);
}

TEST_F(ChildProcessTest, ReadExactAndReadToEndStopAtEndOfOutput) {
    ASSERT_TRUE(StartHost());
    host.CloseInput();
    // One reply of 29 bytes, then the end: asking for more must not hang.
    std::string reply(30, '\0');
    EXPECT_FALSE(host.Child().ReadExact(&reply[0], reply.size(), kHostTimeoutMs));
    std::string rest;
    EXPECT_TRUE(host.Child().ReadToEnd(&rest, kHostTimeoutMs));
    EXPECT_TRUE(rest.empty());
    uint32_t status = 0;
    EXPECT_TRUE(host.WaitExit(&status));
}

}  // namespace
