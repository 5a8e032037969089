// orvendel-doctor: says, per browser, whether connectNative will start the
// host and, if not, the very text the extension will be told and why. It
// follows each browser's own lookup (lookup_*.cpp) and rules (rules.cpp),
// then checks the client's ini file and dump folder and the agent's objects.
//
// It writes nothing but the support bundle --bundle asks for. It reads
// files, policies and (Windows) the registry; it opens the agent's events
// and blocks only to see that they exist and closes them at once, never
// waiting on or signalling one.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "contract/contract.h"
#include "orv_version.h"
#include "tools/doctor/bundle.h"
#include "tools/doctor/client.h"
#include "tools/doctor/lookup.h"
#include "tools/doctor/report.h"

namespace {

std::string Join(const std::vector<std::string>& words) {
    std::string out;
    for (size_t i = 0; i < words.size(); ++i) out += (i == 0 ? "" : i + 1 == words.size() ? " or " : ", ") + words[i];
    return out;
}

void PrintUsage() {
    std::printf(
        "Usage: orvendel-doctor [options]\n"
        "Says, for each browser, whether the extension's connectNative will start the\n"
        "Orvendel native messaging host, and if not, the message the extension gets\n"
        "(chrome.runtime.lastError) and why. It checks, in the order the browser does:\n"
        "  - how the extension is installed: by policy (ExtensionInstallForcelist,\n"
        "    ExtensionSettings), offered through the browser's Extensions registry\n"
        "    keys (Windows), or by the user;\n"
        "  - the extension policies, which may keep an extension from running at all;\n"
        "  - the browser's policies (NativeMessagingBlocklist, NativeMessagingAllowlist,\n"
        "    NativeMessagingUserLevelHosts);\n"
        "  - the registrations it reads (Windows: the registry; Linux: the user's and\n"
        "    the system's manifest folders), the one it uses and those it never reads;\n"
        "  - that manifest, as the browser parses it, and the program it names;\n"
        "then the client's ini file and dump folder, the agent's events and blocks and\n"
        "(Windows) whether more than one user session shares them.\n"
        "\n"
        "Options:\n"
        "  --browser BROWSER      check one browser: %s;\n"
        "                         default: every one, those not installed shown as such\n"
        "  --name NAME            the host's name (default: " HOST_REGISTERED_NAME ")\n"
        "  --extension-id ID      an extension id that must be allowed; repeatable\n"
        "                         (default: the reference extension's)\n"
        "  --user-data-dir DIR    the browser is started with --user-data-dir DIR\n"
        "                         (Linux: its user-level manifests are then read from\n"
        "                         DIR/NativeMessagingHosts; without it the doctor\n"
        "                         follows CHROME_USER_DATA_DIR as Chrome does)\n"
        "  --unpacked             the extensions are loaded unpacked (--load-extension),\n"
        "                         not installed from the store\n"
        "  --user USER            judge that user's registrations and policies, not\n"
        "                         those of the account the doctor runs as (Windows: a\n"
        "                         SID, whose hive must be loaded, i.e. the user signed\n"
        "                         in; Linux: a login or uid, whose HOME is read)\n"
        "  --all-users            judge every user in turn (Windows: each user's hive\n"
        "                         under HKEY_USERS; Linux: each account from uid 1000\n"
        "                         with a home), and list those that cannot be read\n"
        "  --json                 print the report as one JSON document\n"
        "  --bundle FOLDER        also write a support bundle into FOLDER, a new or\n"
        "                         empty folder: the report (text and JSON), the host's\n"
        "                         logs of today and yesterday decoded, the ini file,\n"
        "                         the manifests and policies read, the programs'\n"
        "                         versions and signatures, and a few environment\n"
        "                         variables; README.txt in it lists each part\n"
        "  -h, --help             show this text\n"
        "  --version              show the version\n"
        "\n"
        "For a support ticket, run it as the desktop user (not elevated) with\n"
        "--bundle and a new folder, e.g. on the Desktop, and send that folder zipped;\n"
        "from an administrator's account add --user or --all-users. The bundle holds\n"
        "nothing secret: no tokens, no other variables or registry values.\n"
        "\n"
        "It writes nothing but the bundle, and opens the agent's objects only to see\n"
        "that they exist.\n"
        "Without --user or --all-users it reads the registry's HKCU and the HOME of\n"
        "the account it runs as: run as SYSTEM or root, those are that account's, not\n"
        "the desktop user's. Reading another user's needs an administrator, SYSTEM or\n"
        "root.\n"
        "Each line is OK, WARN or FAIL; every FAIL says what the extension is told and\n"
        "what to do. Exit status: 0 nothing failed, 1 a check failed (for any user),\n"
        "2 bad usage.\n",
        Join(KnownBrowsers()).c_str());
}

int UsageError(const std::string& text) {
    std::fprintf(stderr, "orvendel-doctor: %s\nTry 'orvendel-doctor --help'.\n", text.c_str());
    return 2;
}

struct Asked {
    std::vector<std::string> known;
    std::vector<std::string> chosen;
    std::vector<std::string> ids;
    bool unpacked = false;
    std::vector<BrowserInputs>* gathered = nullptr;  // what a bundle lists, when one is asked for
};

// The browsers' verdicts for the user being judged; says which of the
// agent's profiles of names they use.
void JudgeBrowsers(const Asked& asked, Report* report, bool* chrome, bool* edge) {
    AddAccountNotes(report);
    for (const std::string& b : asked.known) {
        const bool named = std::find(asked.chosen.begin(), asked.chosen.end(), b) != asked.chosen.end();
        if (!asked.chosen.empty() && !named) continue;
        BrowserVerdict verdict;
        verdict.browser = b;
        verdict.installed = BrowserInstalled(b);
        // A browser nobody asked about and nobody installed cannot fail.
        if (verdict.installed || named) {
            BrowserInputs inputs = GatherBrowser(b, report->name);
            inputs.unpacked = asked.unpacked;
            inputs.user = report->account.empty() ? report->user : report->account + " (" + report->user + ")";
            if (asked.gathered != nullptr) asked.gathered->push_back(inputs);
            verdict = JudgeBrowser(inputs, report->name, asked.ids, report);
            verdict.installed = BrowserInstalled(b);
            (UsesEdgeNames(b) ? *edge : *chrome) = true;
        }
        report->browsers.push_back(verdict);
    }
}

// That user's verdicts in `report`, or why there are none.
bool JudgeUserBrowsers(UserAccount user, const Asked& asked, Report* report, bool* chrome, bool* edge) {
    report->user = user.id;
    report->account = user.name;
    if (!JudgeUser(&user)) {
        report->unread = user.unread;
        return false;
    }
    JudgeBrowsers(asked, report, chrome, edge);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Asked asked;
    asked.known = KnownBrowsers();
    Report report;
    report.name = HOST_REGISTERED_NAME;
    bool json = false;
    bool allUsers = false;
    std::string userGiven;
    std::string bundle;
    std::vector<BrowserInputs> gathered;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool takesValue = arg == "--browser" || arg == "--name" || arg == "--extension-id" ||
                                arg == "--user-data-dir" || arg == "--user" || arg == "--bundle";
        if (takesValue && i + 1 >= argc) return UsageError(arg + " needs a value");
        if (arg == "-h" || arg == "--help") {
            PrintUsage();
            return 0;
        } else if (arg == "--version") {
            std::puts("orvendel-doctor " ORV_VERSION);
            return 0;
        } else if (arg == "--json") {
            json = true;
        } else if (arg == "--bundle") {
            bundle = argv[++i];
            if (bundle.empty()) return UsageError("--bundle needs a folder");
        } else if (arg == "--unpacked") {
            asked.unpacked = true;
        } else if (arg == "--all-users") {
            allUsers = true;
        } else if (arg == "--user") {
            userGiven = argv[++i];
            if (userGiven.empty()) return UsageError("--user needs a user");
        } else if (arg == "--browser") {
            const std::string b = argv[++i];
            bool isKnown = false;
            for (const std::string& k : asked.known) isKnown = isKnown || k == b;
            if (!isKnown) return UsageError("--browser takes " + Join(asked.known) + ", not '" + b + "'");
            asked.chosen.push_back(b);
        } else if (arg == "--name") {
            report.name = argv[++i];
            if (report.name.empty()) return UsageError("--name needs a name");
        } else if (arg == "--user-data-dir") {
            SetUserDataDir(argv[++i]);
        } else if (arg.compare(0, 16, "--user-data-dir=") == 0) {
            SetUserDataDir(arg.substr(16));  // as the browser's own command line writes it
        } else if (arg == "--extension-id") {
            const std::string id = argv[++i];
            if (!IsExtensionId(id)) return UsageError("invalid extension id '" + id + "': 32 letters a to p expected");
            asked.ids.push_back(id);
        } else {
            return UsageError("unknown argument '" + arg + "'");
        }
    }
    if (allUsers && !userGiven.empty()) return UsageError("--user and --all-users exclude each other");
    if (asked.ids.empty()) asked.ids.push_back(REFERENCE_EXTENSION_ID);
    if (!bundle.empty()) {
        std::string why;
        const BundleStart start = PrepareBundle(bundle, &why);
        if (start == BundleStart::kNotEmpty) return UsageError(why);
        if (start == BundleStart::kCannotWrite) {
            std::fprintf(stderr, "orvendel-doctor: %s\n", why.c_str());
            return 1;
        }
        asked.gathered = &gathered;
    }

    bool chrome = false, edge = false;
    if (allUsers) {
        report.listsUsers = true;
        for (const UserAccount& user : ListUsers()) {
            Report one;
            one.name = report.name;
            JudgeUserBrowsers(user, asked, &one, &chrome, &edge);
            report.users.push_back(std::move(one));
        }
        if (report.users.empty()) report.notes.push_back("no user's settings were found to judge");
    } else if (!userGiven.empty()) {
        UserAccount user;
        std::string why;
        if (!FindUser(userGiven, &user, &why)) return UsageError(why);
        if (!JudgeUserBrowsers(user, asked, &report, &chrome, &edge)) {
            report.Add(Status::kFail, "account", "account.user", "",
                       "the settings of " + user.name + " cannot be read: " + report.unread, user.fix);
        }
    } else {
        JudgeBrowsers(asked, &report, &chrome, &edge);
    }
    CheckClient(&report);
    if (chrome) CheckAgent("chrome", false, &report);
    if (edge) CheckAgent("edge", true, &report);
    if (chrome || edge) CheckSessions(&report);

    const std::string out = json ? ReportJson(report, ORV_VERSION) : ReportText(report);
    std::fwrite(out.data(), 1, out.size(), stdout);
    if (!bundle.empty()) {
        std::fflush(stdout);
        std::string why;
        if (!WriteBundle(bundle, ORV_VERSION, gathered, ReportText(report), ReportJson(report, ORV_VERSION), &why)) {
            std::fprintf(stderr, "orvendel-doctor: %s\n", why.c_str());
            return 1;
        }
        std::fprintf(stderr, "orvendel-doctor: support bundle written to %s\n", bundle.c_str());
    }
    return report.Count(Status::kFail) > 0 ? 1 : 0;
}
