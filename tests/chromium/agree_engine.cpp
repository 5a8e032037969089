// One Chromium a group, under Xvfb (headless Chromium keeps its profile in a
// temporary folder and so never reads the user's folders), in a private
// mount namespace where the group's etc folder is bound over /etc/chromium
// and its noexec folder is mounted noexec: the machine's own folders are
// never touched. That needs root.
#include "tests/chromium/agree_engine.h"

#include <fcntl.h>
#include <rapidjson/document.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <numeric>
#include <sstream>
#include <thread>

#ifndef ORV_DOCTOR_PATH
#error "ORV_DOCTOR_PATH must name orvendel-doctor"
#endif
#ifndef ORV_AGREE_EXTENSION_DIR
#error "ORV_AGREE_EXTENSION_DIR must name the test extension's folder"
#endif

namespace fs = std::filesystem;

const char kAgreeStarts[] = "(the host starts)";
const char kAgreeNotRun[] = "(the extension does not run)";

namespace {

using Clock = std::chrono::steady_clock;

const char kChromium[] = "/usr/bin/chromium";
const char kEtc[] = "/etc/chromium";
const char kTag[] = "\"[agree] ";
// Bounds, not expectations: a browser on a loaded 2-core machine is slow.
const int kGroupMs = 120000;
// The extension's "loaded" line comes within a few seconds of the browser's
// window; its absence this long after is the outcome.
const int kNotRunMs = 20000;
// Where neither the DevTools line (some extension policies keep it away) nor
// xwininfo shows the window, the bound counts from the browser's start.
const int kNotRunFromStartMs = 60000;

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A file this process holds open for writing must never reach a child: a
// browser that inherited the descriptor keeps it for its whole life, and the
// kernel then refuses to run that file (ETXTBSY) when another group's browser
// starts it as a host, so a good host "has exited". Files are written
// close-on-exec, and no thread forks while one is open.
std::mutex gForking;

bool WriteBytes(const fs::path& path, const std::string& text) {
    std::error_code ec;
    fs::create_directories(path.parent_path(), ec);
    std::lock_guard<std::mutex> hold(gForking);
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    return close(fd) == 0 && done == text.size();
}

bool ReadText(const fs::path& path, std::string* text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    text->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

std::string Replace(std::string text, const std::string& what, const std::string& with) {
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + with.size())) {
        text.replace(at, what.size(), with);
    }
    return text;
}

std::string Expand(const std::string& text, const fs::path& root) {
    std::string backslashed;
    for (char c : root.string()) backslashed += c == '/' ? std::string("\\\\") : std::string(1, c);
    return Replace(Replace(text, "@R@", root.string()), "@RB@", backslashed);
}

std::string Lay(const AgreeFile& f, const fs::path& root) {
    const fs::path path = root / f.path;
    std::error_code ec;
    fs::create_directories(path.parent_path(), ec);
    switch (f.kind) {
        case AgreeFile::kFolder:
            fs::create_directories(path, ec);
            break;
        case AgreeFile::kLink:
            fs::create_symlink(Expand(f.text, root), path, ec);
            break;
        case AgreeFile::kText:
            if (!WriteBytes(path, Expand(f.text, root))) return "cannot write " + path.string();
            chmod(path.c_str(), static_cast<mode_t>(f.mode));
            break;
    }
    return ec ? "cannot make " + path.string() + ": " + ec.message() : "";
}

std::string Sh(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// A virtual display of our own, for one browser at a time.
class Display {
public:
    ~Display() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    bool Start(int number) {
        const std::string lock = "/tmp/.X" + std::to_string(number) + "-lock";
        if (access(lock.c_str(), F_OK) == 0) return false;
        // Nothing is allocated after fork: other threads may hold malloc's lock.
        const std::string name = ":" + std::to_string(number);
        std::unique_lock<std::mutex> hold(gForking);
        pid_ = fork();
        if (pid_ == 0) {
            int null = open("/dev/null", O_RDWR);
            dup2(null, 1);
            dup2(null, 2);
            execl("/usr/bin/Xvfb", "Xvfb", name.c_str(), "-screen", "0", "1024x768x24", "-nolisten", "tcp",
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        hold.unlock();
        const std::string socket = "/tmp/.X11-unix/X" + std::to_string(number);
        auto start = Clock::now();
        while (MsSince(start) < 30000) {
            // Ours only if the lock names our Xvfb: another test may start one
            // on the same number at the same time.
            std::string lockPid;
            if (access(socket.c_str(), F_OK) == 0 && ReadText(lock, &lockPid) && atoi(lockPid.c_str()) == pid_) {
                number_ = number;
                return true;
            }
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
        return false;
    }
    std::string Name() const { return ":" + std::to_string(number_); }

private:
    pid_t pid_ = -1;
    int number_ = 0;
};

// The browser's log, read as it grows.
class LogTail {
public:
    explicit LogTail(fs::path path) : path_(std::move(path)) {}
    // The complete lines added since the last call.
    std::vector<std::string> Lines() {
        std::vector<std::string> lines;
        std::ifstream in(path_, std::ios::binary);
        if (!in) return lines;
        in.seekg(static_cast<std::streamoff>(read_));
        std::string more((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        read_ += more.size();
        pending_ += more;
        size_t start = 0;
        for (size_t nl = pending_.find('\n'); nl != std::string::npos; nl = pending_.find('\n', start)) {
            lines.push_back(pending_.substr(start, nl - start));
            start = nl + 1;
        }
        pending_.erase(0, start);
        return lines;
    }

private:
    fs::path path_;
    size_t read_ = 0;
    std::string pending_;
};

// The browser's window on that display, as xwininfo lists it.
bool WindowUp(const std::string& display) {
    if (access("/usr/bin/xwininfo", X_OK) != 0) return false;
    const std::string command = "/usr/bin/xwininfo -display " + display + " -root -tree 2>/dev/null";
    FILE* pipe = nullptr;
    {
        std::lock_guard<std::mutex> hold(gForking);
        pipe = popen(command.c_str(), "r");
    }
    if (pipe == nullptr) return false;
    std::string text;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, n);
    pclose(pipe);
    // Its class, on the browser's first window: the tab's, or the dialog that
    // says an extension could not be loaded.
    return text.find("(\"chromium\" \"Chromium\")") != std::string::npos;
}

// The text of one of the extension's lines: "loaded", or "<index> <outcome>".
bool ExtensionLine(const std::string& line, std::string* text) {
    size_t at = line.find(kTag);
    if (at == std::string::npos) return false;
    at += sizeof(kTag) - 1;
    size_t end = line.find("\", source:", at);
    if (end == std::string::npos) return false;
    *text = line.substr(at, end - at);
    return true;
}

std::string Outcome(const std::string& said) {
    if (said == "started") return kAgreeStarts;
    if (said.compare(0, 6, "error ") == 0) return said.substr(6);
    return "(connectNative " + said + ")";
}

// The doctor's verdict for the first extension id: the per-extension entry
// where the report has one, else the browser's own fields.
void ReadDoctor(const fs::path& json, const fs::path& err, AgreeResult* out) {
    std::string text;
    rapidjson::Document doc;
    if (!ReadText(json, &text) || doc.Parse(text.c_str()).HasParseError() || !doc.IsObject() ||
        !doc.HasMember("browsers") || !doc["browsers"].IsArray() || doc["browsers"].Empty() ||
        !doc["browsers"][0].IsObject()) {
        std::string why;
        ReadText(err, &why);
        out->problem = "the doctor gave no report: " + text.substr(0, 300) + why.substr(0, 300);
        return;
    }
    const rapidjson::Value* verdict = &doc["browsers"][0];
    if (verdict->HasMember("extensions") && (*verdict)["extensions"].IsArray() && !(*verdict)["extensions"].Empty()) {
        const rapidjson::Value& first = (*verdict)["extensions"][0];
        if (first.HasMember("runs") && first["runs"].IsBool() && !first["runs"].GetBool()) {
            out->doctorSays = kAgreeNotRun;
            verdict = nullptr;
        } else {
            verdict = &first;
        }
    }
    if (verdict != nullptr) {
        auto str = [&](const char* key) {
            return verdict->HasMember(key) && (*verdict)[key].IsString() ? (*verdict)[key].GetString() : "";
        };
        const bool starts =
            verdict->HasMember("starts") && (*verdict)["starts"].IsBool() && (*verdict)["starts"].GetBool();
        out->doctorSays = starts ? kAgreeStarts : str("browser_says");
        out->doctorAlsoSays = str("browser_also_says");
    }
    if (doc.HasMember("checks") && doc["checks"].IsArray()) {
        for (const auto& check : doc["checks"].GetArray()) {
            if (check.IsObject() && check.HasMember("browser") && check["browser"].IsString() &&
                std::string(check["browser"].GetString()) == "chromium") {
                out->checks.push_back(std::string(check["status"].GetString()) + " " + check["rule"].GetString());
            }
        }
    }
}

// `died` is set when the browser ended before the extension loaded: that is
// the machine failing the run, never a case's outcome.
std::vector<AgreeResult> RunGroup(const AgreeGroup& group, const fs::path& root, const Display& display,
                                  long long* ms, bool* died) {
    *died = false;
    std::vector<AgreeResult> out(group.cases.size());
    auto failAll = [&](const std::string& why) {
        for (AgreeResult& r : out) r.problem = why;
        return out;
    };
    std::error_code ec;
    for (const char* p : {agree_path::kHome, agree_path::kXdg, agree_path::kChromeConfig, agree_path::kUserDataDir,
                          "etc", agree_path::kNoExec, "tmp", "doctor", "started"}) {
        fs::create_directories(root / p, ec);
    }
    // Debian's own file, so the browser starts as it does on the machine.
    fs::copy_file(std::string(kEtc) + "/master_preferences", root / "etc" / "master_preferences", ec);
    std::string problem;
    for (const AgreeFile& f : group.files) problem += Lay(f, root);
    for (const AgreeCase& c : group.cases) {
        for (const AgreeFile& f : c.files) problem += Lay(f, root);
    }
    const fs::path extension = root / "extension";
    fs::copy(ORV_AGREE_EXTENSION_DIR, extension, fs::copy_options::recursive, ec);
    if (ec) problem += "cannot copy the test extension: " + ec.message();
    std::string names = "[";
    for (const AgreeCase& c : group.cases) names += (names.size() > 1 ? "," : "") + AgreeJsonString(c.asked);
    if (!WriteBytes(extension / "names.json", names + "]\n")) problem += "cannot write names.json";
    if (!problem.empty()) return failAll(problem);

    const std::string r = root.string();
    std::string script = "cd " + Sh(r) + " || exit 95\nmount --bind " + Sh(r + "/etc") + " " + kEtc +
                         " || exit 97\nmount --bind noexec noexec && mount -o remount,bind,noexec noexec || exit 96\n";
    for (size_t i = 0; i < group.cases.size(); ++i) {
        const AgreeCase& c = group.cases[i];
        // The test extension is loaded unpacked, which extension policies treat apart.
        script += Sh(ORV_DOCTOR_PATH) + " --browser chromium --unpacked --json --name " + Sh(c.asked) +
                  (c.otherExtension.empty() ? "" : " --extension-id " + Sh(c.otherExtension)) + " >doctor/" +
                  std::to_string(i) + ".json 2>doctor/" + std::to_string(i) + ".err\n";
    }
    script += std::string("exec ") + kChromium +
              " --no-sandbox --no-first-run --no-default-browser-check --disable-gpu --disable-background-networking"
              " --password-store=basic --enable-logging=stderr --v=0 --remote-debugging-port=0 --load-extension=" +
              Sh(extension.string()) + " about:blank >chromium.log 2>&1\n";
    std::vector<std::string> env = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin", "HOME=" + r + "/" + agree_path::kHome,
                                    "DISPLAY=" + display.Name(),          "TMPDIR=" + r + "/tmp",
                                    "XDG_CACHE_HOME=" + r + "/cache",     "LANG=C.UTF-8"};
    for (const auto& kv : group.env) env.push_back(kv.first + "=" + Expand(kv.second, root));
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(&e[0]);
    envp.push_back(nullptr);

    auto start = Clock::now();
    std::unique_lock<std::mutex> hold(gForking);
    pid_t pid = fork();
    if (pid == 0) {
        setsid();  // one process group: the browser and all it starts
        execle("/usr/bin/unshare", "unshare", "--mount", "--propagation", "private", "/bin/sh", "-c", script.c_str(),
               static_cast<char*>(nullptr), envp.data());
        _exit(127);
    }
    hold.unlock();
    LogTail log(root / "chromium.log");
    std::string shared;  // the browser's lines on the extension
    std::vector<std::string> hostLines;
    size_t decided = 0;
    bool loaded = false, ended = false;
    Clock::time_point up{}, polled = start;
    int status = 0;
    while (decided < out.size() && MsSince(start) < kGroupMs) {
        for (const std::string& line : log.Lines()) {
            std::string text;
            if (line.find("DevTools listening") != std::string::npos) up = Clock::now();
            if (line.find("Extension error") != std::string::npos) shared += "\n    " + line.substr(0, 300);
            if (line.find("native messaging host") != std::string::npos) hostLines.push_back(line.substr(0, 300));
            if (!ExtensionLine(line, &text)) continue;
            if (text == "loaded") {
                loaded = true;
                continue;
            }
            const size_t index = static_cast<size_t>(atoi(text.c_str()));
            const size_t space = text.find(' ');
            if (index < out.size()) out[index].browserLines += "\n    " + line.substr(0, 300);
            if (index < out.size() && space != std::string::npos && out[index].browser.empty()) {
                out[index].browser = Outcome(text.substr(space + 1));
                ++decided;
            }
        }
        if (!loaded && up == Clock::time_point{} && MsSince(polled) > 1000) {
            polled = Clock::now();
            if (WindowUp(display.Name())) up = polled;
        }
        if (!loaded &&
            ((up != Clock::time_point{} && MsSince(up) > kNotRunMs) || MsSince(start) > kNotRunFromStartMs)) {
            for (AgreeResult& res : out) res.browser = kAgreeNotRun;
            break;
        }
        if (waitpid(pid, &status, WNOHANG) == pid) {
            ended = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    *ms = MsSince(start);
    std::string tail;
    if (ended && !loaded) {
        *died = true;
        std::string whole;
        ReadText(root / "chromium.log", &whole);
        tail = whole.substr(whole.size() > 1500 ? whole.size() - 1500 : 0);
    }
    for (AgreeResult& res : out) {
        if (!res.browser.empty()) continue;
        res.browser = ended ? "(the browser ended, status " + std::to_string(status) + ")"
                            : "(no outcome within " + std::to_string(kGroupMs / 1000) + " s)";
        if (!tail.empty()) res.browserLines += "\n    the end of its log:\n" + tail;
    }
    if (!ended) {
        kill(-pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    // The hosts that started, whose process groups are their own.
    for (const auto& marker : fs::directory_iterator(root / "started", ec)) {
        std::string pidText;
        const int hostPid = ReadText(marker.path(), &pidText) ? atoi(pidText.c_str()) : 0;
        // Only while that pid is still this group's host: the browser starts
        // a host in its program's folder, below this root. A host that ended
        // early leaves its pid free for another group's host.
        std::error_code linkEc;
        const std::string cwd =
            hostPid > 0 ? fs::read_symlink("/proc/" + std::to_string(hostPid) + "/cwd", linkEc).string() : "";
        if (!linkEc && cwd.compare(0, root.string().size() + 1, root.string() + "/") == 0) kill(hostPid, SIGKILL);
    }
    for (size_t i = 0; i < out.size(); ++i) {
        // The launcher's own lines name the host: its reason for a refusal.
        const std::string name = " " + group.cases[i].asked;
        for (const std::string& line : hostLines) {
            const size_t at = line.find(name);
            if (at != std::string::npos && (at + name.size() == line.size() || line[at + name.size()] == ':')) {
                out[i].browserLines += "\n    " + line;
            }
        }
        out[i].browserLines += shared;
        ReadDoctor(root / "doctor" / (std::to_string(i) + ".json"), root / "doctor" / (std::to_string(i) + ".err"),
                   &out[i]);
    }
    return out;
}

std::string Escaped(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c < 0x20 || c >= 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

}  // namespace

std::string AgreeGoodHost(const std::string& marker) {
    // Not "cat": it was seen to end at once now and then, which the browser
    // reports as the host's exit; the engine ends it by the pid it wrote.
    return "#!/bin/sh\necho $$ > '@R@/started/" + marker + "'\nprintf '\\002\\000\\000\\000{}'\nexec sleep 600\n";
}

std::string AgreeJsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\u%04x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string AgreeSkipReason() {
    if (access(kChromium, X_OK) != 0) return std::string(kChromium) + " is not installed: no real browser to ask";
    if (access("/usr/bin/Xvfb", X_OK) != 0) return "no Xvfb: the browser needs a display to read user folders";
    if (geteuid() != 0) {
        return std::string("not root: the system folders are laid out by binding over ") + kEtc +
               " in a private mount namespace, which needs root";
    }
    if (!fs::is_directory(kEtc)) return std::string(kEtc) + " does not exist: nothing to bind over";
    return "";
}

AgreeRun RunAgreement(const std::vector<AgreeGroup>& groups, const fs::path& root, int sideBySide) {
    AgreeRun run;
    run.results.resize(groups.size());
    run.groupMs.resize(groups.size());
    // The largest groups first, so that no browser is left alone at the end.
    std::vector<size_t> order(groups.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return groups[a].cases.size() > groups[b].cases.size(); });
    std::atomic<size_t> next{0};
    std::mutex mutex;
    auto worker = [&](int slot) {
        Display display;
        bool up = false;
        // Numbers of our own, away from other runs' (and the old table's 90 to 110).
        const int base = 120 + static_cast<int>(getpid() % 40) * 8 + slot * 2;
        for (int n = base; n < base + 40 && !up; n += 1) up = display.Start(n);
        if (!up) {
            std::lock_guard<std::mutex> lock(mutex);
            run.problem = "no Xvfb display for slot " + std::to_string(slot);
            return;
        }
        for (size_t i = next++; i < order.size(); i = next++) {
            const size_t g = order[i];
            bool died = false;
            run.results[g] = RunGroup(groups[g], root / ("g" + std::to_string(g)), display, &run.groupMs[g], &died);
            // One more start, once, for a browser that died before the
            // extension loaded (seen once on a loaded machine, exit status 1).
            if (died) {
                std::fprintf(stderr, "agreement: the browser of group %zu ended before the extension loaded; "
                                     "starting it once more\n", g);
                run.results[g] =
                    RunGroup(groups[g], root / ("g" + std::to_string(g) + "-again"), display, &run.groupMs[g], &died);
            }
        }
    };
    std::vector<std::thread> workers;
    for (int slot = 0; slot < sideBySide; ++slot) workers.emplace_back(worker, slot);
    for (std::thread& t : workers) t.join();
    return run;
}

bool AgreeAgrees(const AgreeResult& r) {
    return r.problem.empty() &&
           (r.doctorSays == r.browser || (!r.doctorAlsoSays.empty() && r.doctorAlsoSays == r.browser));
}

std::string AgreeDescribe(const AgreeGroup& group, const AgreeCase& c) {
    std::string out = "  connectNative(" + AgreeJsonString(c.asked) + ")";
    if (!c.otherExtension.empty()) out += ", the doctor asked about " + c.otherExtension;
    out += "\n  environment (besides HOME=@R@/home):";
    if (group.env.empty()) out += " none";
    for (const auto& kv : group.env) out += " " + kv.first + "=" + Escaped(kv.second);
    out += "\n";
    std::vector<AgreeFile> files = group.files;
    files.insert(files.end(), c.files.begin(), c.files.end());
    for (const AgreeFile& f : files) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", f.mode);
        out += "  @R@/" + f.path +
               (f.kind == AgreeFile::kFolder ? " (a folder)"
                : f.kind == AgreeFile::kLink ? " -> " + f.text
                                             : std::string(" [") + mode + "] " + Escaped(f.text)) +
               "\n";
    }
    return out;
}
