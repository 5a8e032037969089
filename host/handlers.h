// The three commands of the extension. None of them replies.
#pragma once

#include "platform/platform.h"

void FindHandle(int argumentValue);
void ReturnUrlList(const WCHAR* argumentText, DWORD argumentSize, int browserType);
void ReturnCheckDevtools(const WCHAR* argumentText, DWORD argumentSize, int browserType);
