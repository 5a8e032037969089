// The DRM agent's side of a running host, played by a test process: the four
// blocks of a profile, the six events that the host made, and browser windows
// of its own for questions about more than one window.
#pragma once

#include <cstdint>
#include <string>
#include <thread>

#include "bridge/profiles.h"
#include "platform/platform.h"
#include "support/handles.h"

enum class AgentChannel { Url, Devtool };

const char* ChannelName(AgentChannel channel);

// Lowercase hexadecimal without prefix, as the host writes handles.
std::string HandleHex(uint32_t value);

class AgentSide {
public:
    AgentSide() = default;
    AgentSide(const AgentSide&) = delete;
    AgentSide& operator=(const AgentSide&) = delete;

    // Makes the two result blocks, and the two request blocks unless told
    // not to; the result blocks start stained (see StainResult).
    bool CreateBlocks(const BrowserProfile& profile, bool withRequestBlocks, std::string* error);
    // Makes the channel's request block later (a block the host once missed).
    bool CreateRequestBlock(AgentChannel channel, std::string* error);
    // Opens the profile's six events; the host must have made them.
    bool OpenEvents(std::string* error);
    void Close();

    // Writes hwnd, little-endian, at offset 0 of the channel's request block
    // and a non-zero pattern over the reserved bytes (so that their clearing
    // shows), then signals the request event.
    bool Post(AgentChannel channel, uint32_t hwnd);
    // Writes the block as Post does, without signalling.
    bool WriteRequest(AgentChannel channel, uint32_t hwnd);
    bool Signal(AgentChannel channel);
    // True when the channel's response event came within timeoutMs.
    bool WaitResponse(AgentChannel channel, DWORD timeoutMs);

    // All 16 bytes of the request block are zero (false without a block).
    bool RequestBlockIsZero(AgentChannel channel) const;
    // The result block's UTF-16 text up to its terminator, one char per unit
    // (units above 0x7F become '?').
    std::string ResultText(AgentChannel channel) const;
    // Writes a text that the host never writes into the result block.
    void StainResult(AgentChannel channel);

private:
    struct Block {
        UniqueHandle mapping;
        UniqueView view;
        DWORD size = 0;
        bool Create(const WCHAR* name, DWORD bytes);
        unsigned char* Bytes() const { return static_cast<unsigned char*>(view.get()); }
    };
    struct Channel {
        Block request;
        Block result;
        UniqueHandle requestEvent;
        UniqueHandle responseEvent;
    };
    Channel& Of(AgentChannel channel) { return channel == AgentChannel::Url ? url_ : devtool_; }
    const Channel& Of(AgentChannel channel) const { return channel == AgentChannel::Url ? url_ : devtool_; }

    const BrowserProfile* profile_ = nullptr;
    Channel url_, devtool_;
};

// The text StainResult writes.
extern const char kStainText[];

// A visible top-level window of class "Chrome_WidgetWin_1" with a system
// menu, shown in front of the windows already there: on Windows a real one
// on a thread of its own, on POSIX an entry of the simulated desktop.
class ExtraBrowserWindow {
public:
    ExtraBrowserWindow() = default;
    ExtraBrowserWindow(const ExtraBrowserWindow&) = delete;
    ExtraBrowserWindow& operator=(const ExtraBrowserWindow&) = delete;
    ~ExtraBrowserWindow() { Close(); }

    bool Show(std::string* error);
    void Close();
    uint32_t Handle() const { return hwnd_; }

private:
    uint32_t hwnd_ = 0;
#if defined(_WIN32)
    std::thread pump_;
#endif
};
