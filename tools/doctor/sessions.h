// The user sessions signed in on the machine, judged apart from how the
// platform lists them, so that a table can drive the rule.
#pragma once

#include <string>
#include <vector>

#include "tools/doctor/verdict.h"

// The WTS_CONNECTSTATE_CLASS values the rule tells apart.
enum class SessionState { kActive, kDisconnected, kOther };

struct UserSession {
    unsigned long id = 0;
    SessionState state = SessionState::kOther;
    std::string user;  // empty: nobody signed in
};

// Adds agent.sessions: a WARN when more than one user session is signed in,
// as their hosts then share the agent's Global\ events and blocks.
void JudgeSessions(const std::vector<UserSession>& sessions, Report* report);
