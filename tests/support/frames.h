// Frames and requests as the browser writes them, and the host's replies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The body of every reply the host sends.
extern const char kReplyBody[];

// The question a relay asks the extension: {"Result":"<word>","Data":"<windowId>"}.
std::string Question(const std::string& word, int windowId);
// Its text up to the window id.
std::string QuestionPrefix(const std::string& word);

// Frames as the browser writes them: 4-byte little-endian length, then the body.
std::string LengthPrefix(uint32_t length);
std::string Frame(const std::string& body);
// {"CommandID":"<command>","CommandArgs":<argsJson>}; argsJson is written as given.
std::string Request(const std::string& command, const std::string& argsJson);
// A request for a command the host does not know, which it takes without a reply.
std::string UnknownCommand(const std::string& command);
// A request of exactly size bytes whose CommandArgs is a string of 'a's, so
// that losing or adding any byte spoils it.
std::string PaddedRequest(const std::string& command, size_t size);
// Splits bytes into frame bodies; false when the bytes end inside a frame.
bool SplitFrames(const std::string& bytes, std::vector<std::string>* bodies);
