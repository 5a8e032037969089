// orvendel-log: prints the host's scrambled debug-log files as text.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "orv_version.h"
#include "tools/log_reader/log_decode.h"

namespace fs = std::filesystem;

namespace {

const char kUsage[] =
    "Usage: orvendel-log [options] FILE|FOLDER...\n"
    "Prints the records of Orvendel debug-log files. A FOLDER stands for every\n"
    "*.log file in it, in name order.\n"
    "\n"
    "Options:\n"
    "  --level=LIST   only these levels: E (<E>), A (<A>), T (trace) or all;\n"
    "                 comma-separated or repeated (default: all)\n"
    "  -f, --follow   print what is there, then keep printing new records as\n"
    "                 the files grow (waits for files that do not exist yet)\n"
    "  --raw          print the decoded text exactly, line breaks included\n"
    "  --stats        print record counts per level and unreadable bytes\n"
    "  -h, --help     show this text\n"
    "  --version      show the version\n"
    "\n"
    "Exit status: 0 success, 1 a file could not be read, 2 bad usage.\n";

const auto kPollInterval = std::chrono::milliseconds(200);

enum ExitCode { kExitOk = 0, kExitUnreadable = 1, kExitUsage = 2 };

struct Options {
    unsigned level_mask = 0;  // bit n set: print level n; 0 until a --level is seen
    bool follow = false;
    bool raw = false;
    bool stats = false;
    std::vector<std::string> inputs;
};

struct Counts {
    size_t by_level[3] = {0, 0, 0};
    size_t incomplete = 0;
    size_t skipped = 0;
    void Add(const LogDecodeResult& result) {
        for (const LogRecord& rec : result.records) {
            if (rec.level >= 0 && rec.level <= 2) ++by_level[rec.level];
            if (!rec.complete) ++incomplete;
        }
        skipped += result.skipped;
    }
    void Add(const Counts& other) {
        for (int i = 0; i < 3; ++i) by_level[i] += other.by_level[i];
        incomplete += other.incomplete;
        skipped += other.skipped;
    }
};

struct Source {
    LogFileFollower follower;
    std::string label;
    bool said_missing = false;
};

void Error(const std::string& text) {
    std::fprintf(stderr, "orvendel-log: %s\n", text.c_str());
}

int UsageError(const std::string& text) {
    Error(text);
    std::fputs("Try 'orvendel-log --help'.\n", stderr);
    return kExitUsage;
}

bool ParseLevels(const std::string& list, unsigned* mask) {
    size_t start = 0;
    while (start <= list.size()) {
        size_t comma = list.find(',', start);
        if (comma == std::string::npos) comma = list.size();
        std::string item = list.substr(start, comma - start);
        std::transform(item.begin(), item.end(), item.begin(),
                       [](unsigned char c) { return static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c); });
        if (item == "E") {
            *mask |= 1u << 2;
        } else if (item == "A") {
            *mask |= 1u << 1;
        } else if (item == "T") {
            *mask |= 1u << 0;
        } else if (item == "ALL") {
            *mask |= 7u;
        } else {
            return false;
        }
        start = comma + 1;
    }
    return true;
}

// Returns -1 when the program should go on, otherwise its exit code.
int ParseArgs(int argc, char** argv, Options* opt) {
    bool options_done = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (options_done || arg.empty() || arg[0] != '-' || arg == "-") {
            opt->inputs.push_back(arg);
        } else if (arg == "--") {
            options_done = true;
        } else if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return kExitOk;
        } else if (arg == "--version") {
            std::puts("orvendel-log " ORV_VERSION);
            return kExitOk;
        } else if (arg == "-f" || arg == "--follow") {
            opt->follow = true;
        } else if (arg == "--raw") {
            opt->raw = true;
        } else if (arg == "--stats") {
            opt->stats = true;
        } else if (arg.compare(0, 8, "--level=") == 0) {
            if (!ParseLevels(arg.substr(8), &opt->level_mask)) {
                return UsageError("bad level list '" + arg.substr(8) + "' (use E, A, T or all)");
            }
        } else {
            return UsageError("unknown option '" + arg + "'");
        }
    }
    if (opt->inputs.empty()) return UsageError("no FILE or FOLDER given");
    if (opt->stats && opt->follow) return UsageError("--stats cannot be combined with --follow");
    if (opt->stats && opt->raw) return UsageError("--stats cannot be combined with --raw");
    if (opt->level_mask == 0) opt->level_mask = 7u;
    return -1;
}

bool IsLogFile(const fs::directory_entry& entry) {
    std::error_code ec;
    if (!entry.is_regular_file(ec)) return false;
    std::string ext = entry.path().extension().u8string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); });
    return ext == ".log";
}

struct FolderEntry {
    fs::path path;
    std::string label;
};

// The day files of a folder, oldest first: their names begin with the date.
bool ListLogFiles(const std::string& folder, std::vector<FolderEntry>* files) {
    std::error_code ec;
    fs::directory_iterator it(fs::path(folder), ec);
    if (ec) return false;
    std::vector<fs::path> paths;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        if (ec) return false;
        if (IsLogFile(*it)) paths.push_back(it->path());
    }
    std::sort(paths.begin(), paths.end(),
              [](const fs::path& a, const fs::path& b) { return a.filename() < b.filename(); });
    std::string joint = folder;
    if (!joint.empty() && joint.back() != '/' && joint.back() != '\\') {
        joint += static_cast<char>(fs::path::preferred_separator);
    }
    files->clear();
    for (const fs::path& path : paths) files->push_back({path, joint + path.filename().u8string()});
    return true;
}

bool IsFolder(const std::string& input) {
    std::error_code ec;
    return fs::is_directory(fs::path(input), ec);
}

Source MakeSource(const fs::path& path, const std::string& label) {
    Source src;
    src.follower.path = path;
    src.label = label;
    return src;
}

void Print(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
}

void PrintRecords(const Options& opt, const Source& src, bool labelled, const LogDecodeResult& result) {
    std::string out;
    for (const LogRecord& rec : result.records) {
        int level = rec.level >= 0 && rec.level <= 2 ? rec.level : 0;
        if (!(opt.level_mask & (1u << level))) continue;
        if (opt.raw) {
            out += rec.text;
            continue;
        }
        if (labelled) {
            out += src.label;
            out += ": ";
        }
        out += FormatLogRecordLine(rec);
        out += '\n';
    }
    Print(out);
}

std::string CountsLine(const Counts& c) {
    size_t total = c.by_level[0] + c.by_level[1] + c.by_level[2];
    char line[200];
    std::snprintf(line, sizeof line, "records %zu (E %zu, A %zu, T %zu), incomplete %zu, skipped bytes %zu\n",
                  total, c.by_level[2], c.by_level[1], c.by_level[0], c.incomplete, c.skipped);
    return line;
}

int ReadOnce(const Options& opt) {
    int rc = kExitOk;
    std::vector<Source> sources;
    for (const std::string& input : opt.inputs) {
        if (!IsFolder(input)) {
            sources.push_back(MakeSource(fs::path(input), input));
            continue;
        }
        std::vector<FolderEntry> files;
        if (!ListLogFiles(input, &files)) {
            Error("cannot read folder " + input);
            rc = kExitUnreadable;
            continue;
        }
        if (files.empty()) Error("no .log files in " + input);
        for (const FolderEntry& file : files) sources.push_back(MakeSource(file.path, file.label));
    }

    const bool labelled = sources.size() > 1;
    Counts total;
    for (Source& src : sources) {
        LogDecodeResult result;
        if (PollLogFile(src.follower, true, &result) == LogPollStatus::kMissing) {
            Error("cannot read " + src.label);
            rc = kExitUnreadable;
            continue;
        }
        if (opt.stats) {
            Counts counts;
            counts.Add(result);
            total.Add(counts);
            if (labelled) Print(src.label + ": " + CountsLine(counts));
        } else {
            PrintRecords(opt, src, labelled, result);
        }
    }
    if (opt.stats) Print(labelled ? "total: " + CountsLine(total) : CountsLine(total));
    std::fflush(stdout);
    return rc;
}

// Runs until the process is stopped.
int Follow(const Options& opt) {
    std::vector<Source> sources;
    std::vector<std::string> folders;
    for (const std::string& input : opt.inputs) {
        if (IsFolder(input)) {
            folders.push_back(input);
        } else {
            sources.push_back(MakeSource(fs::path(input), input));
        }
    }
    // A followed folder gains a file each day, so its lines are labelled from the start.
    const bool labelled = opt.inputs.size() > 1 || !folders.empty();

    for (;;) {
        for (const std::string& folder : folders) {
            std::vector<FolderEntry> files;
            if (!ListLogFiles(folder, &files)) continue;
            for (const FolderEntry& file : files) {
                bool known = std::any_of(sources.begin(), sources.end(),
                                         [&](const Source& s) { return s.follower.path == file.path; });
                if (!known) sources.push_back(MakeSource(file.path, file.label));
            }
        }
        for (Source& src : sources) {
            LogDecodeResult result;
            LogPollStatus status = PollLogFile(src.follower, false, &result);
            if (status == LogPollStatus::kMissing) {
                if (!src.said_missing) Error("waiting for " + src.label);
                src.said_missing = true;
                continue;
            }
            src.said_missing = false;
            if (status == LogPollStatus::kRestarted) Error(src.label + " was truncated; reading it from the start");
            PrintRecords(opt, src, labelled, result);
        }
        std::fflush(stdout);
        std::this_thread::sleep_for(kPollInterval);
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    int rc = ParseArgs(argc, argv, &opt);
    if (rc >= 0) return rc;
#ifdef _WIN32
    // Record text carries its own CR LF; text mode would double the CR.
    if (opt.raw) _setmode(_fileno(stdout), _O_BINARY);
#endif
    return opt.follow ? Follow(opt) : ReadOnce(opt);
}
