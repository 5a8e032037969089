// The client's ini file and dump folder, and the agent's named objects.
#pragma once

#include <string>

#include "tools/doctor/verdict.h"

void CheckClient(Report* report);
// One set of the agent's names: Chrome's (also Chromium's) or Edge's.
void CheckAgent(const std::string& label, bool edge, Report* report);
