// The client's side of the host: its ini file and dump folder, and the
// agent's named objects. The same on both platforms, through Win32 calls.
#include "tools/doctor/client.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "bridge/profiles.h"
#include "contract/contract.h"
#include "platform/platform.h"
#include "tools/doctor/files.h"
#include "tools/doctor/lookup.h"
#include "tools/common/wide.h"

namespace fs = std::filesystem;

void CheckClient(Report* report) {
    WCHAR windows[MAX_PATH] = {};
    UINT length = GetSystemWindowsDirectoryW(windows, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        report->Add(Status::kFail, "client", "client.windows", "", "the Windows folder cannot be found",
                    "check the system's installation");
        return;
    }
    const std::string folder = Utf8(windows);
    const std::string ini = NativePath(folder + "\\" CLIENT_INI_SUBPATH);
    const std::string dump = NativePath(folder + "\\" CLIENT_DUMP_SUBPATH);
    std::error_code ec;
    // Read first through the bounded reader: the profile functions would
    // block on a FIFO and read a device without end.
    std::string text, why;
    const ReadResult read = ReadRegularFile(ini, &text, &why);
    text.clear();
    if (read == ReadResult::kMissing) {
        report->Add(Status::kWarn, "client", "client.ini", "", "no ini file " + ini + ": trace lines are off",
                    "create it with [" CLIENT_INI_SECTION "] " CLIENT_INI_DEBUG_KEY "=1 to turn trace lines on");
    } else if (read != ReadResult::kOk) {
        report->Add(Status::kWarn, "client", "client.ini", "",
                    "the ini file " + ini + " cannot be read (" + why + "): trace lines are off",
                    "make it a file every user may read");
    } else {
        WCHAR value[100] = {};
        GetPrivateProfileStringW(Wide(CLIENT_INI_SECTION).c_str(), Wide(CLIENT_INI_DEBUG_KEY).c_str(), Wide("0").c_str(),
                                 value, 100, Wide(folder + "\\" CLIENT_INI_SUBPATH).c_str());
        const std::string debug = Utf8(value);
        report->Add(Status::kOk, "client", "client.ini", "",
                    "ini file " + ini + ": " CLIENT_INI_DEBUG_KEY "=" + debug +
                        (std::atoi(debug.c_str()) > 0 ? " (trace lines on)" : " (trace lines off)"));
    }
    const fs::path dumpPath = fs::u8path(dump);
    if (!fs::is_directory(dumpPath, ec)) {
        report->Add(Status::kWarn, "client", "client.dump", "", "no dump folder " + dump + ": nothing is logged",
                    "create the folder " + dump);
        return;
    }
    JudgeDumpFolder(dump, report);
    SYSTEMTIME now;
    GetLocalTime(&now);
    char today[32];
    std::snprintf(today, sizeof(today), "%04u%02u%02u_", now.wYear, now.wMonth, now.wDay);
    int logs = 0;
    // increment(ec), not ++: a folder that changes or fails while listed must not throw.
    for (fs::directory_iterator it(dumpPath, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::directory_entry& entry = *it;
        std::string file = entry.path().filename().u8string();
        if (file.compare(0, 9, today) != 0 || entry.path().extension() != ".log") continue;
        ++logs;
        std::error_code sizeError;
        const auto size = entry.file_size(sizeError);
        report->Add(Status::kOk, "client", "client.log", "",
                    "today's log " + file + ": " + (sizeError ? "size unknown" : std::to_string(size) + " bytes"));
    }
    if (logs == 0) report->Add(Status::kOk, "client", "client.log", "", "no log written today");
}

void CheckAgent(const std::string& label, bool edge, Report* report) {
    const BrowserProfile& p = edge ? g_EdgeProfile : g_ChromeProfile;
    const WCHAR* events[] = {p.lpszEventResponseUrl, p.lpszEventRequestUrl,     p.lpszEventForRes,
                             p.lpszEventResponseDevtool, p.lpszEventRequestDevtool, p.lpszEventGetDevtoolRes};
    int present = 0;
    std::string missing;
    for (const WCHAR* name : events) {
        // Opened to be seen, closed at once: never waited on, never signalled.
        HANDLE event = OpenEventW(SYNCHRONIZE, FALSE, name);
        if (event != nullptr) {
            CloseHandle(event);
            ++present;
        } else {
            missing += (missing.empty() ? "" : ", ") + Utf8(name);
        }
    }
    if (present == 6) {
        report->Add(Status::kOk, "agent", "agent.events", label, "the six events exist (a host is running, or the agent made them)");
    } else if (present == 0) {
        report->Add(Status::kWarn, "agent", "agent.events", label, "none of the six events exists: no host runs for this browser",
                    "open the browser with the extension: it starts the host, which makes them");
    } else {
        report->Add(Status::kFail, "agent", "agent.events", label, "missing events: " + missing,
                    "restart the browser; if they stay missing, another object holds the name");
    }
    struct Block {
        const WCHAR* name;
        SIZE_T least;
    } blocks[] = {{p.lpszUrlRequestBlock, REQUEST_BLOCK_BYTES},
                  {p.lpszDevtoolRequestBlock, REQUEST_BLOCK_BYTES},
                  {p.lpszUrlResultBlock, URL_RESULT_BLOCK_BYTES},
                  {p.lpszDevtoolResultBlock, DEVTOOL_RESULT_BLOCK_BYTES}};
    for (const Block& block : blocks) {
        const std::string name = Utf8(block.name);
        HANDLE mapping = OpenFileMappingW(FILE_MAP_READ, FALSE, block.name);
        if (mapping == nullptr) {
            report->Add(Status::kWarn, "agent", "agent.block", label, "no block " + name + ": the agent is not running",
                        "start the Orvendel agent");
            continue;
        }
        void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, block.least);
        if (view != nullptr) {
            UnmapViewOfFile(view);
            report->Add(Status::kOk, "agent", "agent.block", label,
                        "block " + name + " holds at least " + std::to_string(block.least) + " bytes");
        } else {
            report->Add(Status::kFail, "agent", "agent.block", label,
                        "block " + name + " is smaller than the " + std::to_string(block.least) + " bytes the host needs",
                        "update the agent; it makes the blocks");
        }
        CloseHandle(mapping);
    }
}
