// How named events and mappings live when the processes that hold them
// close, end, are killed, or stop at a step of making, opening or giving
// them up, and across two accounts. The table of ends runs against the
// POSIX stand-in and, under Wine, against the real Win32 calls, so the two
// are held to one table; the fault points and the accounts are POSIX's own.
// Every party is a process: this program started again (NamedObjectChild).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "platform/platform.h"
#include "support/handles.h"
#include "tests/support/peer.h"

namespace {

using peer::Hear;
using peer::Say;

constexpr DWORD kWaitMs = 30000;
constexpr DWORD kMadeMappingBytes = 16;
constexpr DWORD kTakenMappingBytes = 65536;
const char kEarlierText[] = "earlier run";

using Env = std::vector<std::pair<std::string, std::string>>;

class Party : public peer::Peer {
public:
    Party() : peer::Peer("DISABLED_NamedObjectChild.Main") {}
};

class NamedObjectTest : public ::testing::Test {
protected:
    void SetUp() override {
        static std::atomic<int> counter{0};
        std::string unique = std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++counter);
        name_ = "Global\\faults-" + unique;
#if !defined(_WIN32)
        ns_ = "faults-" + unique;
        setenv("ORVENDEL_NAMESPACE", ns_.c_str(), 1);
#endif
    }

#if !defined(_WIN32)
    // Killed parties leave files behind; none of them outlives the test.
    void TearDown() override {
        for (const std::string& file : Files()) unlink(("/dev/shm/" + file).c_str());
        unsetenv("ORVENDEL_NAMESPACE");
    }

    std::vector<std::string> Files() const {
        std::vector<std::string> names;
        std::string prefix = "orvendel." + ns_ + ".";
        DIR* dir = opendir("/dev/shm");
        if (dir == nullptr) return names;
        while (dirent* entry = readdir(dir)) {
            if (strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0) names.push_back(entry->d_name);
        }
        closedir(dir);
        return names;
    }
    std::string Path() const { return "/dev/shm/orvendel." + ns_ + ".Global%5C" + name_.substr(7); }

    std::string ns_;
#endif

    // Starts a party on the object; "" when it started.
    std::string Start(Party* party, const std::string& role, const std::string& kind, Env env = {}) {
        env.push_back({"ORVENDEL_IPC_KIND", kind});
        ::testing::AssertionResult started = party->Start(role, name_, env);
        return started ? std::string() : std::string(started.message());
    }

    std::string name_;
};

// ---------------------------------------------------------------------------
// One table for both platforms: a maker's object, and how the maker ends.

struct EndCase {
    const char* label;
    const char* kind;   // "event" or "mapping"
    const char* end;    // "close", "exit" (holding it), "kill" or "view-close"
    bool otherHolds;    // another process has it open meanwhile
    const char* taken;  // what the next CreateEventW / CreateFileMappingW finds
};

void PrintTo(const EndCase& c, std::ostream* os) { *os << c.label; }

class EndTest : public NamedObjectTest, public ::testing::WithParamInterface<EndCase> {};

TEST_P(EndTest, TheNextCreatorFindsWhatALiveProcessHolds) {
    const EndCase& c = GetParam();
    Party maker, other, taker;
    ASSERT_EQ(Start(&maker, "make", c.kind), "");
    ASSERT_EQ(maker.Next(), "made 0");
    if (c.otherHolds) {
        ASSERT_EQ(Start(&other, "probe", c.kind), "");
        ASSERT_EQ(other.Next(), std::string("found ") + (std::string(c.kind) == "event" ? "signalled" : "short text"));
    }
    std::string end = c.end;
    if (end == "kill") {
        maker.Kill();
        ASSERT_TRUE(maker.Ended());
    } else if (end == "exit") {
        ASSERT_TRUE(maker.Send("exit"));
        ASSERT_TRUE(maker.Finish());
    } else {
        ASSERT_TRUE(maker.Send(end));
        ASSERT_EQ(maker.Next(), end == "close" ? "closed" : "kept");
    }
    ASSERT_EQ(Start(&taker, "take", c.kind), "");
    EXPECT_EQ(taker.Next(), c.taken);
    EXPECT_TRUE(taker.Finish());
    if (c.otherHolds) {
        EXPECT_TRUE(other.Finish());
    }
    if (end == "close" || end == "view-close") {
        EXPECT_TRUE(maker.Finish());
    }
}

const EndCase kEnds[] = {
    {"EventClosed", "event", "close", false, "new unsignalled"},
    {"EventClosedWhileAnotherHoldsIt", "event", "close", true, "exists signalled"},
    {"EventHeldAtExit", "event", "exit", false, "new unsignalled"},
    {"EventKilled", "event", "kill", false, "new unsignalled"},
    {"EventKilledWhileAnotherHoldsIt", "event", "kill", true, "exists signalled"},
    {"MappingClosed", "mapping", "close", false, "new fits zeros"},
    {"MappingKilled", "mapping", "kill", false, "new fits zeros"},
    {"MappingKilledWhileAnotherHoldsIt", "mapping", "kill", true, "exists short text"},
    // The name goes with the last handle; a view kept past it neither
    // keeps nor blocks the name.
    {"MappingViewKeptPastItsHandle", "mapping", "view-close", false, "new fits zeros"},
};

INSTANTIATE_TEST_SUITE_P(Ends, EndTest, ::testing::ValuesIn(kEnds),
                         [](const ::testing::TestParamInfo<EndCase>& info) { return std::string(info.param.label); });

// A process that ends normally while a namespace-scope handle still holds
// an event lets go of it once: a process that made the name anew after the
// name went keeps its event, and the next one shares it.
TEST_F(NamedObjectTest, AnEndingProcessLetsGoOnce) {
    Party ending, waiter, taker;
    ASSERT_EQ(Start(&ending, "make-global", "event"), "");
    ASSERT_EQ(ending.Next(), "made 0");
    ASSERT_TRUE(ending.Send("exit"));
    ASSERT_EQ(ending.Next(), "exiting");  // between the exit-time release and the static destructors
    ASSERT_EQ(Start(&waiter, "take", "event", {{"ORVENDEL_IPC_THEN", "wait"}}), "");
    std::string taken = waiter.Next();
    EXPECT_TRUE(taken == "new unsignalled" || taken == "exists unsignalled") << taken;
    ASSERT_EQ(waiter.Next(), "waiting");
    ASSERT_TRUE(ending.Send("go"));
    ASSERT_TRUE(ending.Finish());

    ASSERT_EQ(Start(&taker, "take", "event", {{"ORVENDEL_IPC_THEN", "set"}}), "");
    EXPECT_EQ(taker.Next(), "exists unsignalled");
    EXPECT_EQ(taker.Next(), "set");
    EXPECT_EQ(waiter.Next(), "released");
    EXPECT_TRUE(taker.Finish());
    EXPECT_TRUE(waiter.Finish());
}

#if !defined(_WIN32)

// ---------------------------------------------------------------------------
// POSIX: the fault points, fork and two accounts.

// What the call writes on standard error, caught while it runs.
class CatchLog {
public:
    CatchLog() {
        if (pipe(fds_) != 0) return;
        saved_ = dup(2);
        dup2(fds_[1], 2);
        close(fds_[1]);
        fcntl(fds_[0], F_SETFL, O_NONBLOCK);
    }
    std::string Text() {
        dup2(saved_, 2);
        char text[4096] = {};
        ssize_t n = read(fds_[0], text, sizeof text - 1);
        return n > 0 ? std::string(text, static_cast<size_t>(n)) : std::string();
    }
    std::string Line() {
        std::string text = Text();
        return text.substr(0, text.find('\n'));
    }
    ~CatchLog() {
        close(fds_[0]);
        close(saved_);
    }

private:
    int fds_[2] = {-1, -1};
    int saved_ = -1;
};

// Waits until the party stopped itself at step (its fault point said so).
::testing::AssertionResult StoppedAt(Party* party, const std::string& step) {
    std::string said = party->Next();
    if (said != "stopped " + step) return ::testing::AssertionFailure() << "said \"" << said << "\"";
    std::string stat = "/proc/" + std::to_string(party->Pid()) + "/stat";
    auto start = std::chrono::steady_clock::now();
    while (peer::ElapsedMs(start) < peer::kTimeoutMs) {
        char text[512] = {};
        int fd = open(stat.c_str(), O_RDONLY);
        if (fd < 0) break;
        ssize_t n = read(fd, text, sizeof text - 1);
        close(fd);
        const char* state = n > 0 ? strrchr(text, ')') : nullptr;
        if (state != nullptr && state[1] == ' ' && state[2] == 'T') return ::testing::AssertionSuccess();
        usleep(1000);
    }
    return ::testing::AssertionFailure() << "never stopped at " << step;
}

Env Fault(const std::string& step, const char* action) { return {{"ORVENDEL_FAULT", step + ":" + action}}; }

// A process killed at any step of making, opening or letting go of an event
// leaves the next creator what a live process holds, and nothing else.
struct FaultCase {
    const char* step;
    const char* who;    // the party killed: "maker", "opener" or "taker"
    bool leftover;      // the maker ended without letting go first (_exit)
    const char* taken;
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.step << " " << c.who; }

class KillAtStepTest : public NamedObjectTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(KillAtStepTest, AKillAtEachStepLeavesOnlyWhatIsHeld) {
    const FaultCase& c = GetParam();
    const std::string who = c.who;
    Party maker, killed, taker;
    Env fault = Fault(c.step, "kill");
    ASSERT_EQ(Start(&maker, "make", "event", who == "maker" ? fault : Env()), "");
    bool makerDies = who == "maker" && std::string(c.step).compare(0, 7, "create.") == 0;
    if (makerDies) {
        EXPECT_EQ(maker.Next(), "");
        ASSERT_TRUE(maker.Ended());
    } else {
        ASSERT_EQ(maker.Next(), "made 0");
    }
    if (c.leftover) {
        ASSERT_TRUE(maker.Send("_exit"));
        ASSERT_TRUE(maker.Ended());
    }
    if (who == "maker" && !makerDies) {
        ASSERT_TRUE(maker.Send("close"));
        ASSERT_TRUE(maker.Ended());
    }
    if (who != "maker") {
        ASSERT_EQ(Start(&killed, who == "opener" ? "probe" : "take", "event", fault), "");
        EXPECT_EQ(killed.Next(), "");
        ASSERT_TRUE(killed.Ended());
    }
    ASSERT_EQ(Start(&taker, "take", "event"), "");
    EXPECT_EQ(taker.Next(), c.taken);
    EXPECT_TRUE(taker.Finish());
    maker.Kill();
}

const FaultCase kFaults[] = {
    {"create.built", "maker", false, "new unsignalled"},
    {"create.published", "maker", false, "new unsignalled"},
    {"open.opened", "opener", false, "exists signalled"},
    {"open.refused", "opener", false, "exists signalled"},
    {"open.locked", "opener", false, "exists signalled"},
    {"leftover.locked", "taker", true, "new unsignalled"},
    {"release.locked", "maker", false, "new unsignalled"},
    {"release.removed", "maker", false, "new unsignalled"},
};

INSTANTIATE_TEST_SUITE_P(Steps, KillAtStepTest, ::testing::ValuesIn(kFaults),
                         [](const ::testing::TestParamInfo<FaultCase>& info) {
                             std::string label = std::string(info.param.step) + "_" + info.param.who;
                             for (char& ch : label) ch = ch == '.' ? '_' : ch;
                             return label;
                         });

// A leftover whose taker was killed while it held it alone is still a
// leftover to whoever waited meanwhile, whether refused its shared lock or
// only its exclusive one: never adopted with its old state.
struct LeftoverCase {
    const char* kind;
    const char* role;   // "take" (create) or "probe" (open)
    const char* waits;  // where the next party stops meanwhile
    const char* found;
};

void PrintTo(const LeftoverCase& c, std::ostream* os) { *os << c.kind << " " << c.role << " " << c.waits; }

class LeftoverTest : public NamedObjectTest, public ::testing::WithParamInterface<LeftoverCase> {};

TEST_P(LeftoverTest, ALeftoverIsNeverAdopted) {
    const LeftoverCase& c = GetParam();
    Party earlier, resetter, next;
    ASSERT_EQ(Start(&earlier, "make", c.kind), "");
    ASSERT_EQ(earlier.Next(), "made 0");
    ASSERT_TRUE(earlier.Send("_exit"));
    ASSERT_TRUE(earlier.Ended());
    ASSERT_EQ(Start(&resetter, "take", c.kind, Fault("leftover.locked", "stop")), "");
    ASSERT_TRUE(StoppedAt(&resetter, "leftover.locked"));
    ASSERT_EQ(Start(&next, c.role, c.kind, Fault(c.waits, "stop")), "");
    ASSERT_TRUE(StoppedAt(&next, c.waits));
    resetter.Kill();
    ASSERT_TRUE(resetter.Ended());
    ASSERT_EQ(kill(static_cast<pid_t>(next.Pid()), SIGCONT), 0);
    EXPECT_EQ(next.Next(), c.found);
    EXPECT_TRUE(next.Finish());
}

const LeftoverCase kLeftovers[] = {
    {"event", "take", "open.blocked", "new unsignalled"},
    {"event", "probe", "open.blocked", "missing 2"},
    {"mapping", "take", "open.blocked", "new fits zeros"},
    {"event", "take", "open.refused", "new unsignalled"},
    {"event", "probe", "open.refused", "missing 2"},
};

INSTANTIATE_TEST_SUITE_P(Kinds, LeftoverTest, ::testing::ValuesIn(kLeftovers),
                         [](const ::testing::TestParamInfo<LeftoverCase>& info) {
                             std::string label = std::string(info.param.kind) + "_" + info.param.role + "_" +
                                                 info.param.waits;
                             for (char& ch : label) ch = ch == '.' ? '_' : ch;
                             return label;
                         });

// Two openers refused while a taker held a leftover, which was then killed:
// they check one at a time, so neither vouches for the other's shared lock.
TEST_F(NamedObjectTest, TwoRefusedOpenersNeverVouchForEachOther) {
    Party earlier, resetter, first, second;
    ASSERT_EQ(Start(&earlier, "make", "event"), "");
    ASSERT_EQ(earlier.Next(), "made 0");
    ASSERT_TRUE(earlier.Send("_exit"));
    ASSERT_TRUE(earlier.Ended());
    ASSERT_EQ(Start(&resetter, "take", "event", Fault("leftover.locked", "stop")), "");
    ASSERT_TRUE(StoppedAt(&resetter, "leftover.locked"));
    ASSERT_EQ(Start(&first, "take", "event", {{"ORVENDEL_FAULT", "open.refused:stop,open.locked:stop"}}), "");
    ASSERT_TRUE(StoppedAt(&first, "open.refused"));
    ASSERT_EQ(Start(&second, "take", "event", {{"ORVENDEL_FAULT", "open.refused:stop,open.blocked:stop"}}), "");
    ASSERT_TRUE(StoppedAt(&second, "open.refused"));
    resetter.Kill();
    ASSERT_TRUE(resetter.Ended());
    ASSERT_EQ(kill(static_cast<pid_t>(first.Pid()), SIGCONT), 0);
    ASSERT_TRUE(StoppedAt(&first, "open.locked"));  // its shared lock taken, nobody else's checked yet
    ASSERT_EQ(kill(static_cast<pid_t>(second.Pid()), SIGCONT), 0);
    ASSERT_TRUE(StoppedAt(&second, "open.blocked"));
    ASSERT_EQ(kill(static_cast<pid_t>(first.Pid()), SIGCONT), 0);
    EXPECT_EQ(first.Next(), "new unsignalled");
    ASSERT_EQ(kill(static_cast<pid_t>(second.Pid()), SIGCONT), 0);
    EXPECT_EQ(second.Next(), "exists unsignalled");
    EXPECT_TRUE(first.Finish());
    EXPECT_TRUE(second.Finish());
}

// Two last closers at the same moment, each refused the exclusive lock by
// the other's shared one: one of them still removes the name.
TEST_F(NamedObjectTest, TwoLastClosersAtOnceLeaveNoName) {
    Party maker, first, second;
    ASSERT_EQ(Start(&maker, "make", "event"), "");
    ASSERT_EQ(maker.Next(), "made 0");
    ASSERT_EQ(Start(&first, "probe", "event", Fault("release.refused", "stop")), "");
    ASSERT_EQ(first.Next(), "found signalled");
    ASSERT_EQ(Start(&second, "probe", "event", Fault("release.refused", "stop")), "");
    ASSERT_EQ(second.Next(), "found signalled");
    ASSERT_TRUE(maker.Finish());
    ASSERT_TRUE(first.Send("close"));
    ASSERT_TRUE(StoppedAt(&first, "release.refused"));
    ASSERT_TRUE(second.Send("close"));
    ASSERT_TRUE(StoppedAt(&second, "release.refused"));
    ASSERT_EQ(kill(static_cast<pid_t>(first.Pid()), SIGCONT), 0);
    ASSERT_EQ(kill(static_cast<pid_t>(second.Pid()), SIGCONT), 0);
    EXPECT_EQ(first.Next(), "closed");
    EXPECT_EQ(second.Next(), "closed");
    EXPECT_TRUE(Files().empty());
    EXPECT_TRUE(first.Finish());
    EXPECT_TRUE(second.Finish());
}

// Anything but an object's file under the name (another program's) is a
// name taken by another type of object, said once on standard error.
class OddEntryTest : public NamedObjectTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(OddEntryTest, IsRefusedAndReported) {
    const std::string kind = GetParam();
    std::string entry = Path();
    int socketFd = -1;
    if (kind == "Symlink") {
        ASSERT_EQ(symlink("/dev/null", entry.c_str()), 0);
    } else if (kind == "Folder") {
        ASSERT_EQ(mkdir(entry.c_str(), 0777), 0);
    } else if (kind == "Fifo") {
        ASSERT_EQ(mkfifo(entry.c_str(), 0666), 0);
    } else {
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        ASSERT_LT(entry.size(), sizeof address.sun_path);
        strcpy(address.sun_path, entry.c_str());
        socketFd = socket(AF_UNIX, SOCK_STREAM, 0);
        ASSERT_EQ(bind(socketFd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    }
    CatchLog log;
    HANDLE made = CreateEventW(nullptr, FALSE, FALSE, Wide(name_).c_str());
    DWORD madeError = GetLastError();
    HANDLE opened = OpenFileMappingW(FILE_MAP_READ, FALSE, Wide(name_).c_str());
    DWORD openError = GetLastError();
    std::string text = log.Text();
    EXPECT_EQ(made, nullptr);
    EXPECT_EQ(madeError, static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(opened, nullptr);
    EXPECT_EQ(openError, static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2) << text;  // one line a call
    EXPECT_NE(text.find("orvendel: " + entry + " (owner uid"), std::string::npos) << text;
    if (socketFd >= 0) close(socketFd);
    EXPECT_EQ(remove(entry.c_str()), 0);
}

INSTANTIATE_TEST_SUITE_P(Entries, OddEntryTest, ::testing::Values("Symlink", "Folder", "Socket", "Fifo"),
                         [](const ::testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

// Any account may truncate a mapping's file: an open then refuses it, as
// its views would die of SIGBUS.
TEST_F(NamedObjectTest, ATruncatedMappingIsRefused) {
    Party maker, opener;
    ASSERT_EQ(Start(&maker, "make", "mapping"), "");
    ASSERT_EQ(maker.Next(), "made 0");
    ASSERT_EQ(truncate(Path().c_str(), 4096), 0);
    ASSERT_EQ(Start(&opener, "probe", "mapping"), "");
    EXPECT_EQ(opener.Next(), "missing 6");
    EXPECT_TRUE(opener.Finish());
    EXPECT_TRUE(maker.Finish());
}

// A child forked without exec holds what it inherited, as an inherited
// handle does on Windows: the parent's close leaves the child's event.
TEST_F(NamedObjectTest, AForkedChildKeepsItsEvent) {
    UniqueHandle event(CreateEventW(nullptr, FALSE, FALSE, Wide(name_).c_str()));
    ASSERT_NE(event.get(), nullptr);
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) _exit(WaitForSingleObject(event.get(), kWaitMs) == WAIT_OBJECT_0 ? 0 : 1);
    ASSERT_GT(pid, 0);
    event.reset();
    Party taker;
    ASSERT_EQ(Start(&taker, "take", "event", {{"ORVENDEL_IPC_THEN", "set"}}), "");
    EXPECT_EQ(taker.Next(), "exists unsignalled");
    EXPECT_EQ(taker.Next(), "set");
    int status = -1;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child was never released";
    EXPECT_TRUE(taker.Finish());
}

// Two accounts, as an agent and a browser under different users. The
// parties drop to them from root.
constexpr const char* kFirstUid = "40001";
constexpr const char* kSecondUid = "40002";

Env As(const char* uid, Env env = {}) {
    env.push_back({"ORVENDEL_IPC_UID", uid});
    env.push_back({"ORVENDEL_IPC_UMASK", "077"});
    return env;
}

// Parties that change accounts or mounts need root to start from.
class AsRootTest : public NamedObjectTest {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root, to run parties under other accounts or with a /dev/shm of their own";
        NamedObjectTest::SetUp();
    }
};

class AccountsTest : public AsRootTest {
protected:
    // The first account makes the object, the second opens and holds it.
    void MakeAndOpen(const char* kind, Party* maker, Party* other) {
        ASSERT_EQ(Start(maker, "make", kind, As(kFirstUid)), "");
        ASSERT_EQ(maker->Next(), "made 0");
        ASSERT_EQ(Start(other, "probe", kind, As(kSecondUid)), "");
        ASSERT_EQ(other->Next(), std::string("found ") + (std::string(kind) == "event" ? "signalled" : "short text"));
    }
};

TEST_F(AccountsTest, AnotherAccountOpensSignalsAndWaits) {
    Party maker, other;
    ASSERT_NO_FATAL_FAILURE(MakeAndOpen("event", &maker, &other));
    ASSERT_TRUE(other.Send("reset"));
    ASSERT_EQ(other.Next(), "reset");
    ASSERT_TRUE(maker.Send("wait"));
    ASSERT_EQ(maker.Next(), "waiting");
    ASSERT_TRUE(other.Send("set"));
    EXPECT_EQ(other.Next(), "set");
    EXPECT_EQ(maker.Next(), "released");
    EXPECT_TRUE(maker.Finish());
    EXPECT_TRUE(other.Finish());

    Party block, reader;
    ASSERT_NO_FATAL_FAILURE(MakeAndOpen("mapping", &block, &reader));
    EXPECT_TRUE(block.Finish());
    EXPECT_TRUE(reader.Finish());
}

// A creator killed half-way, whatever its umask, leaves nothing that keeps
// another account from the name.
TEST_F(AccountsTest, AKilledCreatorBlocksNoOtherAccount) {
    for (const char* step : {"create.built", "create.published"}) {
        SCOPED_TRACE(step);
        Party maker, taker;
        ASSERT_EQ(Start(&maker, "make", "event", As(kFirstUid, Fault(step, "kill"))), "");
        EXPECT_EQ(maker.Next(), "");
        ASSERT_TRUE(maker.Ended());
        ASSERT_EQ(Start(&taker, "take", "event", As(kSecondUid)), "");
        EXPECT_EQ(taker.Next(), "new unsignalled");
        EXPECT_TRUE(taker.Finish());
    }
}

// The last closer of another account's object cannot remove its name (the
// sticky /dev/shm); the file stays, held by nobody, and the next creator of
// either account makes the object anew.
TEST_F(AccountsTest, TheLastCloserOfAnotherAccountsObject) {
    Party maker, other;
    ASSERT_NO_FATAL_FAILURE(MakeAndOpen("event", &maker, &other));
    ASSERT_TRUE(maker.Finish());
    ASSERT_TRUE(other.Finish());
    EXPECT_EQ(Files().size(), 1u) << "the sticky /dev/shm let another account remove the name";

    Party taker, owner;
    ASSERT_EQ(Start(&taker, "take", "event", As(kSecondUid)), "");
    EXPECT_EQ(taker.Next(), "new unsignalled");
    ASSERT_EQ(Start(&owner, "probe", "event", As(kFirstUid)), "");
    EXPECT_EQ(owner.Next(), "found unsignalled");
    EXPECT_TRUE(owner.Finish());
    EXPECT_TRUE(taker.Finish());
}

// Refused the exclusive lock by a process that then lets go and leaves the
// name: a last closer of another account's event, refused its removal, or a
// taker killed while setting another account's leftover up afresh. Whoever
// was refused meanwhile finds that nobody holds the object: never "exists",
// never an old signal.
struct GapCase {
    const char* label;
    const char* step;  // where the holder stops: release.locked, or leftover.reset
    const char* role;  // the party refused meanwhile: "take" or "probe"
    const char* found;
};

void PrintTo(const GapCase& c, std::ostream* os) { *os << c.label; }

class GapTest : public AccountsTest, public ::testing::WithParamInterface<GapCase> {};

TEST_P(GapTest, ARefusedOpenerNeverAdoptsWhatNobodyHolds) {
    const GapCase& c = GetParam();
    const bool closer = std::string(c.step) == "release.locked";
    Party maker, holder, next;
    ASSERT_EQ(Start(&maker, "make", "event", As(kFirstUid)), "");
    ASSERT_EQ(maker.Next(), "made 0");
    if (closer) {
        ASSERT_EQ(Start(&holder, "probe", "event", As(kSecondUid, Fault(c.step, "stop"))), "");
        ASSERT_EQ(holder.Next(), "found signalled");
        ASSERT_TRUE(maker.Finish());
        ASSERT_TRUE(holder.Send("close"));
    } else {
        ASSERT_TRUE(maker.Send("_exit"));
        ASSERT_TRUE(maker.Ended());
        ASSERT_EQ(Start(&holder, "take", "event", As(kSecondUid, Fault(c.step, "stop"))), "");
    }
    ASSERT_TRUE(StoppedAt(&holder, c.step));
    ASSERT_EQ(Start(&next, c.role, "event", As(kSecondUid, Fault("open.refused", "stop"))), "");
    ASSERT_TRUE(StoppedAt(&next, "open.refused"));
    if (closer) {
        ASSERT_EQ(kill(static_cast<pid_t>(holder.Pid()), SIGCONT), 0);
        EXPECT_EQ(holder.Next(), "closed");
        EXPECT_TRUE(holder.Finish());
    } else {
        holder.Kill();
        ASSERT_TRUE(holder.Ended());
    }
    ASSERT_EQ(kill(static_cast<pid_t>(next.Pid()), SIGCONT), 0);
    EXPECT_EQ(next.Next(), c.found);
    EXPECT_TRUE(next.Finish());
}

const GapCase kGaps[] = {
    {"CloserRefusedRemovalThenCreate", "release.locked", "take", "new unsignalled"},
    {"CloserRefusedRemovalThenOpen", "release.locked", "probe", "missing 2"},
    {"TakerKilledMidResetThenCreate", "leftover.reset", "take", "new unsignalled"},
};

INSTANTIATE_TEST_SUITE_P(Schedules, GapTest, ::testing::ValuesIn(kGaps),
                         [](const ::testing::TestParamInfo<GapCase>& info) { return std::string(info.param.label); });

// A view kept past the last handle of another account's mapping, whose
// name its process may not remove, neither keeps nor blocks the name: the
// next creator makes the mapping anew at once.
TEST_F(AccountsTest, AViewKeptPastAnUnremovableNameBlocksNothing) {
    Party maker, viewer, taker;
    ASSERT_NO_FATAL_FAILURE(MakeAndOpen("mapping", &maker, &viewer));
    ASSERT_TRUE(maker.Finish());
    ASSERT_TRUE(viewer.Send("view-close"));
    ASSERT_EQ(viewer.Next(), "kept");
    ASSERT_EQ(Start(&taker, "take", "mapping", As(kFirstUid)), "");
    EXPECT_EQ(taker.Next(), "new fits zeros");
    EXPECT_TRUE(taker.Finish());
    EXPECT_TRUE(viewer.Finish());
}

// A file under the name that this account can neither open nor remove (as
// an older build's creator killed before its chmod left) is refused plainly,
// and said why.
TEST_F(AccountsTest, AnUnusableLeftoverIsReported) {
    int fd = open(Path().c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(fchown(fd, 40001, 40001), 0);
    close(fd);
    Party taker;
    ASSERT_EQ(Start(&taker, "take", "event", As(kSecondUid, {{"ORVENDEL_IPC_THEN", "log"}})), "");
    EXPECT_EQ(taker.Next(), "failed 5");
    std::string log = taker.Next();
    EXPECT_NE(log.find(Path() + " (owner uid 40001, mode 0600) cannot be opened by uid 40002"), std::string::npos)
        << log;
    EXPECT_TRUE(taker.Finish());
}

// A full /dev/shm is one error to a creator, whether space or inodes ran
// out. Each party gets a tiny /dev/shm of its own, in its own mount namespace.
struct FullCase {
    const char* label;
    const char* tmpfs;
};

void PrintTo(const FullCase& c, std::ostream* os) { *os << c.tmpfs; }

class FullShmTest : public AsRootTest, public ::testing::WithParamInterface<FullCase> {};

TEST_P(FullShmTest, AFullShmIsNotEnoughMemory) {
    Party taker;
    ASSERT_EQ(Start(&taker, "take", "mapping", {{"ORVENDEL_IPC_SHM", GetParam().tmpfs}}), "");
    EXPECT_EQ(taker.Next(), "failed 8");
    EXPECT_TRUE(taker.Finish());
}

const FullCase kFull[] = {{"Space", "size=8k"}, {"Inodes", "nr_inodes=1"}};

INSTANTIATE_TEST_SUITE_P(Runs, FullShmTest, ::testing::ValuesIn(kFull),
                         [](const ::testing::TestParamInfo<FullCase>& info) { return std::string(info.param.label); });

#endif  // !_WIN32

// ---------------------------------------------------------------------------
// The parties. They do nothing unless a test above started this program with
// ORVENDEL_IPC_ROLE set.

std::string EnvOf(const char* name) {
    const char* value = getenv(name);
    return value != nullptr ? value : "";
}

UniqueHandle g_held;  // at namespace scope: closed by a static destructor

// What a handle shows: whether it was made anew, an event's state, whether a
// mapping takes a view of the size a taker asks, and what its bytes hold.
std::string Describe(HANDLE h, DWORD error, bool event, const char* how) {
    if (h == nullptr) return "failed " + std::to_string(error);
    std::string text = how != nullptr ? how : error == ERROR_ALREADY_EXISTS ? "exists" : "new";
    if (event) return text + (WaitForSingleObject(h, 0) == WAIT_OBJECT_0 ? " signalled" : " unsignalled");
    UniqueView big(MapViewOfFile(h, FILE_MAP_READ, 0, 0, kTakenMappingBytes));
    text += big ? " fits" : " short";
    UniqueView view(MapViewOfFile(h, FILE_MAP_READ, 0, 0, 0));
    if (!view) return text + " unmapped";
    return text + (memcmp(view.get(), kEarlierText, sizeof kEarlierText) == 0 ? " text" : " zeros");
}

HANDLE Make(const WString& name, bool event) {
    if (event) return CreateEventW(nullptr, TRUE, TRUE, name.c_str());
    HANDLE h = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kMadeMappingBytes, name.c_str());
    UniqueView view(h != nullptr ? MapViewOfFile(h, FILE_MAP_WRITE, 0, 0, 0) : nullptr);
    if (view) memcpy(view.get(), kEarlierText, sizeof kEarlierText);
    return h;
}

#if !defined(_WIN32)
// Runs as another account, with its umask, or with a /dev/shm of its own,
// before anything is opened.
bool BecomeAccount() {
    std::string uid = EnvOf("ORVENDEL_IPC_UID");
    if (!uid.empty()) {
        uid_t id = static_cast<uid_t>(std::stoul(uid));
        if (setgroups(0, nullptr) != 0 || setgid(id) != 0 || setuid(id) != 0) return false;
        // Changing ids closes /proc/self to the process; a browser's host never does.
        prctl(PR_SET_DUMPABLE, 1);
    }
    std::string mask = EnvOf("ORVENDEL_IPC_UMASK");
    if (!mask.empty()) umask(static_cast<mode_t>(std::stoul(mask, nullptr, 8)));
    std::string tmpfs = EnvOf("ORVENDEL_IPC_SHM");
    if (!tmpfs.empty()) {
        return unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
               mount("tmpfs", "/dev/shm", "tmpfs", 0, tmpfs.c_str()) == 0;
    }
    return true;
}

#endif

// Pauses an ending process after the exit-time release, before the static
// destructors: registered before any object is made, it runs after it.
void PauseAtExit() {
    Say("exiting");
    Hear();
}

void RunChild(const std::string& role, const WString& name) {
#if !defined(_WIN32)
    if (!BecomeAccount()) return Say("no account or mount");
#endif
    const bool event = EnvOf("ORVENDEL_IPC_KIND") == "event";
    const std::string then = EnvOf("ORVENDEL_IPC_THEN");
    if (role == "make-global") atexit(PauseAtExit);
    UniqueHandle own;
    UniqueHandle& held = role == "make-global" ? g_held : own;
    void* kept = nullptr;  // a view kept past its handle, unmapped by the end of the process
    if (role == "make" || role == "make-global") {
        held.reset(Make(name, event));
        // Unsignalled, so that a waiter on the name waits on every platform.
        if (role == "make-global" && held) ResetEvent(held.get());
        Say(held ? "made " + std::to_string(GetLastError()) : "failed " + std::to_string(GetLastError()));
    } else if (role == "take") {
#if !defined(_WIN32)
        CatchLog log;
#endif
        held.reset(event ? CreateEventW(nullptr, FALSE, FALSE, name.c_str())
                         : CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kTakenMappingBytes,
                                              name.c_str()));
        DWORD error = GetLastError();
#if !defined(_WIN32)
        std::string line = log.Line();
#endif
        Say(Describe(held.get(), error, event, nullptr));
#if !defined(_WIN32)
        if (then == "log") Say("log " + line);
#endif
    } else if (role == "probe") {
        held.reset(event ? OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, name.c_str())
                         : OpenFileMappingW(FILE_MAP_READ, FALSE, name.c_str()));
        DWORD error = GetLastError();
        Say(held ? Describe(held.get(), error, event, "found") : "missing " + std::to_string(error));
    } else {
        return Say("unknown role " + role);
    }
    if (!held) return;
    if (then == "wait") {
        Say("waiting");
        Say(WaitForSingleObject(held.get(), kWaitMs) == WAIT_OBJECT_0 ? "released" : "not released");
    } else if (then == "set") {
        Say(SetEvent(held.get()) ? "set" : "not set");
    }
    for (std::string command = Hear(); !command.empty(); command = Hear()) {
        if (command == "close") {
            held.reset();
            Say("closed");
        } else if (command == "view-close") {
            kept = MapViewOfFile(held.get(), FILE_MAP_READ, 0, 0, 0);
            held.reset();
            Say(kept != nullptr ? "kept" : "no view");
        } else if (command == "set") {
            Say(SetEvent(held.get()) ? "set" : "not set");
        } else if (command == "reset") {
            Say(ResetEvent(held.get()) ? "reset" : "not reset");
        } else if (command == "wait") {
            Say("waiting");
            Say(WaitForSingleObject(held.get(), kWaitMs) == WAIT_OBJECT_0 ? "released" : "not released");
        } else if (command == "exit") {
            if (&held == &own) g_held.reset(own.release());
            exit(0);
        } else if (command == "_exit") {
            fflush(stdout);
            _exit(0);
        }
    }
    if (kept != nullptr) UnmapViewOfFile(kept);
}

}  // namespace

TEST(DISABLED_NamedObjectChild, Main) {
    std::string role = EnvOf("ORVENDEL_IPC_ROLE");
    if (!role.empty()) RunChild(role, Wide(EnvOf("ORVENDEL_IPC_NAME")));
}
