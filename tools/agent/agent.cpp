// orvendel-agent: plays the DRM agent for integrators, support engineers and
// tests. It creates the agent's four shared-memory blocks of a profile, reads
// the host's answers back, and (on POSIX) lays out the simulated desktop.
//
//   orvendel-agent [--profile chrome|edge] [COMMAND [ARGS] [, COMMAND ...]]
//
// Commands given on the command line run in order (separate them with ",");
// with none, commands are read from standard input, one per line, and each
// prints one line beginning "ok" or "error". Blocks created here live as long
// as this process: on Windows a mapping goes away with its last handle.
#include <chrono>
#include <thread>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "bridge/profiles.h"
#include "bridge/registry.h"
#include "contract/contract.h"
#include "contract/request_block.h"
#include "orv_version.h"
#include "platform/platform.h"
#include "support/handles.h"
#include "tools/common/wide.h"
#if !defined(_WIN32)
#include "platform/posix/desktop.h"
#endif

namespace {

struct Block {
    const char* name;        // as the commands call it
    const WCHAR* (*objectName)(const BrowserProfile*);
    DWORD defaultSize;
};

const Block kBlocks[] = {
    {"url-request", [](const BrowserProfile* p) { return p->lpszUrlRequestBlock; }, REQUEST_BLOCK_BYTES},
    {"devtools-request", [](const BrowserProfile* p) { return p->lpszDevtoolRequestBlock; }, REQUEST_BLOCK_BYTES},
    {"url", [](const BrowserProfile* p) { return p->lpszUrlResultBlock; }, URL_RESULT_BLOCK_BYTES},
    {"devtools", [](const BrowserProfile* p) { return p->lpszDevtoolResultBlock; }, DEVTOOL_RESULT_BLOCK_BYTES},
};

const Block* FindBlock(const std::string& name) {
    for (const Block& block : kBlocks) {
        if (name == block.name) return &block;
    }
    return nullptr;
}

class Agent {
public:
    explicit Agent(const BrowserProfile* profile) : profile_(profile) {}

    // Runs one command; the line it printed says how it went.
    bool Run(const std::vector<std::string>& words) {
        if (words.empty()) return true;
        const std::string& command = words[0];
        if (command == "create") return Create(words);
        if (command == "close") return Close(words);
        if (command == "dump") return Dump(words);
        if (command == "bytes") return Bytes(words);
        if (command == "clear") return Fill(words, 0);
        if (command == "request") return Request(words);
        if (command == "events") return Events();
        if (command == "signal") return Signal(words);
        if (command == "wait") return Wait(words);
        if (command == "window") return Window(words);
        if (command == "browsers") return Browsers();
        if (command == "ask") return Ask(words);
        if (command == "sleep" && words.size() == 2) {
            Sleep(static_cast<DWORD>(std::strtoul(words[1].c_str(), nullptr, 10)));
            return Ok("slept");
        }
        if (command == "help") return Help();
        return Error("unknown command \"" + command + "\" (try help)");
    }

private:
    static bool Ok(const std::string& text) {
        std::printf("ok %s\n", text.c_str());
        std::fflush(stdout);
        return true;
    }
    static bool Error(const std::string& text) {
        std::printf("error %s\n", text.c_str());
        std::fflush(stdout);
        return false;
    }

    // create [BLOCK=SIZE ...]: all four blocks, sizes overridable (for undersized tests).
    bool Create(const std::vector<std::string>& words) {
        DWORD sizes[4];
        for (int i = 0; i < 4; ++i) sizes[i] = kBlocks[i].defaultSize;
        for (size_t w = 1; w < words.size(); ++w) {
            size_t eq = words[w].find('=');
            const Block* block = eq == std::string::npos ? nullptr : FindBlock(words[w].substr(0, eq));
            if (block == nullptr) return Error("expected BLOCK=SIZE, got " + words[w]);
            sizes[block - kBlocks] = static_cast<DWORD>(std::strtoul(words[w].c_str() + eq + 1, nullptr, 10));
        }
        std::string made;
        for (int i = 0; i < 4; ++i) {
            if (handles_[i]) continue;
            HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizes[i],
                                                kBlocks[i].objectName(profile_));
            if (mapping == nullptr) {
                return Error(std::string("cannot create ") + kBlocks[i].name + " (" + std::to_string(GetLastError()) + ")");
            }
            bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
            handles_[i].reset(mapping);
            made += std::string(made.empty() ? "" : " ") + kBlocks[i].name + "=" + std::to_string(sizes[i]) +
                    (existed ? "(existed)" : "");
        }
        return Ok("created " + (made.empty() ? std::string("nothing new") : made));
    }

    bool Close(const std::vector<std::string>& words) {
        if (words.size() == 1) {
            for (UniqueHandle& h : handles_) h.reset();
            return Ok("closed all");
        }
        const Block* block = FindBlock(words[1]);
        if (block == nullptr) return Error("no block " + words[1]);
        handles_[block - kBlocks].reset();
        return Ok(std::string("closed ") + block->name);
    }

    // Opens a block by name, as any other process would, and maps size bytes.
    UniqueView MapBlock(const Block* block, SIZE_T size, std::string* error) {
        UniqueHandle mapping(OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, block->objectName(profile_)));
        if (!mapping) {
            *error = std::string("no block ") + block->name + " (" + std::to_string(GetLastError()) + ")";
            return nullptr;
        }
        UniqueView view(MapViewOfFile(mapping.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, size));
        if (!view) *error = std::string("cannot map ") + std::to_string(size) + " bytes of " + block->name;
        return view;
    }

    // dump url|devtools: the answer text, "<hwnd>;<text>".
    bool Dump(const std::vector<std::string>& words) {
        const Block* block = words.size() == 2 ? FindBlock(words[1]) : nullptr;
        if (block == nullptr || block->defaultSize < DEVTOOL_RESULT_BLOCK_BYTES) return Error("usage: dump url|devtools");
        std::string error;
        UniqueView view = MapBlock(block, block->defaultSize, &error);
        if (!view) return Error(error);
        const WCHAR* text = static_cast<const WCHAR*>(view.get());
        size_t limit = block->defaultSize / sizeof(WCHAR), units = 0;
        while (units < limit && text[units] != 0) ++units;
        return Ok(Utf8(text, units));
    }

    // bytes BLOCK [COUNT]: hexadecimal bytes of the block.
    bool Bytes(const std::vector<std::string>& words) {
        const Block* block = words.size() >= 2 ? FindBlock(words[1]) : nullptr;
        if (block == nullptr) return Error("usage: bytes BLOCK [COUNT]");
        SIZE_T count = words.size() >= 3 ? std::strtoul(words[2].c_str(), nullptr, 10) : block->defaultSize;
        std::string error;
        UniqueView view = MapBlock(block, count, &error);
        if (!view) return Error(error);
        std::string out;
        char piece[4];
        for (SIZE_T i = 0; i < count; ++i) {
            std::snprintf(piece, sizeof(piece), "%02x", static_cast<const unsigned char*>(view.get())[i]);
            out += piece;
        }
        return Ok(out);
    }

    bool Fill(const std::vector<std::string>& words, int value) {
        const Block* block = words.size() == 2 ? FindBlock(words[1]) : nullptr;
        if (block == nullptr) return Error("usage: clear BLOCK");
        std::string error;
        UniqueView view = MapBlock(block, block->defaultSize, &error);
        if (!view) return Error(error);
        std::memset(view.get(), value, block->defaultSize);
        FlushViewOfFile(view.get(), 0);
        return Ok(std::string("cleared ") + block->name);
    }

    // request url|devtools HWND: writes the HWND into the request block (no signal).
    bool Request(const std::vector<std::string>& words) {
        if (words.size() != 3 || (words[1] != "url" && words[1] != "devtools")) {
            return Error("usage: request url|devtools HWND");
        }
        const Block* block = FindBlock(words[1] + "-request");
        std::string error;
        UniqueView view = MapBlock(block, REQUEST_BLOCK_BYTES, &error);
        if (!view) return Error(error);
        uint32_t hwnd = static_cast<uint32_t>(std::strtoul(words[2].c_str(), nullptr, 16));
        EncodeRequestHwnd(hwnd, static_cast<unsigned char*>(view.get()));
        FlushViewOfFile(view.get(), 0);
        return Ok("request " + words[1] + " " + words[2]);
    }

    struct EventRole {
        const char* name;
        const WCHAR* BrowserProfile::*field;
    };
    static const EventRole* Roles() {
        static const EventRole roles[] = {
            {"response-url", &BrowserProfile::lpszEventResponseUrl},
            {"request-url", &BrowserProfile::lpszEventRequestUrl},
            {"url-answer", &BrowserProfile::lpszEventForRes},
            {"response-devtools", &BrowserProfile::lpszEventResponseDevtool},
            {"request-devtools", &BrowserProfile::lpszEventRequestDevtool},
            {"devtools-answer", &BrowserProfile::lpszEventGetDevtoolRes},
            {nullptr, nullptr},
        };
        return roles;
    }
    const EventRole* FindRole(const std::string& name) {
        for (const EventRole* role = Roles(); role->name != nullptr; ++role) {
            if (name == role->name) return role;
        }
        return nullptr;
    }

    // events: which of the host's six events exist now.
    bool Events() {
        std::string out;
        for (const EventRole* role = Roles(); role->name != nullptr; ++role) {
            UniqueHandle event(OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, profile_->*role->field));
            out += std::string(out.empty() ? "" : " ") + role->name + (event ? "=open" : "=missing");
        }
        return Ok(out);
    }

    bool Signal(const std::vector<std::string>& words) {
        const EventRole* role = words.size() == 2 ? FindRole(words[1]) : nullptr;
        if (role == nullptr) return Error("usage: signal EVENT (request-url, request-devtools, ...)");
        UniqueHandle event(OpenEventW(EVENT_MODIFY_STATE, FALSE, profile_->*role->field));
        if (!event) return Error(std::string("no event ") + role->name);
        if (!SetEvent(event.get())) return Error("SetEvent failed");
        return Ok(std::string("signalled ") + role->name);
    }

    bool Wait(const std::vector<std::string>& words) {
        const EventRole* role = words.size() >= 2 ? FindRole(words[1]) : nullptr;
        if (role == nullptr) return Error("usage: wait EVENT [MILLISECONDS]");
        DWORD ms = words.size() >= 3 ? static_cast<DWORD>(std::strtoul(words[2].c_str(), nullptr, 10)) : 10000;
        UniqueHandle event(OpenEventW(SYNCHRONIZE, FALSE, profile_->*role->field));
        if (!event) return Error(std::string("no event ") + role->name);
        DWORD result = WaitForSingleObject(event.get(), ms);
        if (result == WAIT_OBJECT_0) return Ok(std::string("signalled ") + role->name);
        return Error(std::string(result == WAIT_TIMEOUT ? "timed out on " : "wait failed on ") + role->name);
    }

    // window add HWND CLASS [hidden] [nosysmenu] [back] | remove HWND | list | clear
    bool Window(const std::vector<std::string>& words) {
#if defined(_WIN32)
        (void)words;
        return Error("the simulated desktop exists on POSIX only; on Windows use `browsers` to find real ones");
#else
        if (words.size() >= 4 && words[1] == "add") {
            DesktopWindow window;
            window.hwnd = static_cast<uint32_t>(std::strtoul(words[2].c_str(), nullptr, 16));
            std::basic_string<WCHAR> cls = Wide(words[3]);
            window.className.assign(cls.begin(), cls.end());
            window.style = WS_OVERLAPPEDWINDOW;
            bool front = true;
            for (size_t w = 4; w < words.size(); ++w) {
                if (words[w] == "hidden") window.visible = false;
                else if (words[w] == "nosysmenu") window.style &= ~static_cast<uint32_t>(WS_SYSMENU);
                else if (words[w] == "back") front = false;
                else return Error("unknown window option " + words[w]);
            }
            if (window.hwnd == 0 || !DesktopAddWindow(window, front)) return Error("cannot add the window");
            return Ok("added " + words[2]);
        }
        if (words.size() == 3 && words[1] == "remove") {
            if (!DesktopRemoveWindow(static_cast<uint32_t>(std::strtoul(words[2].c_str(), nullptr, 16)))) {
                return Error("no window " + words[2]);
            }
            return Ok("removed " + words[2]);
        }
        if (words.size() == 2 && words[1] == "clear") {
            DesktopClear();
            return Ok("cleared the desktop");
        }
        if (words.size() == 2 && words[1] == "list") {
            std::string out;
            char piece[32];
            for (const DesktopWindow& window : DesktopList()) {
                std::snprintf(piece, sizeof(piece), "%x", window.hwnd);
                std::basic_string<WCHAR> cls(window.className.begin(), window.className.end());
                out += std::string(out.empty() ? "" : " ") + piece + ":" + Utf8(cls) +
                       (window.visible ? "" : ":hidden") + ((window.style & WS_SYSMENU) ? "" : ":nosysmenu");
            }
            return Ok(out.empty() ? std::string("no windows") : out);
        }
        return Error("usage: window add HWND CLASS [hidden] [nosysmenu] [back] | remove HWND | list | clear");
#endif
    }

    struct Question {
        const char* channel;
        const Block* requestBlock;
        const Block* resultBlock;
        const WCHAR* BrowserProfile::*requestEvent;
        const WCHAR* BrowserProfile::*responseEvent;
        UniqueHandle request, response;
        std::chrono::steady_clock::time_point asked, answered;
        DWORD waited = WAIT_FAILED;
    };

    // Writes the HWND and signals the request event of one channel.
    bool Pose(Question* q, uint32_t hwnd, std::string* error) {
        q->request.reset(OpenEventW(EVENT_MODIFY_STATE, FALSE, profile_->*q->requestEvent));
        q->response.reset(OpenEventW(SYNCHRONIZE, FALSE, profile_->*q->responseEvent));
        if (!q->request || !q->response) {
            *error = std::string("no host events for ") + q->channel + " (is the host running for this profile?)";
            return false;
        }
        UniqueView view = MapBlock(q->requestBlock, 16, error);
        if (!view) return false;
        unsigned char* bytes = static_cast<unsigned char*>(view.get());
        for (int i = 0; i < 4; ++i) bytes[i] = static_cast<unsigned char>(hwnd >> (8 * i));
        FlushViewOfFile(view.get(), 0);
        view.reset();
        q->asked = std::chrono::steady_clock::now();
        SetEvent(q->request.get());
        return true;
    }

    static void Await(Question* q, DWORD timeoutMs) {
        q->waited = WaitForSingleObject(q->response.get(), timeoutMs);
        q->answered = std::chrono::steady_clock::now();
    }

    // Reads the answer block of a question whose response came.
    bool Report(Question* q, DWORD timeoutMs) {
        double ms = std::chrono::duration<double, std::milli>(q->answered - q->asked).count();
        char took[32];
        std::snprintf(took, sizeof(took), "%.1f ms", ms);
        if (q->waited != WAIT_OBJECT_0) {
            return Error(std::string(q->channel) + " no response within " + std::to_string(timeoutMs) + " ms");
        }
        std::string error;
        UniqueView view = MapBlock(q->resultBlock, q->resultBlock->defaultSize, &error);
        if (!view) return Error(std::string(q->channel) + " answered in " + took + ", but " + error);
        const WCHAR* text = static_cast<const WCHAR*>(view.get());
        size_t limit = q->resultBlock->defaultSize / sizeof(WCHAR), units = 0;
        while (units < limit && text[units] != 0) ++units;
        std::string answer = Utf8(text, units);
        size_t semicolon = answer.find(';');
        std::string hwnd = semicolon == std::string::npos ? answer : answer.substr(0, semicolon);
        std::string rest = semicolon == std::string::npos ? "" : answer.substr(semicolon + 1);
        return Ok(std::string(q->channel) + " hwnd=" + hwnd + " answer=\"" + rest + "\" in " + took);
    }

    // ask url|devtools|both HWND [times=N] [timeout=MS]
    bool Ask(const std::vector<std::string>& words) {
        if (words.size() < 3 || (words[1] != "url" && words[1] != "devtools" && words[1] != "both")) {
            return Error("usage: ask url|devtools|both HWND [times=N] [timeout=MS]");
        }
        uint32_t hwnd = static_cast<uint32_t>(std::strtoul(words[2].c_str(), nullptr, 16));
        unsigned long times = 1;
        DWORD timeoutMs = 10000;
        for (size_t w = 3; w < words.size(); ++w) {
            if (words[w].compare(0, 6, "times=") == 0) times = std::strtoul(words[w].c_str() + 6, nullptr, 10);
            else if (words[w].compare(0, 8, "timeout=") == 0) timeoutMs = static_cast<DWORD>(std::strtoul(words[w].c_str() + 8, nullptr, 10));
            else return Error("unknown option " + words[w]);
        }
        Question url{"url", FindBlock("url-request"), FindBlock("url"), &BrowserProfile::lpszEventRequestUrl,
                     &BrowserProfile::lpszEventResponseUrl, nullptr, nullptr, {}, {}};
        Question devtools{"devtools", FindBlock("devtools-request"), FindBlock("devtools"),
                          &BrowserProfile::lpszEventRequestDevtool, &BrowserProfile::lpszEventResponseDevtool,
                          nullptr, nullptr, {}, {}};
        std::vector<Question*> questions;
        if (words[1] != "devtools") questions.push_back(&url);
        if (words[1] != "url") questions.push_back(&devtools);
        bool ok = true;
        for (unsigned long round = 0; round < times; ++round) {
            // Both channels are asked before either answer is awaited: they run side by side.
            for (Question* q : questions) {
                std::string error;
                if (!Pose(q, hwnd, &error)) return Error(error);
            }
            // Each response is awaited on a thread of its own, so each time is its own.
            std::vector<std::thread> waiters;
            for (Question* q : questions) waiters.emplace_back(Await, q, timeoutMs);
            for (std::thread& waiter : waiters) waiter.join();
            for (Question* q : questions) ok = Report(q, timeoutMs) && ok;
        }
        return ok;
    }

    // What FindHandle sees: the top-level windows whose class begins with
    // "Chrome", front to back, and the one it would bind now.
    static BOOL CALLBACK ListBrowserWindow(HWND hwnd, LPARAM lParam) {
        WCHAR className[260] = {};
        GetClassNameW(hwnd, className, 260);
        if (_wcsnicmp(className, W("Chrome"), 6) != 0) return TRUE;
        char piece[64];
        std::snprintf(piece, sizeof(piece), "%x", HandleValue(hwnd));
        std::string line = piece;
        line += ":";
        for (const WCHAR* c = className; *c != 0; ++c) line += *c < 0x80 ? static_cast<char>(*c) : '?';
        if (!IsWindowVisible(hwnd)) line += ":hidden";
        if ((GetWindowLongW(hwnd, GWL_STYLE) & WS_SYSMENU) == 0) line += ":nosysmenu";
        std::string* out = reinterpret_cast<std::string*>(lParam);
        if (!out->empty()) *out += " ";
        *out += line;
        return TRUE;
    }

    static bool Browsers() {
        std::string list;
        EnumWindows(ListBrowserWindow, reinterpret_cast<LPARAM>(&list));
        HWND front = FindBrowserWindow();
        if (front == nullptr) return Error("no window FindHandle would bind" + (list.empty() ? std::string() : " (" + list + ")"));
        char piece[32];
        std::snprintf(piece, sizeof(piece), "%x", HandleValue(front));
        return Ok(std::string("FindHandle binds ") + piece + " (" + list + ")");
    }

    static bool Help() {
        std::printf(
            "ok commands:\n"
            "  create [BLOCK=SIZE ...]   create the four blocks (url-request=" ORV_STR(REQUEST_BLOCK_BYTES) " devtools-request=" ORV_STR(REQUEST_BLOCK_BYTES) " url=" ORV_STR(URL_RESULT_BLOCK_BYTES) " devtools=" ORV_STR(DEVTOOL_RESULT_BLOCK_BYTES) ")\n"
            "  close [BLOCK]             close this agent's handle(s); on Windows the block then goes away\n"
            "  dump url|devtools         the host's answer: <hwnd hex>;<answer text>\n"
            "  bytes BLOCK [COUNT]       the block's first COUNT bytes in hexadecimal\n"
            "  clear BLOCK               zero a block\n"
            "  request url|devtools HWND write HWND (hex) into a request block, without signalling\n"
            "  ask url|devtools|both HWND [times=N] [timeout=MS]\n"
            "                            ask the host about window HWND (hex) and print its answer and how long\n"
            "                            it took; an error when no response event came within MS (10000)\n"
            "  events                    which of the host's six events exist\n"
            "  signal EVENT | wait EVENT [MS]   request-url, request-devtools, response-url, response-devtools,\n"
            "                            url-answer, devtools-answer\n"
            "  window add HWND CLASS [hidden] [nosysmenu] [back] | window remove HWND | window list | window clear\n"
            "                            (POSIX) top-level windows of the simulated desktop, front to back\n"
            "  browsers                  browser windows front to back (HWND:class[:hidden][:nosysmenu]) and the\n"
            "                            one a FindHandle would bind now: the HWND to ask about\n"
            "  sleep MS\n");
        std::fflush(stdout);
        return true;
    }

    const BrowserProfile* profile_;
    UniqueHandle handles_[4];
};

std::vector<std::string> Split(const std::string& line) {
    std::vector<std::string> words;
    std::istringstream in(line);
    std::string word;
    while (in >> word) words.push_back(word);
    return words;
}

}  // namespace

const char kUsage[] =
    "Usage: orvendel-agent [--profile chrome|edge] [COMMAND [ARGS] [, COMMAND ...]]\n"
    "Plays the DRM agent: creates its four blocks, asks the host questions and\n"
    "reads the answers. With no COMMAND, reads commands from standard input, one\n"
    "per line; each prints one line beginning \"ok\" or \"error\". The command\n"
    "`help` lists them.\n"
    "\n"
    "  -h, --help     show this text\n"
    "  --version      show the version\n"
    "\n"
    "Exit status: 0 every command succeeded, 1 one failed, 2 bad usage.\n";

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::puts("orvendel-agent " ORV_VERSION);
        return 0;
    }
    const BrowserProfile* profile = &g_ChromeProfile;
    int first = 1;
    if (argc >= 3 && std::strcmp(argv[1], "--profile") == 0) {
        if (std::strcmp(argv[2], "edge") == 0) {
            profile = &g_EdgeProfile;
        } else if (std::strcmp(argv[2], "chrome") != 0) {
            std::fprintf(stderr, "orvendel-agent: --profile chrome|edge\nTry 'orvendel-agent --help'.\n");
            return 2;
        }
        first = 3;
    }
    if (first < argc && argv[first][0] == '-') {
        std::fprintf(stderr, "orvendel-agent: unknown option '%s'\nTry 'orvendel-agent --help'.\n", argv[first]);
        return 2;
    }
    Agent agent(profile);
    bool ok = true;
    if (first < argc) {
        std::vector<std::string> words;
        for (int i = first; i <= argc; ++i) {
            if (i == argc || std::strcmp(argv[i], ",") == 0) {
                ok = agent.Run(words) && ok;
                words.clear();
            } else {
                words.push_back(argv[i]);
            }
        }
        return ok ? 0 : 1;
    }
    std::string line;
    while (std::getline(std::cin, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::vector<std::string> words = Split(line);
        if (!words.empty() && (words[0] == "quit" || words[0] == "exit")) break;
        ok = agent.Run(words) && ok;
    }
    return ok ? 0 : 1;
}
