// What /proc tells of other processes, for the programs that watch the host
// (POSIX only).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The whole of a /proc file; false when it cannot be read, as when its
// process ends between the open and the read (ESRCH).
bool ReadProcFile(const std::string& path, std::string* text);

// The ids of the processes in the table now.
std::vector<uint32_t> ProcessIds();
// The parent of pid; 0 when pid is gone.
uint32_t ParentOf(uint32_t pid);
// A "KiB" line of /proc/<pid>/status (field as "VmRSS:"); -1 when missing.
long StatusKiB(uint32_t pid, const char* field);
