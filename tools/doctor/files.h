// Reading the files a browser reads, on a machine that may be broken: only
// regular files, never blocking on a FIFO or device, never more than a bound.
#pragma once

#include <string>

// Manifests and policy files are a few kilobytes; the browser itself reads
// them whole, so anything near this bound is broken already.
constexpr size_t kMaxReadBytes = 16u * 1024u * 1024u;

enum class ReadResult {
    kOk,
    kMissing,     // no such file, or a link that leads nowhere
    kNotRegular,  // a folder, FIFO, device or socket
    kTooLarge,
    kUnreadable,  // exists, but opening or reading it failed (permissions, a link loop, I/O)
};

// Reads `path` (UTF-8) whole into `text`. Anything but kOk leaves `text` empty
// and puts a short reason, fit for a report line, in `why`.
ReadResult ReadRegularFile(const std::string& path, std::string* text, std::string* why,
                           size_t limit = kMaxReadBytes);
