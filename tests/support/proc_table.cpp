#include "tests/support/proc_table.h"

#if !defined(_WIN32)

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <filesystem>
#include <fstream>
#include <string>

std::vector<uint32_t> ProcessIds() {
    std::vector<uint32_t> pids;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
        std::string name = entry.path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
        pids.push_back(static_cast<uint32_t>(std::stoul(name)));
    }
    return pids;
}

bool ReadProcFile(const std::string& path, std::string* text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    // istream::read turns a failed read into badbit; istreambuf_iterator
    // would throw it out of the caller.
    text->clear();
    char chunk[4096];
    while (in.read(chunk, sizeof chunk) || in.gcount() > 0) text->append(chunk, static_cast<size_t>(in.gcount()));
    return !in.bad();
}

uint32_t ParentOf(uint32_t pid) {
    std::string text;
    if (!ReadProcFile("/proc/" + std::to_string(pid) + "/stat", &text)) return 0;
    // The command name may hold spaces and parentheses; the fields after it do not.
    size_t close = text.rfind(')');
    if (close == std::string::npos) return 0;
    char state = 0;
    unsigned parent = 0;
    if (sscanf(text.c_str() + close + 1, " %c %u", &state, &parent) != 2) return 0;
    return parent;
}

long StatusKiB(uint32_t pid, const char* field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    const size_t length = strlen(field);
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, length, field) == 0) return atol(line.c_str() + length);
    }
    return -1;
}

#endif
