// The host's debug log as a test reads it back: records by level and text.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "tools/log_reader/log_decode.h"

// What the host wrote to its dump folder.
struct HostLog {
    std::vector<std::string> files;  // file names, in name order
    std::vector<LogRecord> records;  // all files' records, file by file; a cut
                                     // last record has complete == false
    size_t skipped = 0;              // bytes that could not be read as records
};

// Messages of the records of one level, in order.
std::vector<std::string> Messages(const HostLog& log, int level);
size_t CountMessage(const HostLog& log, int level, const std::string& message);
// Messages that start with prefix, of one level, in order.
std::vector<std::string> MessagesStartingWith(const HostLog& log, int level,
                                              const std::string& prefix);
// One line per record, for failure messages.
std::string DescribeLog(const HostLog& log);
