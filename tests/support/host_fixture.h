// Runs the real host on real pipes, in a Windows folder of its own, and reads
// back what it wrote: frames on its standard output, records in its debug log.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "host/request.h"
#include "tests/support/frames.h"
#include "tests/support/host_log.h"
#include "tools/common/child_process.h"

// Generous: a host under Wine can take a while to start on a busy machine.
constexpr int kHostTimeoutMs = 30000;

// Built with a sanitizer (from the compiler's own macros):
// the heaviest tests send less there, where each request costs many times more.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ORV_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define ORV_TEST_SANITIZED 1
#endif
#endif

// The folder that the host takes for the system Windows folder, with
// "stelvo\dump" and "stelvo\policy". On POSIX a fresh temporary folder that
// the host is pointed at through ORVENDEL_WINDOWS_DIR; on Windows the real
// one, whose old log files are deleted.
class HostFolder {
public:
    HostFolder() = default;
    HostFolder(const HostFolder&) = delete;
    HostFolder& operator=(const HostFolder&) = delete;
    ~HostFolder();

    // Creates the folders and writes the default ini ("[Root]\r\nDebug=1\r\n").
    bool Create(std::string* error);
    void Remove();  // POSIX: deletes the whole folder; Windows: leaves it

    bool WriteIni(const std::string& text);  // bytes as given
    bool RemoveIni();
    bool TraceOn() const { return traceOn_; }  // the ini turns trace lines on

    const std::string& WindowsDir() const { return windowsDir_; }
    std::string DumpDir() const;
    std::string IniPath() const;
    // Variables the host needs to find this folder, and the namespace of its
    // named objects (POSIX), so that parallel tests never share one.
    std::vector<std::pair<std::string, std::string>> HostEnvironment() const;
    std::string Namespace() const;
    // Gives this process the same folder and namespace (the test as agent).
    void UseInThisProcess() const;
    // Where the launchers named after browsers are made.
    std::string LauncherDir() const;

    // All *.log files of the dump folder in name order, decoded.
    HostLog ReadLog() const;

private:
    std::string windowsDir_;  // UTF-8, no trailing separator
    bool temporary_ = false;
    bool traceOn_ = false;
};

// The browser a host runs under unless a test says otherwise.
extern const std::vector<std::string> kChromeParent;

// Starts the host of this build (beside the running test program) for the
// folder, with argv[1..] = args, under a chain of launchers named as given
// (outermost first; "chrome+window" also shows a browser window; empty: the
// test itself is the parent). Every process
// test launches the host here.
bool LaunchHost(ChildProcess* child, const HostFolder& folder, const std::vector<std::string>& args,
                std::string* error, const std::vector<std::string>& ancestors = kChromeParent);
// The same for another program (a path) that stands in the host's place, such
// as a tap in front of it; env is the whole of what the child gets on top of
// our environment, the folder's variables included if it needs them.
bool LaunchProgram(ChildProcess* child, const HostFolder& folder, const std::string& program,
                   const std::vector<std::string>& args,
                   const std::vector<std::pair<std::string, std::string>>& env, std::string* error,
                   const std::vector<std::string>& ancestors = kChromeParent);

struct HostExit {
    bool outputEnded = false;  // the host closed its standard output in time
    std::string output;        // what it wrote after the frames already read
    bool exited = false;       // it ended in time
    uint32_t status = 0;       // its exit status, when exited
};

// The host closed its output and ended with the exit status of -1, and its
// output holds exactly `replies` frames, each the reply body.
::testing::AssertionResult EndedWithReplies(const HostExit& exit, size_t replies);

// One running host and the browser's side of its pipes.
class HostProcess {
public:
    bool Start(const HostFolder& folder, const std::vector<std::string>& args, std::string* error,
               const std::vector<std::string>& ancestors = kChromeParent);

    bool SendFrame(const std::string& body) { return SendRaw(Frame(body)); }
    bool SendRaw(const std::string& bytes);
    void CloseInput() { child_.CloseInput(); }

    // One whole frame's body; false on time-out or at the end of the output.
    bool ReadFrame(std::string* body, int timeoutMs = kHostTimeoutMs);
    bool WaitExit(uint32_t* status, int timeoutMs = kHostTimeoutMs);
    // Ends the input, then reads the output to its end and waits for the exit.
    HostExit Finish(int timeoutMs = kHostTimeoutMs);

    ChildProcess& Child() { return child_; }

    enum class RelayStart {
        Logged,   // both relays logged their start and closed the log again
        LostOne,  // one relay's line alone, for long enough that the other's was lost
        Ended,    // the host ended, or refused the browser
        TimedOut,
    };
    // Until both relay threads have logged their start (trace lines on).
    RelayStart WaitForRelays(const HostFolder& folder);

private:
    ChildProcess child_;
};

// A test with its own host folder (default ini) and one host, killed at the end.
class HostTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    ::testing::AssertionResult StartHost(const std::vector<std::string>& args = {},
                                         const std::vector<std::string>& ancestors = kChromeParent);
    HostLog Log() const { return folder.ReadLog(); }

    HostFolder folder;
    HostProcess host;
};

// The host's request handling in this process: the test's handlers in place of
// the host's, replies into a temporary file, the log in a folder of its own.
class InProcessRequestTest : public ::testing::Test {
protected:
    InProcessRequestTest(CommandHandlers handlers, const WCHAR* logName) : handlers_(handlers), logName_(logName) {}
    void SetUp() override;
    void TearDown() override;

    // One request, as the read loop hands it over.
    void Handle(const std::string& body, int browserType = 2);
    // Every byte written so far.
    std::string Output();

    HostFolder folder;
    FILE* output = nullptr;

private:
    CommandHandlers handlers_;
    CommandHandlers saved_{};
    const WCHAR* logName_;
};
