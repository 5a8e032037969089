// orvendel-demo: plays the browser's side of the pipes against the real host
// and prints what crosses them, then the host's decoded debug log.
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

#include "platform/child_process.h"
#include "tools/log_reader/log_decode.h"

namespace fs = std::filesystem;

namespace {

const char kReply[] = "{\"Result\":\"-1\",\"Data\":\"\"}";

std::string LengthBytes(uint32_t n) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i) s[i] = static_cast<char>((n >> (8 * i)) & 0xFF);
    return s;
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

struct Step {
    std::string title;
    uint32_t declared;
    std::string body;
    bool expectReply;
};

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
        // Browsers pass the extension's origin; the host ignores its arguments.
        if (!host_.Start(hostPath, {"chrome-extension://abcdefghijklmnopabcdefghijklmnop/"}, env, &error)) {
            std::fprintf(stderr, "cannot start the host: %s\n", error.c_str());
            return 1;
        }
        std::printf("started the host, pid %u\n\n", host_.Pid());

        std::string padded = "{\"CommandID\":\"FindHandle\",\"CommandArgs\":9}";
        padded.resize(1000000, ' ');
        std::string overLong = padded + "X";
        std::vector<Step> steps = {
            {"FindHandle with a window id: accepted, never answered", 0,
             "{\"CommandID\":\"FindHandle\",\"CommandArgs\":5}", false},
            {"ReturnUrlList (the answer to a GetURL): accepted, never answered", 0,
             "{\"CommandID\":\"ReturnUrlList\",\"CommandArgs\":\"5;https://example.test/\"}", false},
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
        for (const Step& step : steps) ok = Exchange(step) && ok;

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
            fs::path candidate = base / ("orvendel-demo-" + std::to_string(host_.Pid() + i) + "-" +
                                         std::to_string(static_cast<unsigned>(std::rand())));
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
        ini << "[Root]\r\nDebug=1\r\n";
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
        bool ok = ExpectReplies(step.expectReply ? 1 : 0, step.expectReply ? 5000 : 300);
        std::printf("\n");
        return ok;
    }

    // Reads the replies that come within the time; a reply must be the refusal frame.
    bool ExpectReplies(int expected, int timeoutMs) {
        int seen = 0;
        bool ok = true;
        for (;;) {
            unsigned char header[4];
            if (!host_.ReadExact(header, 4, seen < expected ? timeoutMs : 300)) break;
            uint32_t n = header[0] | (header[1] << 8) | (header[2] << 16) | (static_cast<uint32_t>(header[3]) << 24);
            std::string body(n, '\0');
            if (n > 1 << 20 || !host_.ReadExact(&body[0], n, 5000)) {
                std::printf("   <-- a broken frame\n");
                return false;
            }
            std::printf("   <-- %s  %s\n", Hex(std::string(reinterpret_cast<char*>(header), 4)).c_str(),
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

    ChildProcess host_;
    fs::path windowsDir_;
};

}  // namespace

int main(int argc, char** argv) {
    std::string hostPath = ProgramDirectory() + ExecutableName("orvendel_host");
    bool keep = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--host" && i + 1 < argc) {
            hostPath = argv[++i];
        } else if (arg == "--keep") {
            keep = true;
        } else {
            std::fprintf(stderr, "usage: orvendel-demo [--host PATH] [--keep]\n");
            return 2;
        }
    }
    Demo demo;
    return demo.Run(hostPath, keep);
}
