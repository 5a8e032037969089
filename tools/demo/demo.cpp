// orvendel-demo: plays the browser (through a launcher named chrome), the
// extension's side of the pipes and the agent's result blocks against the
// real host, prints what crosses them, then the host's decoded debug log.
//
//   orvendel-demo [--host PATH] [--keep]
//
// It exits 0 only when every frame came back as expected.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "bridge/profiles.h"
#include "contract/contract.h"
#include "contract/envelope.h"
#include "contract/frame_header.h"
#include "orv_version.h"
#include "platform/platform.h"
#include "support/handles.h"
#include "tools/common/child_process.h"
#include "tools/common/wide.h"
#include "tools/log_reader/log_decode.h"
#if !defined(_WIN32)
#include <stdlib.h>

#include "platform/posix/desktop.h"
#endif

namespace fs = std::filesystem;

namespace {

const char kReply[] = REFUSAL_ENVELOPE;

std::string LengthBytes(uint32_t n) {
    unsigned char header[FRAME_HEADER_BYTES];
    EncodeFrameHeader(n, header);
    return std::string(reinterpret_cast<const char*>(header), sizeof header);
}

std::string Hex(const std::string& bytes) {
    std::string out;
    char piece[4];
    for (unsigned char c : bytes) {
        snprintf(piece, sizeof(piece), "%02X ", c);
        out += piece;
    }
    if (!out.empty()) out.pop_back();
    return out;
}

std::string Shown(const std::string& body, size_t limit = 70) {
    std::string out;
    for (unsigned char c : body.substr(0, limit)) {
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            char piece[8];
            snprintf(piece, sizeof(piece), "\\x%02X", c);
            out += piece;
        }
    }
    if (body.size() > limit) out += "... (" + std::to_string(body.size()) + " bytes)";
    return out;
}

enum Answer { NO_ANSWER, URL_ANSWER, DEVTOOLS_ANSWER };

struct Step {
    std::string title;
    uint32_t declared;
    std::string body;
    bool expectReply;
    Answer answer = NO_ANSWER;
    std::string expectedBlock = "";  // what the agent must find in the block
};

// The browser window the demo shows on the simulated desktop.
const uint32_t kWindow = 0x1A2B;

class Demo {
public:
    int Run(const std::string& hostPath, bool keep) {
        if (!MakeWindowsFolder()) return 1;
        std::printf("Orvendel native messaging host: demo\n");
        std::printf("This program plays the browser: it starts the host on pipes, sends it frames\n");
        std::printf("(4-byte little-endian length, then UTF-8 JSON) and shows what comes back.\n\n");
        std::printf("host:           %s\n", hostPath.c_str());
        std::printf("Windows folder: %s (ORVENDEL_WINDOWS_DIR)\n", windowsDir_.string().c_str());
        std::printf("ini:            stelvo/policy/stelvo.ini with [Root] Debug=1, so trace lines are logged\n\n");

        std::string error;
        std::vector<std::pair<std::string, std::string>> env = {{"ORVENDEL_WINDOWS_DIR", windowsDir_.string()}};
#if !defined(_WIN32)
        // This run's named objects and desktop, apart from any other run's.
        std::string ns = "demo-" + std::to_string(GetCurrentProcessId());
        env.push_back({"ORVENDEL_NAMESPACE", ns});
        for (const auto& variable : env) setenv(variable.first.c_str(), variable.second.c_str(), 1);
        DesktopWindow window;
        window.hwnd = kWindow;
        window.className = u"Chrome_WidgetWin_1";
        window.style = WS_OVERLAPPEDWINDOW | WS_VISIBLE;
        DesktopAddWindow(window, true);
        std::printf("desktop:        one browser window, HWND %x, class Chrome_WidgetWin_1\n", kWindow);
#endif
        if (!MakeAgentBlocks()) return 1;
        std::printf("agent:          this program also plays the DRM agent: it made the URL and DevTools\n");
        std::printf("                result blocks and reads what the host writes there\n\n");

        // The host serves only a browser: it is started by a launcher named chrome.
        fs::path launcher = fs::path(ProgramDirectory()) / ExecutableName("orv-launcher");
        fs::path chrome = windowsDir_ / ExecutableName("chrome");
        std::error_code linkError;
#if defined(_WIN32)
        fs::copy_file(launcher, chrome, linkError);
#else
        fs::create_symlink(launcher, chrome, linkError);
#endif
        // Browsers pass the extension's origin; the host ignores its arguments.
        if (linkError || !host_.Start(chrome.string(), {hostPath, "chrome-extension://abcdefghijklmnopabcdefghijklmnop/"},
                                      env, &error)) {
            std::fprintf(stderr, "cannot start the host under %s: %s\n", chrome.string().c_str(),
                         linkError ? linkError.message().c_str() : error.c_str());
            return 1;
        }
        std::printf("started \"chrome\" (pid %u), which started the host\n\n", host_.Pid());

        std::string padded = "{\"CommandID\":\"FindHandle\",\"CommandArgs\":9}";
        padded.resize(1000000, ' ');
        std::string overLong = padded + "X";
        char hwnd[16];
        std::snprintf(hwnd, sizeof(hwnd), "%x", kWindow);
        std::string bound = ExpectBoundWindow() ? hwnd : "0";
        std::vector<Step> steps = {
            {"FindHandle: the extension binds the frontmost browser window to its window id 5", 0,
             "{\"CommandID\":\"FindHandle\",\"CommandArgs\":5}", false},
            {"ReturnUrlList: the extension's frame URLs of window 5 go to the agent's URL block", 0,
             "{\"CommandID\":\"ReturnUrlList\",\"CommandArgs\":\"5;https://example.test/;https://frame.example.test/\"}",
             false, URL_ANSWER, bound + ";5;https://example.test/;https://frame.example.test/"},
            {"ReturnCheckDevtools: DevTools is open (1) for window 5", 0,
             "{\"CommandID\":\"ReturnCheckDevtools\",\"CommandArgs\":\"5;1\"}", false, DEVTOOLS_ANSWER,
             bound + ";5;1"},
            {"an answer for a window id nobody bound: HWND 0", 0,
             "{\"CommandID\":\"ReturnCheckDevtools\",\"CommandArgs\":\"8;0\"}", false, DEVTOOLS_ANSWER, "0;8;0"},
            {"command words match in any letter case: accepted", 0,
             "{\"CommandID\":\"findhandle\",\"CommandArgs\":6}", false},
            {"member names do not: refused (\"Key value is not exist or wrong!\")", 0,
             "{\"commandID\":\"FindHandle\",\"CommandArgs\":6}", true},
            {"not JSON: refused (\"Parse Error!!\")", 0, "hello, host", true},
            {"JSON, but not a request object: refused", 0, "[1,2,3]", true},
            {"CommandArgs that is neither a string nor a 32-bit integer: refused", 0,
             "{\"CommandID\":\"FindHandle\",\"CommandArgs\":2147483648}", true},
            {"an unknown command word: refused, with no error line", 0,
             "{\"CommandID\":\"Hello\",\"CommandArgs\":\"\"}", true},
            {"a zero byte ends the request text; what follows it is never parsed", 0,
             std::string("{\"CommandID\":\"FindHandle\",\"CommandArgs\":3}\0garbage", 50), false},
            {"declared length 1000001: the host takes 1000000 bytes and drops the last one", 0, overLong, false},
            {"100000 levels of nesting: refused, without recursion in the parser", 0, std::string(100000, '['), true},
        };
        bool ok = true;
        for (size_t i = 0; i < steps.size(); ++i) {
            ok = Exchange(steps[i]) && ok;
            if (i == 3) ok = AskQuestions(hwnd, env) && ok;  // window 5 is bound by now
        }

        std::printf("-- closing the host's standard input: the host answers once more and ends\n");
        host_.CloseInput();
        ok = ExpectReplies(1, 5000) && ok;
        uint32_t status = 0;
        if (!host_.Wait(10000, &status)) {
            std::printf("   the host did not end\n");
            host_.Kill();
            ok = false;
        } else {
            std::printf("   exit status %u%s\n\n", status,
                        status == kExitStatusMinusOne ? " (the host returned -1, as it always does)" : "");
            ok = ok && status == kExitStatusMinusOne;
        }

        ok = PrintLog() && ok;
#if !defined(_WIN32)
        // Named objects outlive the processes that made them here: remove this run's.
        std::error_code shmError;
        std::string prefix = "orvendel." + ns + ".";
        for (const auto& entry : fs::directory_iterator("/dev/shm", shmError)) {
            if (entry.path().filename().string().compare(0, prefix.size(), prefix) == 0) fs::remove(entry.path(), shmError);
        }
#endif
        if (!keep) {
            std::error_code ec;
            fs::remove_all(windowsDir_, ec);
        } else {
            std::printf("\nkept %s\n", windowsDir_.string().c_str());
        }
        std::printf("\n%s\n", ok ? "demo: every frame came back as expected" : "demo: FAILED (see above)");
        return ok ? 0 : 1;
    }

private:
    bool MakeWindowsFolder() {
        std::error_code ec;
        fs::path base = fs::temp_directory_path(ec);
        if (ec) base = ".";
        for (int i = 0; i < 100; ++i) {
            fs::path candidate = base / ("orvendel-demo-" + std::to_string(GetCurrentProcessId()) + "-" +
                                         std::to_string(i));
            if (fs::create_directory(candidate, ec)) {
                windowsDir_ = candidate;
                break;
            }
        }
        if (windowsDir_.empty()) {
            std::fprintf(stderr, "cannot make a temporary folder\n");
            return false;
        }
        fs::create_directories(windowsDir_ / "stelvo" / "dump", ec);
        fs::create_directories(windowsDir_ / "stelvo" / "policy", ec);
        std::ofstream ini(windowsDir_ / "stelvo" / "policy" / "stelvo.ini", std::ios::binary);
        ini << CLIENT_INI_WITH_DEBUG("1");
        return static_cast<bool>(ini);
    }

    bool Exchange(const Step& step) {
        uint32_t declared = step.declared != 0 ? step.declared : static_cast<uint32_t>(step.body.size());
        std::string frame = LengthBytes(declared) + step.body;
        std::printf("-- %s\n", step.title.c_str());
        std::printf("   --> %s  %s\n", Hex(frame.substr(0, 4)).c_str(), Shown(step.body).c_str());
        if (!host_.Write(frame.data(), frame.size())) {
            std::printf("   the host's input is closed\n");
            return false;
        }
        bool ok = step.answer == NO_ANSWER ? ExpectReplies(step.expectReply ? 1 : 0, step.expectReply ? 5000 : 300)
                                           : ReadAnswer(step);
        std::printf("\n");
        return ok;
    }

    // Reads the replies that come within the time; a reply must be the refusal frame.
    bool ExpectReplies(int expected, int timeoutMs) {
        int seen = 0;
        bool ok = true;
        for (;;) {
            unsigned char header[FRAME_HEADER_BYTES];
            if (!host_.ReadExact(header, sizeof header, seen < expected ? timeoutMs : 300)) break;
            uint32_t n = DecodeFrameHeader(header);
            std::string body(n, '\0');
            if (n > 1 << 20 || !host_.ReadExact(&body[0], n, 5000)) {
                std::printf("   <-- a broken frame\n");
                return false;
            }
            std::printf("   <-- %s  %s\n", Hex(std::string(reinterpret_cast<char*>(header), sizeof header)).c_str(),
                        Shown(body).c_str());
            ok = ok && body == kReply;
            ++seen;
        }
        if (seen == 0) std::printf("   (no reply: the host answers only to refuse)\n");
        if (seen != expected) {
            std::printf("   expected %d repl%s, got %d\n", expected, expected == 1 ? "y" : "ies", seen);
            ok = false;
        }
        return ok;
    }

    bool PrintLog() {
        fs::path dump = windowsDir_ / "stelvo" / "dump";
        std::vector<fs::path> files;
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(dump, ec)) {
            if (entry.path().extension() == ".log") files.push_back(entry.path());
        }
        std::sort(files.begin(), files.end());
        std::printf("The host's debug log, decoded (the files are scrambled; orvendel-log reads them):\n");
        size_t errors = 0, total = 0;
        for (const fs::path& file : files) {
            std::ifstream in(file, std::ios::binary);
            std::stringstream bytes;
            bytes << in.rdbuf();
            LogDecodeResult decoded = DecodeLogBuffer(bytes.str());
            std::printf("\n%s  (%zu bytes, %zu records)\n", file.filename().string().c_str(), bytes.str().size(),
                        decoded.records.size());
            for (const LogRecord& record : decoded.records) {
                std::printf("  %s\n", FormatLogRecordLine(record).c_str());
                if (record.level == 2) ++errors;
                ++total;
            }
        }
        std::printf("\n%zu records, %zu of them errors (\"<E>\")\n", total, errors);
        return total > 0;
    }

    // The agent, a process of its own, asks both questions about the window;
    // this program answers them as the extension would.
    bool AskQuestions(const std::string& hwnd, const std::vector<std::pair<std::string, std::string>>& env) {
        std::printf("-- the agent asks both questions about window %s: orvendel-agent create , ask both %s\n",
                    hwnd.c_str(), hwnd.c_str());
        ChildProcess agent;
        std::string error;
        if (!agent.Start(ProgramDirectory() + ExecutableName("orvendel-agent"),
                         {"--profile", "chrome", "create", ",", "ask", "both", hwnd}, env, &error)) {
            std::printf("   cannot start orvendel-agent: %s\n", error.c_str());
            return false;
        }
        bool ok = true;
        for (int answered = 0; answered < 2;) {
            unsigned char header[FRAME_HEADER_BYTES];
            if (!host_.ReadExact(header, sizeof header, 10000)) {
                std::printf("   no question reached the extension\n");
                ok = false;
                break;
            }
            uint32_t n = DecodeFrameHeader(header);
            std::string body(n, '\0');
            if (n > 4096 || !host_.ReadExact(&body[0], n, 5000)) return false;
            std::printf("   <-- %s  %s\n", Hex(std::string(reinterpret_cast<char*>(header), sizeof header)).c_str(), body.c_str());
            static const std::string kUrlQuestion = ENVELOPE_HEAD URL_QUESTION_WORD ENVELOPE_MIDDLE;
            static const std::string kDevtoolQuestion = ENVELOPE_HEAD DEVTOOL_QUESTION_WORD ENVELOPE_MIDDLE;
            size_t data = body.find(ENVELOPE_MIDDLE);
            size_t idAt = data == std::string::npos ? body.size() : data + sizeof(ENVELOPE_MIDDLE) - 1;
            std::string windowId = body.substr(idAt, body.find('"', idAt) - idAt);
            std::string answer;
            if (body.compare(0, kUrlQuestion.size(), kUrlQuestion) == 0) {
                answer = "{\"CommandID\":\"ReturnUrlList\",\"CommandArgs\":\"" + windowId +
                         ";https://example.test/;https://frame.example.test/\"}";
            } else if (body.compare(0, kDevtoolQuestion.size(), kDevtoolQuestion) == 0) {
                answer = "{\"CommandID\":\"ReturnCheckDevtools\",\"CommandArgs\":\"" + windowId + ";0\"}";
            } else {
                std::printf("   (not a question)\n");
                ok = false;
                continue;
            }
            std::string frame = LengthBytes(static_cast<uint32_t>(answer.size())) + answer;
            std::printf("   --> %s  %s\n", Hex(frame.substr(0, 4)).c_str(), Shown(answer, 120).c_str());
            host_.Write(frame.data(), frame.size());
            ok = ok && windowId == "5";
            ++answered;
        }
        std::string output;
        agent.ReadToEnd(&output, 20000);
        uint32_t status = 1;
        bool ended = agent.Wait(10000, &status);
        std::istringstream lines(output);
        std::string line;
        while (std::getline(lines, line)) std::printf("   agent: %s\n", line.c_str());
        std::printf("\n");
        return ok && ended && status == 0 && output.find("url hwnd=" + hwnd) != std::string::npos &&
               output.find("devtools hwnd=" + hwnd + " answer=\"5;0\"") != std::string::npos;
    }

    bool ExpectBoundWindow() const {
#if defined(_WIN32)
        return false;  // no window of ours on a real desktop
#else
        return true;
#endif
    }

    bool MakeAgentBlocks() {
        blocks_[0].reset(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, URL_RESULT_BLOCK_BYTES,
                                            g_ChromeProfile.lpszUrlResultBlock));
        blocks_[1].reset(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, DEVTOOL_RESULT_BLOCK_BYTES,
                                            g_ChromeProfile.lpszDevtoolResultBlock));
        if (!blocks_[0] || !blocks_[1]) {
            std::fprintf(stderr, "cannot create the agent's blocks (%u)\n", static_cast<unsigned>(GetLastError()));
            return false;
        }
        return true;
    }

    // The host signals the answer's event once the block is complete.
    bool ReadAnswer(const Step& step) {
        bool url = step.answer == URL_ANSWER;
        const WCHAR* eventName = url ? g_ChromeProfile.lpszEventForRes : g_ChromeProfile.lpszEventGetDevtoolRes;
        UniqueHandle event(OpenEventW(SYNCHRONIZE, FALSE, eventName));
        if (!event || WaitForSingleObject(event.get(), 5000) != WAIT_OBJECT_0) {
            std::printf("   the host did not signal %s\n", Utf8(eventName).c_str());
            return false;
        }
        SIZE_T size = url ? URL_RESULT_BLOCK_BYTES : DEVTOOL_RESULT_BLOCK_BYTES;
        UniqueView view(MapViewOfFile(blocks_[url ? 0 : 1].get(), FILE_MAP_READ, 0, 0, size));
        if (!view) return false;
        const WCHAR* units = static_cast<const WCHAR*>(view.get());
        SIZE_T length = 0;
        while (length < size / 2 && units[length] != 0) ++length;
        std::string text = Utf8(units, length);
        const WCHAR* blockName = url ? g_ChromeProfile.lpszUrlResultBlock : g_ChromeProfile.lpszDevtoolResultBlock;
        std::printf("   agent: %s signalled; %s holds \"%s\"\n", Utf8(eventName).c_str(), Utf8(blockName).c_str(),
                    text.c_str());
        bool ok = text == step.expectedBlock && ExpectReplies(0, 100);
        if (text != step.expectedBlock) std::printf("   expected \"%s\"\n", step.expectedBlock.c_str());
        return ok;
    }

    ChildProcess host_;
    fs::path windowsDir_;
    UniqueHandle blocks_[2];
};

}  // namespace

const char kUsage[] =
    "Usage: orvendel-demo [--host PATH] [--keep]\n"
    "Shows the host at work: starts it under a browser launcher, plays the\n"
    "extension and the agent, and prints every frame and the decoded log.\n"
    "  --host PATH    the host to run (default: orvendel_host beside this program)\n"
    "  --keep         keep the run's folder\n"
    "  -h, --help     show this text\n"
    "  --version      show the version\n";

int main(int argc, char** argv) {
    std::string hostPath = ProgramDirectory() + ExecutableName("orvendel_host");
    bool keep = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--host" && i + 1 < argc) {
            hostPath = argv[++i];
        } else if (arg == "--keep") {
            keep = true;
        } else if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--version") {
            std::puts("orvendel-demo " ORV_VERSION);
            return 0;
        } else {
            std::fprintf(stderr, "orvendel-demo: unknown argument '%s'\n%s", arg.c_str(), kUsage);
            return 2;
        }
    }
    Demo demo;
    return demo.Run(hostPath, keep);
}
