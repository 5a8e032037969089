#include "tests/support/frames.h"

#include "contract/frame_header.h"

const char kReplyBody[] = R"({"Result":"-1","Data":""})";

std::string QuestionPrefix(const std::string& word) { return "{\"Result\":\"" + word + "\",\"Data\":\""; }

std::string Question(const std::string& word, int windowId) {
    return QuestionPrefix(word) + std::to_string(windowId) + "\"}";
}

std::string LengthPrefix(uint32_t length) {
    unsigned char header[FRAME_HEADER_BYTES];
    EncodeFrameHeader(length, header);
    return std::string(reinterpret_cast<const char*>(header), sizeof header);
}

std::string Frame(const std::string& body) {
    return LengthPrefix(static_cast<uint32_t>(body.size())) + body;
}

std::string Request(const std::string& command, const std::string& argsJson) {
    return "{\"CommandID\":\"" + command + "\",\"CommandArgs\":" + argsJson + "}";
}

std::string UnknownCommand(const std::string& command) { return Request(command, "\"\""); }

std::string PaddedRequest(const std::string& command, size_t size) {
    size_t frame = Request(command, "\"\"").size();
    return Request(command, "\"" + std::string(size > frame ? size - frame : 0, 'a') + "\"");
}

bool SplitFrames(const std::string& bytes, std::vector<std::string>* bodies) {
    size_t at = 0;
    while (at < bytes.size()) {
        if (bytes.size() - at < FRAME_HEADER_BYTES) return false;
        const uint32_t length = DecodeFrameHeader(reinterpret_cast<const unsigned char*>(bytes.data() + at));
        at += FRAME_HEADER_BYTES;
        if (bytes.size() - at < length) return false;
        bodies->push_back(bytes.substr(at, length));
        at += length;
    }
    return true;
}
