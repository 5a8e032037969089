// Another process of the same test program playing a part in a
// cross-process case. The test program starts itself again, running only
// its child test (a DISABLED_ one, so that a normal run skips it), which
// talks back in "@ipc ..." lines on its standard output.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "tools/common/child_process.h"
#include "tools/common/wide.h"

namespace peer {

// Bound for things that take milliseconds unless something is broken.
constexpr int kTimeoutMs = 30000;

inline int64_t ElapsedMs(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since).count();
}

inline std::string OwnPath() {
    WCHAR path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return Utf8(path);
}

// In the child: one line to the test.
inline void Say(const std::string& text) {
    printf("@ipc %s\n", text.c_str());
    fflush(stdout);
}

// In the child: the next line from the test; "" once it has closed our input.
inline std::string Hear() {
    char line[256];
    if (fgets(line, sizeof line, stdin) == nullptr) return std::string();
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

class Peer {
public:
    explicit Peer(std::string childTest) : childTest_(std::move(childTest)) {}

    ::testing::AssertionResult Start(const std::string& role, const std::string& name,
                                     std::vector<std::pair<std::string, std::string>> env = {}) {
        env.push_back({"ORVENDEL_IPC_ROLE", role});
        env.push_back({"ORVENDEL_IPC_NAME", name});
        std::string error;
        if (!child_.Start(OwnPath(), {"--gtest_filter=" + childTest_, "--gtest_also_run_disabled_tests"}, env,
                          &error)) {
            return ::testing::AssertionFailure() << error;
        }
        return ::testing::AssertionSuccess();
    }

    // The next "@ipc" line's text, or "" when none came in time.
    std::string Next(int timeoutMs = kTimeoutMs) {
        auto start = std::chrono::steady_clock::now();
        for (;;) {
            size_t end;
            while ((end = buffer_.find('\n')) != std::string::npos) {
                std::string line = buffer_.substr(0, end);
                buffer_.erase(0, end + 1);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                if (line.compare(0, 5, "@ipc ") == 0) return line.substr(5);
            }
            int left = timeoutMs - static_cast<int>(ElapsedMs(start));
            if (left <= 0) return std::string();
            char chunk[4096];
            long got = child_.Read(chunk, sizeof chunk, left);
            if (got <= 0) return std::string();
            buffer_.append(chunk, static_cast<size_t>(got));
        }
    }

    bool Send(const std::string& line) { return child_.Write((line + "\n").data(), line.size() + 1); }
    // Ends its input, which ends it, and waits for a clean exit.
    bool Finish() {
        child_.CloseInput();
        uint32_t status = 1;
        return child_.Wait(kTimeoutMs, &status) && status == 0;
    }
    // True once it has ended, however.
    bool Ended() { return child_.Wait(kTimeoutMs, nullptr); }
    void Kill() { child_.Kill(); }
    uint32_t Pid() const { return child_.Pid(); }

private:
    std::string childTest_;
    ChildProcess child_;
    std::string buffer_;
};

}  // namespace peer
