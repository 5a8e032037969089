// The two relay threads: the agent's questions to the extension, and back.
#pragma once

#include "contract/contract.h"
#include "platform/platform.h"

#define RELAY_LOOKUP_ATTEMPTS 10
#define RELAY_LOOKUP_PAUSE_MS 100
#define RELAY_ANSWER_WAIT_MS 5000
#define RELAY_MESSAGE_BYTES 260

// Each takes BrowserType as its start argument and never returns.
unsigned WINAPI ChromeFrameRequestThread(void* browserType);
unsigned WINAPI ChromeFrameRequestDevtoolThread(void* browserType);

// Starts both, as start-up does; their handles are not kept.
void StartRelayThreads(int browserType);
