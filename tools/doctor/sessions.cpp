#include "tools/doctor/sessions.h"

namespace {

// Microsoft Learn, WTS_CONNECTSTATE_CLASS
// (https://learn.microsoft.com/windows/win32/api/wtsapi32/ne-wtsapi32-wts_connectstate_class):
// WTSActive is a signed-in user at the device, WTSDisconnected a signed-in
// user not at it (a Remote Desktop client gone, or the user switched away);
// that user's browser and host keep running, so both count. Listener and
// connected sessions have nobody signed in. Kernel object namespaces
// (https://learn.microsoft.com/windows/win32/termserv/kernel-object-namespaces):
// session 0 only hosts services, and fast user switching gives each user a
// session of their own from 1 on.
bool SignedIn(const UserSession& s) {
    return s.id != 0 && !s.user.empty() && (s.state == SessionState::kActive || s.state == SessionState::kDisconnected);
}

}  // namespace

void JudgeSessions(const std::vector<UserSession>& sessions, Report* report) {
    std::string listed;
    int count = 0;
    for (const UserSession& s : sessions) {
        if (!SignedIn(s)) continue;
        ++count;
        listed += (listed.empty() ? "" : ", ") + s.user + " in session " + std::to_string(s.id) +
                  (s.state == SessionState::kActive ? " (active)" : " (disconnected)");
    }
    if (count > 1) {
        report->Add(Status::kWarn, "agent", "agent.sessions", "",
                    std::to_string(count) + " user sessions are signed in (" + listed + "): the hosts of all " +
                        std::to_string(count) +
                        " share the agent's Global\\ events and blocks, so a request may reach another session's "
                        "browser",
                    "keep one user signed in while the extension is used: sign the others out rather than "
                    "disconnecting or switching users");
    } else {
        report->Add(Status::kOk, "agent", "agent.sessions", "",
                    count == 1 ? "one user session is signed in (" + listed + ")" : "no user session is signed in");
    }
}
