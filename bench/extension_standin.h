// The extension's end of the host's pipes, as the benchmark and the soak run
// play it: a reader thread splits the host's output into frames and hands
// each to the program's own reaction, which answers the questions it wants
// answered; the replies are counted here, so that a writer can wait for them.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "tools/common/child_process.h"

class ExtensionStandIn {
public:
    // What a frame was to the program.
    enum class Seen {
        Reply,  // counted: WaitReplies waits for these
        Other,  // a question, answered or not, or a frame the program rejected
        Stop,   // the program can no longer play its part: read no further
    };
    // Called on the reader thread, one frame at a time; it may Send.
    using Reaction = std::function<Seen(ExtensionStandIn& extension, const std::string& body)>;

    struct Options {
        // The longest quiet spell on the output before it counts as ended.
        int readTimeoutMs = 60000;
        // A longer frame means the framing is lost; 0 takes any length.
        size_t largestFrame = 0;
        // Told why the output broke off (a lost framing, an end inside a
        // frame); unset, such an output simply ends.
        std::function<void(const std::string& what)> onBrokenOutput;
    };

    ExtensionStandIn(ChildProcess* host, Reaction reaction, Options options);
    ExtensionStandIn(const ExtensionStandIn&) = delete;
    ExtensionStandIn& operator=(const ExtensionStandIn&) = delete;
    ~ExtensionStandIn() { Join(); }

    void Start();
    // Until the reader has seen the end of the output.
    void Join();

    // One writer at a time: the reaction answers while others send.
    bool Send(const std::string& bytes);
    void CloseInput();

    // Until count replies in all; false on time-out or at the end of the output.
    bool WaitReplies(uint64_t count, int timeoutMs);
    uint64_t Replies();
    bool Ended();
    uint64_t Frames() const { return frames_.load(); }

private:
    bool NextFrame(std::string* body);
    void Run();

    ChildProcess* host_;
    Reaction reaction_;
    Options options_;
    std::thread reader_;
    // Frames come in bulk reads: a reader of one frame at a time would cost
    // more than the host it measures on a stream of refusals.
    std::string pending_;
    size_t at_ = 0;
    std::atomic<uint64_t> frames_{0};
    std::mutex writeLock_;
    std::mutex stateLock_;
    std::condition_variable changed_;
    uint64_t replies_ = 0;
    bool ended_ = false;
};
