// A child program on pipes, for the tools and tests that play the browser:
// its standard input and output are ours, its standard error is inherited
// unless a file is named for it.
// Not used by the host itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// The exit status a host that returned -1 reports to its parent.
#if defined(_WIN32)
constexpr uint32_t kExitStatusMinusOne = 0xFFFFFFFFu;
#else
constexpr uint32_t kExitStatusMinusOne = 255u;
#endif

class ChildProcess {
public:
    ChildProcess() = default;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();  // kills a child still running, closes the pipes

    // program: a path; args: argv[1..]; env: variables added to (or replacing
    // those of) our environment.
    bool Start(const std::string& program, const std::vector<std::string>& args,
               const std::vector<std::pair<std::string, std::string>>& env, std::string* error);

    // The standard error of the children started from now on goes to a file
    // made anew at path (UTF-8) instead of to ours; empty: ours again.
    void SetErrorFile(const std::string& path) { errorFile_ = path; }

    bool Write(const void* data, size_t size);  // false once the pipe is closed
    void CloseInput();
    void CloseOutput();  // as a browser that stops reading
    // Bytes read (> 0), 0 at the end of the output, -1 when nothing came within timeoutMs.
    long Read(void* buffer, size_t size, int timeoutMs);
    bool ReadExact(void* buffer, size_t size, int timeoutMs);
    // Everything up to the end of the output; false on time-out.
    bool ReadToEnd(std::string* out, int timeoutMs);
    // True when the child ended within timeoutMs; its raw exit status in *status.
    bool Wait(int timeoutMs, uint32_t* status);
    void Kill();
    // Kills a child still running and closes the pipes: Start may be called again.
    void Reset();
    uint32_t Pid() const { return pid_; }
    bool Running() const;

private:
    uint32_t pid_ = 0;
    bool exited_ = false;
    uint32_t status_ = 0;
    intptr_t process_ = -1;  // platform handle of the process, if any
    intptr_t input_ = -1;    // our end of the child's standard input
    intptr_t output_ = -1;   // our end of the child's standard output
    std::string errorFile_;  // empty: the child's standard error is ours
};

// The folder of the running program, with a trailing separator.
std::string ProgramDirectory();
// A program's file name on this platform ("orvendel_host" or "orvendel_host.exe").
std::string ExecutableName(const std::string& base);
