#include "host/request.h"

#include <string.h>

#include <rapidjson/document.h>

#include "host/framing.h"
#include "host/handlers.h"
#include "support/log.h"
#include "support/text.h"

CommandHandlers g_CommandHandlers = {FindHandle, ReturnUrlList, ReturnCheckDevtools};

namespace {

void Refuse(const WCHAR* line) {
    if (line != nullptr) DebugLog(LOG_ERROR, line);
    SendReply(-1, W(""));
}

// The bytes of a JSON string up to its first zero byte, terminated.
HeapArray<char> CopyStringBytes(const rapidjson::Value& value) {
    size_t length = value.GetStringLength();
    HeapArray<char> copy = AllocZeroed<char>(length + 1);
    if (copy) {
        const char* bytes = value.GetString();
        size_t used = strnlen(bytes, length);
        memcpy(copy.get(), bytes, used);
    }
    return copy;
}

}  // namespace

void HandleRequest(HeapArray<char> request, int browserType) {
    // Iterative parsing accepts exactly the texts the recursive parser does,
    // without letting a deeply nested body exhaust the stack.
    rapidjson::Document document;
    document.Parse<rapidjson::kParseIterativeFlag>(request ? request.get() : "");
    if (document.HasParseError()) {
        Refuse(W("Parse Error!!"));
        return;
    }

    const WCHAR* keyError = W("Key value is not exist or wrong!");
    if (!document.IsObject()) return Refuse(keyError);
    rapidjson::Value::ConstMemberIterator commandId = document.FindMember("CommandID");
    if (commandId == document.MemberEnd()) return Refuse(keyError);
    rapidjson::Value::ConstMemberIterator commandArgs = document.FindMember("CommandArgs");
    if (commandArgs == document.MemberEnd()) return Refuse(keyError);
    if (!commandId->value.IsString()) return Refuse(keyError);
    if (!commandArgs->value.IsString() && !commandArgs->value.IsInt()) return Refuse(keyError);

    const WCHAR* allocationError = W("Buffer allocation failed : %d");
    DWORD commandBytes = commandId->value.GetStringLength();
    HeapArray<char> commandCopy = CopyStringBytes(commandId->value);
    HeapArray<WCHAR> commandWord = commandCopy ? AllocZeroed<WCHAR>(static_cast<size_t>(commandBytes) + 1) : nullptr;
    if (!commandWord) {
        DebugLog(LOG_ERROR, allocationError, static_cast<int>(GetLastError()));
        return Refuse(nullptr);
    }
    // The command word goes through the ANSI code page, not UTF-8.
    AnsiToWide(commandCopy.get(), commandWord.get(), static_cast<int>(commandBytes + 1));
    DebugLog(LOG_TRACE, W("Command ID : %s"), commandWord.get());

    int argumentValue = 0;
    DWORD argumentSize = 0;
    HeapArray<char> argumentCopy;
    HeapArray<WCHAR> argumentText;
    if (commandArgs->value.IsInt()) {
        argumentValue = commandArgs->value.GetInt();
        argumentSize = commandBytes + 1;
        argumentText = AllocZeroed<WCHAR>(ARGUMENT_TEXT_UNITS);
        if (argumentText) StringCchPrintfW(argumentText.get(), ARGUMENT_TEXT_UNITS, W("%d"), argumentValue);
    } else {
        DWORD argumentBytes = commandArgs->value.GetStringLength();
        argumentSize = argumentBytes + 1;
        argumentCopy = CopyStringBytes(commandArgs->value);
        if (argumentCopy) {
            // The count takes in the terminator and any zero bytes after a cut.
            int units = MultiByteToWideChar(CP_UTF8, 0, argumentCopy.get(), static_cast<int>(argumentSize), nullptr, 0);
            argumentText = AllocZeroed<WCHAR>(static_cast<size_t>(units) + 1);
            if (argumentText) {
                MultiByteToWideChar(CP_UTF8, 0, argumentCopy.get(), static_cast<int>(argumentSize),
                                    argumentText.get(), units);
            }
        }
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
