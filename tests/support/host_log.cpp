#include "tests/support/host_log.h"

#include <algorithm>
#include <sstream>

std::vector<std::string> Messages(const HostLog& log, int level) {
    std::vector<std::string> messages;
    for (const auto& record : log.records) {
        if (record.level == level) messages.push_back(record.message);
    }
    return messages;
}

size_t CountMessage(const HostLog& log, int level, const std::string& message) {
    std::vector<std::string> messages = Messages(log, level);
    return static_cast<size_t>(std::count(messages.begin(), messages.end(), message));
}

std::vector<std::string> MessagesStartingWith(const HostLog& log, int level,
                                              const std::string& prefix) {
    std::vector<std::string> matching;
    for (const auto& message : Messages(log, level)) {
        if (message.compare(0, prefix.size(), prefix) == 0) matching.push_back(message);
    }
    return matching;
}

std::string DescribeLog(const HostLog& log) {
    std::ostringstream text;
    text << "debug log (" << log.files.size() << " files, " << log.records.size() << " records, "
         << log.skipped << " bytes skipped):\n";
    for (const auto& record : log.records) {
        std::string line = FormatLogRecordLine(record);
        if (line.size() > 300) line = line.substr(0, 300) + "...";
        text << "  " << line << "\n";
    }
    return text.str();
}
