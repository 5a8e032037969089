// The whole request path: frames read from the input, dispatched to the real
// handlers, which write into result blocks this process holds, for a desktop
// with one browser window.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include "bridge/profiles.h"
#include "bridge/registry.h"
#include "contract/contract.h"
#include "fuzz/sanitizer_options.h"
#include "host/handlers.h"
#include "host/request.h"
#include "platform/platform.h"
#include "platform/posix/desktop.h"
#include "support/framing.h"

namespace {

namespace fs = std::filesystem;

const uint32_t kBrowserWindow = 0x00C0FFEEu;

std::string g_windowsDir;
std::string g_namespace;
FILE* g_output = nullptr;
HANDLE g_urlBlock = nullptr;
HANDLE g_devtoolBlock = nullptr;

void TearDown() {
    if (g_urlBlock != nullptr) CloseHandle(g_urlBlock);
    if (g_devtoolBlock != nullptr) CloseHandle(g_devtoolBlock);
    DesktopRemoveWindow(kBrowserWindow);
    // The desktop table outlives its last user; this namespace is never used again.
    shm_unlink(("/orvendel." + g_namespace + ".%desktop").c_str());
    std::error_code ec;
    if (!g_windowsDir.empty()) fs::remove_all(g_windowsDir, ec);
}

[[noreturn]] void Fail(const char* what) {
    fprintf(stderr, "request_fuzz: %s\n", what);
    abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char folder[] = "/tmp/orv-request-fuzz-XXXXXX";
    if (mkdtemp(folder) == nullptr) Fail("no temporary folder");
    g_windowsDir = folder;
    std::error_code ec;
    fs::create_directories(g_windowsDir + "/stelvo/dump", ec);
    fs::create_directories(g_windowsDir + "/stelvo/policy", ec);
    {
        // Trace lines off: only refusals and errors reach the log.
        std::ofstream ini(g_windowsDir + "/stelvo/policy/stelvo.ini", std::ios::binary);
        ini << CLIENT_INI_WITH_DEBUG("0");
    }
    setenv("ORVENDEL_WINDOWS_DIR", g_windowsDir.c_str(), 1);
    // A namespace of our own: the blocks and the desktop of other runs stay apart.
    g_namespace = "fz" + fs::path(g_windowsDir).filename().string();
    setenv("ORVENDEL_NAMESPACE", g_namespace.c_str(), 1);

    DesktopWindow window;
    window.hwnd = kBrowserWindow;
    window.className = u"Chrome_WidgetWin_1";
    window.visible = true;
    window.style = WS_OVERLAPPEDWINDOW | WS_VISIBLE;
    if (!DesktopAddWindow(window, true)) Fail("no desktop window");

    g_urlBlock = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, URL_RESULT_BLOCK_BYTES,
                                    g_ChromeProfile.lpszUrlResultBlock);
    g_devtoolBlock = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, DEVTOOL_RESULT_BLOCK_BYTES,
                                        g_ChromeProfile.lpszDevtoolResultBlock);
    if (g_urlBlock == nullptr || g_devtoolBlock == nullptr) Fail("no result blocks");

    g_output = fopen("/dev/null", "wb");
    if (g_output == nullptr) Fail("no /dev/null");
    g_CommandHandlers = CommandHandlers{FindHandle, ReturnUrlList, ReturnCheckDevtools};
    atexit(TearDown);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // fmemopen wants a buffer of at least one byte.
    static const uint8_t kNothing = 0;
    FILE* input = fmemopen(const_cast<uint8_t*>(size != 0 ? data : &kNothing), size != 0 ? size : 1, "rb");
    if (input == nullptr) return 0;
    if (size == 0) fgetc(input);
    SetFrameStreams(input, g_output);

    // Every third frame comes as from Edge, whose blocks do not exist.
    int frame = 0;
    for (;;) {
        HeapArray<char> request;
        FrameReadResult result = ReadFramedRequest(&request);
        if (result == FRAME_END_OF_INPUT) break;
        if (result == FRAME_REQUEST) HandleRequest(std::move(request), frame % 3 == 2 ? MSEDGE_PROC : CHROME_BROSWER);
        ++frame;
    }
    FlushOutput();
    SetFrameStreams(stdin, g_output);
    fclose(input);
    // Each input starts from an empty registry.
    ClearWindowRegistry();
    return 0;
}
