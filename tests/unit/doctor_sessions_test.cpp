// agent.sessions: which sessions count as a signed-in user whose host shares
// the agent's Global\ objects, and the whole check each table row ends in.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/doctor/sessions.h"

namespace {

using S = SessionState;

TEST(DoctorSessionsTest, OneWarnForMoreThanOneSignedInUser) {
    const std::string shared = "share the agent's Global\\ events and blocks, so a request may reach another "
                               "session's browser";
    struct Row {
        const char* title;
        std::vector<UserSession> sessions;
        Status status;
        std::string text;
    } rows[] = {
        {"services and a logon screen", {{0, S::kDisconnected, ""}, {1, S::kOther, ""}}, Status::kOk,
         "no user session is signed in"},
        {"one desktop beside session 0 and the RDP listener",
         {{0, S::kDisconnected, "SYSTEM"}, {1, S::kActive, "alice"}, {65536, S::kOther, ""}}, Status::kOk,
         "one user session is signed in (alice in session 1 (active))"},
        {"fast user switching: the user switched away stays signed in",
         {{1, S::kDisconnected, "alice"}, {2, S::kActive, "bob"}}, Status::kWarn,
         "2 user sessions are signed in (alice in session 1 (disconnected), bob in session 2 (active)): the hosts "
         "of all 2 " + shared},
        {"Remote Desktop: three users, one of them twice",
         {{2, S::kActive, "alice"}, {3, S::kActive, "bob"}, {4, S::kDisconnected, "alice"}, {5, S::kOther, "carol"}},
         Status::kWarn,
         "3 user sessions are signed in (alice in session 2 (active), bob in session 3 (active), alice in session 4 "
         "(disconnected)): the hosts of all 3 " + shared},
    };
    for (const Row& r : rows) {
        Report report;
        JudgeSessions(r.sessions, &report);
        ASSERT_EQ(report.checks.size(), 1u) << r.title;
        const Check& c = report.checks[0];
        EXPECT_EQ(c.status, r.status) << r.title;
        EXPECT_EQ(c.area + " " + c.rule + " [" + c.browser + "]", "agent agent.sessions []") << r.title;
        EXPECT_EQ(c.text, r.text) << r.title;
        EXPECT_EQ(c.fix, r.status == Status::kWarn ? "keep one user signed in while the extension is used: sign the "
                                                     "others out rather than disconnecting or switching users"
                                                   : "")
            << r.title;
    }
}

}  // namespace
