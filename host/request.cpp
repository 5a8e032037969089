#include "host/request.h"

#include <stdint.h>
#include <string.h>

#include <optional>

#include <rapidjson/document.h>

#include "host/handlers.h"
#include "support/framing.h"
#include "support/log.h"
#include "support/text.h"

CommandHandlers g_CommandHandlers = {FindHandle, ReturnUrlList, ReturnCheckDevtools};

// Room on the stack for the document of a small request.
#define DOCUMENT_POOL_BYTES 2048

namespace {

void Refuse(const WCHAR* line) {
    if (line != nullptr) DebugLog(LOG_ERROR, line);
    SendReply(-1, W(""));
}

// The UTF-16 text of a string argument of `length` bytes: what the UTF-8
// conversion makes of its bytes up to the first zero byte followed by zeros,
// length + 1 bytes in all, the count of units c taken first and the text
// made of c + 1 units. The library ends every string with a zero byte, so a
// string without one of its own is converted where it lies; only one that
// holds a zero byte needs a zero-filled copy.
HeapArray<WCHAR> ConvertArgument(const char* bytes, size_t length) {
    HeapArray<char> copy;
    const char* source = bytes;
    size_t used = strnlen(bytes, length);
    if (used < length) {
        copy = AllocZeroed<char>(length + 1);
        if (!copy) return nullptr;
        memcpy(copy.get(), bytes, used);
        source = copy.get();
    }
    // The count takes in the terminator and any zero bytes after a cut.
    int sourceBytes = static_cast<int>(length + 1);
    int units = MultiByteToWideChar(CP_UTF8, 0, source, sourceBytes, nullptr, 0);
    // Each unit is written once: by the conversion, or as a zero behind it.
    HeapArray<WCHAR> text = AllocUninitialized<WCHAR>(static_cast<size_t>(units) + 1);
    if (!text) return text;
    int written = units > 0 ? MultiByteToWideChar(CP_UTF8, 0, source, sourceBytes, text.get(), units) : 0;
    for (int i = written > 0 ? written : 0; i <= units; ++i) text[i] = 0;
    return text;
}

// value in decimal, as "%d" writes it, terminated; out holds at least 12 units.
void WriteDecimal(WCHAR* out, int value) {
    WCHAR digits[10];
    size_t n = 0;
    uint32_t magnitude = value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
    do {
        digits[n++] = static_cast<WCHAR>(W('0') + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    size_t at = 0;
    if (value < 0) out[at++] = W('-');
    while (n > 0) out[at++] = digits[--n];
    out[at] = 0;
}

}  // namespace

void HandleRequest(HeapArray<char> request, int browserType) {
    // The pool's first chunk lies on the stack: a small request's document
    // needs no heap block of its own, a large one takes more chunks as usual.
    alignas(8) char poolBuffer[DOCUMENT_POOL_BYTES];
    rapidjson::MemoryPoolAllocator<> pool(poolBuffer, sizeof(poolBuffer));
    std::optional<rapidjson::Document> document(std::in_place, &pool);
    // Destroys the document and gives back the pool's heap chunks.
    auto releaseDocument = [&document, &pool] {
        document.reset();
        pool.Clear();
    };
    // Iterative parsing accepts exactly the texts the recursive parser does,
    // without letting a deeply nested body exhaust the stack.
    document->Parse<rapidjson::kParseIterativeFlag>(request ? request.get() : "");
    // The document holds its own copies of the strings: the frame's buffer,
    // up to 1 MB, need not live on beside the UTF-16 text made below.
    request.reset();
    if (document->HasParseError()) {
        Refuse(W("Parse Error!!"));
        return;
    }

    const WCHAR* keyError = W("Key value is not exist or wrong!");
    if (!document->IsObject()) return Refuse(keyError);
    rapidjson::Value::ConstMemberIterator commandId = document->FindMember("CommandID");
    if (commandId == document->MemberEnd()) return Refuse(keyError);
    rapidjson::Value::ConstMemberIterator commandArgs = document->FindMember("CommandArgs");
    if (commandArgs == document->MemberEnd()) return Refuse(keyError);
    if (!commandId->value.IsString()) return Refuse(keyError);
    if (!commandArgs->value.IsString() && !commandArgs->value.IsInt()) return Refuse(keyError);

    const WCHAR* allocationError = W("Buffer allocation failed : %d");
    DWORD commandBytes = commandId->value.GetStringLength();
    HeapArray<WCHAR> commandWord = AllocZeroed<WCHAR>(static_cast<size_t>(commandBytes) + 1);
    if (!commandWord) {
        DebugLog(LOG_ERROR, allocationError, static_cast<int>(GetLastError()));
        return Refuse(nullptr);
    }
    // The command word goes through the ANSI code page, not UTF-8. The
    // conversion stops at the first zero byte, where a copy cut there would end.
    AnsiToWide(commandId->value.GetString(), commandWord.get(), static_cast<int>(commandBytes + 1));
    DebugLog(LOG_TRACE, W("Command ID : %s"), commandWord.get());

    int argumentValue = 0;
    DWORD argumentSize = 0;
    HeapArray<WCHAR> argumentText;
    if (commandArgs->value.IsInt()) {
        argumentValue = commandArgs->value.GetInt();
        argumentSize = commandBytes + 1;
        releaseDocument();
        argumentText = AllocZeroed<WCHAR>(ARGUMENT_TEXT_UNITS);
        if (argumentText) WriteDecimal(argumentText.get(), argumentValue);
    } else {
        DWORD argumentBytes = commandArgs->value.GetStringLength();
        argumentSize = argumentBytes + 1;
        argumentText = ConvertArgument(commandArgs->value.GetString(), argumentBytes);
        // Nothing more is needed of the document: its pool goes before the handler runs.
        releaseDocument();
    }
    if (!argumentText) {
        DebugLog(LOG_ERROR, allocationError, static_cast<int>(GetLastError()));
        return Refuse(nullptr);
    }

    if (_wcsicmp(commandWord.get(), W("FindHandle")) == 0) {
        g_CommandHandlers.findHandle(argumentValue);
    } else if (_wcsicmp(commandWord.get(), W("ReturnUrlList")) == 0) {
        g_CommandHandlers.returnUrlList(argumentText.get(), argumentSize, browserType);
    } else if (_wcsicmp(commandWord.get(), W("ReturnCheckDevtools")) == 0) {
        g_CommandHandlers.returnCheckDevtools(argumentText.get(), argumentSize, browserType);
    } else {
        Refuse(nullptr);
    }
}
