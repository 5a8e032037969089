#include "bench/extension_standin.h"

#include <chrono>
#include <utility>

#include "contract/frame_header.h"

ExtensionStandIn::ExtensionStandIn(ChildProcess* host, Reaction reaction, Options options)
    : host_(host), reaction_(std::move(reaction)), options_(std::move(options)) {}

void ExtensionStandIn::Start() {
    reader_ = std::thread([this] { Run(); });
}

void ExtensionStandIn::Join() {
    if (reader_.joinable()) reader_.join();
}

bool ExtensionStandIn::Send(const std::string& bytes) {
    std::lock_guard<std::mutex> lock(writeLock_);
    return host_->Write(bytes.data(), bytes.size());
}

void ExtensionStandIn::CloseInput() {
    std::lock_guard<std::mutex> lock(writeLock_);
    host_->CloseInput();
}

bool ExtensionStandIn::WaitReplies(uint64_t count, int timeoutMs) {
    std::unique_lock<std::mutex> lock(stateLock_);
    changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return replies_ >= count || ended_; });
    return replies_ >= count;
}

uint64_t ExtensionStandIn::Replies() {
    std::lock_guard<std::mutex> lock(stateLock_);
    return replies_;
}

bool ExtensionStandIn::Ended() {
    std::lock_guard<std::mutex> lock(stateLock_);
    return ended_;
}

bool ExtensionStandIn::NextFrame(std::string* body) {
    for (;;) {
        if (pending_.size() - at_ >= FRAME_HEADER_BYTES) {
            size_t length = DecodeFrameHeader(reinterpret_cast<const unsigned char*>(pending_.data() + at_));
            if (options_.largestFrame != 0 && length > options_.largestFrame) {
                if (options_.onBrokenOutput) {
                    options_.onBrokenOutput("a frame of " + std::to_string(length) +
                                            " bytes: the output has lost its framing");
                }
                return false;
            }
            if (pending_.size() - at_ - 4 >= length) {
                body->assign(pending_, at_ + 4, length);
                at_ += 4 + length;
                return true;
            }
        }
        pending_.erase(0, at_);
        at_ = 0;
        char chunk[65536];
        long got = host_->Read(chunk, sizeof chunk, options_.readTimeoutMs);
        if (got <= 0) {
            if (pending_.size() != 0 && options_.onBrokenOutput) options_.onBrokenOutput("the output ends inside a frame");
            return false;
        }
        pending_.append(chunk, static_cast<size_t>(got));
    }
}

void ExtensionStandIn::Run() {
    std::string body;
    while (NextFrame(&body)) {
        ++frames_;
        Seen seen = reaction_(*this, body);
        if (seen == Seen::Stop) break;
        if (seen == Seen::Reply) {
            std::lock_guard<std::mutex> lock(stateLock_);
            ++replies_;
            changed_.notify_all();
        }
    }
    std::lock_guard<std::mutex> lock(stateLock_);
    ended_ = true;
    changed_.notify_all();
}
