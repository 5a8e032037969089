#include "host/handlers.h"

// The window registry and the agent's result blocks are not wired up yet:
// the commands are accepted and have no effect.
void FindHandle(int argumentValue) {}

void ReturnUrlList(const WCHAR* argumentText, DWORD argumentSize, int browserType) {}

void ReturnCheckDevtools(const WCHAR* argumentText, DWORD argumentSize, int browserType) {}
