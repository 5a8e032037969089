#include "tests/support/agent_side.h"

#include <cstdio>
#include <cstring>

#include "bridge/registry.h"
#include "bridge/relay.h"
#include "contract/request_block.h"
#include "tools/common/wide.h"
#if defined(_WIN32)
#include <future>
#else
#include <atomic>

#include "platform/posix/desktop.h"
#endif

namespace {

// Sizes the agent gives its blocks: the least the host may rely on.
const DWORD kUrlResultBytes = URL_RESULT_BLOCK_BYTES;
const DWORD kDevtoolResultBytes = DEVTOOL_RESULT_BLOCK_BYTES;
const unsigned char kReservedPattern = 0xC5;

}  // namespace

const char kStainText[] = "stale;answer";

const char* ChannelName(AgentChannel channel) { return channel == AgentChannel::Url ? "Url" : "Devtool"; }

std::string HandleHex(uint32_t value) {
    char text[16];
    snprintf(text, sizeof(text), "%x", value);
    return text;
}

bool AgentSide::Block::Create(const WCHAR* name, DWORD bytes) {
    size = bytes;
    mapping.reset(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, bytes, name));
    if (!mapping) return false;
    view.reset(MapViewOfFile(mapping.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, bytes));
    return view != nullptr;
}

bool AgentSide::CreateBlocks(const BrowserProfile& profile, bool withRequestBlocks, std::string* error) {
    profile_ = &profile;
    if (!url_.result.Create(profile.lpszUrlResultBlock, kUrlResultBytes) ||
        !devtool_.result.Create(profile.lpszDevtoolResultBlock, kDevtoolResultBytes)) {
        *error = "cannot make the result blocks";
        return false;
    }
    StainResult(AgentChannel::Url);
    StainResult(AgentChannel::Devtool);
    if (!withRequestBlocks) return true;
    return CreateRequestBlock(AgentChannel::Url, error) && CreateRequestBlock(AgentChannel::Devtool, error);
}

bool AgentSide::CreateRequestBlock(AgentChannel channel, std::string* error) {
    const WCHAR* name =
        channel == AgentChannel::Url ? profile_->lpszUrlRequestBlock : profile_->lpszDevtoolRequestBlock;
    if (!Of(channel).request.Create(name, REQUEST_BLOCK_BYTES)) {
        *error = "cannot make " + Utf8(name);
        return false;
    }
    return true;
}

bool AgentSide::OpenEvents(std::string* error) {
    struct Wanted {
        UniqueHandle* slot;
        const WCHAR* name;
    } wanted[] = {
        {&url_.requestEvent, profile_->lpszEventRequestUrl},
        {&url_.responseEvent, profile_->lpszEventResponseUrl},
        {&devtool_.requestEvent, profile_->lpszEventRequestDevtool},
        {&devtool_.responseEvent, profile_->lpszEventResponseDevtool},
    };
    for (const Wanted& w : wanted) {
        w.slot->reset(OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, w.name));
        if (!*w.slot) {
            *error = "cannot open " + Utf8(w.name);
            return false;
        }
    }
    return true;
}

void AgentSide::Close() {
    for (Channel* c : {&url_, &devtool_}) {
        c->request.view.reset();
        c->request.mapping.reset();
        c->result.view.reset();
        c->result.mapping.reset();
        c->requestEvent.reset();
        c->responseEvent.reset();
    }
}

bool AgentSide::WriteRequest(AgentChannel channel, uint32_t hwnd) {
    Block& block = Of(channel).request;
    if (!block.view) return false;
    unsigned char* bytes = block.Bytes();
    EncodeRequestHwnd(hwnd, bytes);
    memset(bytes + REQUEST_HWND_BYTES, kReservedPattern, REQUEST_BLOCK_BYTES - REQUEST_HWND_BYTES);
    return true;
}

bool AgentSide::Post(AgentChannel channel, uint32_t hwnd) {
    return WriteRequest(channel, hwnd) && Signal(channel);
}

bool AgentSide::Signal(AgentChannel channel) { return SetEvent(Of(channel).requestEvent.get()) != FALSE; }

bool AgentSide::WaitResponse(AgentChannel channel, DWORD timeoutMs) {
    return WaitForSingleObject(Of(channel).responseEvent.get(), timeoutMs) == WAIT_OBJECT_0;
}

bool AgentSide::RequestBlockIsZero(AgentChannel channel) const {
    const Block& block = Of(channel).request;
    if (!block.view) return false;
    for (DWORD i = 0; i < REQUEST_BLOCK_BYTES; ++i) {
        if (block.Bytes()[i] != 0) return false;
    }
    return true;
}

std::string AgentSide::ResultText(AgentChannel channel) const {
    const Block& block = Of(channel).result;
    std::string text;
    if (!block.view) return text;
    for (DWORD i = 0; i + 1 < block.size; i += 2) {
        unsigned unit = block.Bytes()[i] | (block.Bytes()[i + 1] << 8);
        if (unit == 0) break;
        text += unit < 0x80 ? static_cast<char>(unit) : '?';
    }
    return text;
}

void AgentSide::StainResult(AgentChannel channel) {
    Block& block = Of(channel).result;
    if (!block.view) return;
    memset(block.Bytes(), 0, block.size);
    for (size_t i = 0; kStainText[i] != 0; ++i) block.Bytes()[2 * i] = static_cast<unsigned char>(kStainText[i]);
}

#if defined(_WIN32)

namespace {

const WCHAR kExtraWindowClass[] = W("Chrome_WidgetWin_1");

LRESULT CALLBACK ExtraWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

}  // namespace

bool ExtraBrowserWindow::Show(std::string* error) {
    Close();
    std::promise<uint32_t> created;
    std::future<uint32_t> handle = created.get_future();
    DWORD failure = 0;
    // The window's thread answers its messages, as a browser's UI thread does.
    pump_ = std::thread([&created, &failure]() {
        HINSTANCE instance = GetModuleHandleW(nullptr);
        WNDCLASSEXW wc = {};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = ExtraWindowProc;
        wc.hInstance = instance;
        wc.lpszClassName = kExtraWindowClass;
        if (RegisterClassExW(&wc) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
            failure = GetLastError();
            created.set_value(0);
            return;
        }
        HWND window = CreateWindowExW(0, kExtraWindowClass, W("Orvendel test window"), WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                                      CW_USEDEFAULT, CW_USEDEFAULT, 320, 240, nullptr, nullptr, instance, nullptr);
        if (window == nullptr) failure = GetLastError();
        created.set_value(HandleValue(window));
        if (window == nullptr) return;
        MSG msg;
        while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    });
    hwnd_ = handle.get();
    if (hwnd_ == 0) {
        pump_.join();
        *error = "cannot create a window: error " + std::to_string(failure);
        return false;
    }
    return true;
}

void ExtraBrowserWindow::Close() {
    if (!pump_.joinable()) return;
    if (hwnd_ != 0) PostMessageW(HandleFromValue(hwnd_), WM_CLOSE, 0, 0);
    pump_.join();
    hwnd_ = 0;
}

#else

namespace {

// Far above any pid, so never the handle of a launcher's window.
std::atomic<uint32_t> g_nextExtraWindow{0x7E000001u};

}  // namespace

bool ExtraBrowserWindow::Show(std::string* error) {
    Close();
    DesktopWindow window;
    window.hwnd = g_nextExtraWindow.fetch_add(1);
    window.className = u"Chrome_WidgetWin_1";
    window.visible = true;
    window.style = WS_OVERLAPPEDWINDOW | WS_VISIBLE;
    if (!DesktopAddWindow(window, true)) {
        *error = "cannot add a window to the desktop: error " + std::to_string(GetLastError());
        return false;
    }
    hwnd_ = window.hwnd;
    return true;
}

void ExtraBrowserWindow::Close() {
    if (hwnd_ != 0) DesktopRemoveWindow(hwnd_);
    hwnd_ = 0;
}

#endif
