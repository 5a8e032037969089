#include "tools/doctor/report.h"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

std::string ValidUtf8(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    const unsigned char* s = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    for (size_t i = 0; i < n;) {
        unsigned char c = s[i];
        size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
        bool ok = len > 0 && i + len <= n;
        uint32_t cp = len == 1 ? c : len == 2 ? c & 0x1F : len == 3 ? c & 0x0F : c & 0x07;
        for (size_t k = 1; ok && k < len; ++k) {
            ok = (s[i + k] & 0xC0) == 0x80;
            cp = (cp << 6) | (s[i + k] & 0x3F);
        }
        // No overlong forms, no surrogates, nothing past U+10FFFF.
        ok = ok && !(len == 2 && cp < 0x80) && !(len == 3 && cp < 0x800) && !(len == 4 && cp < 0x10000) &&
             !(cp >= 0xD800 && cp <= 0xDFFF) && cp <= 0x10FFFF;
        if (ok) {
            out.append(text, i, len);
            i += len;
        } else {
            out += "\xEF\xBF\xBD";
            ++i;
        }
    }
    return out;
}

namespace {

std::string UserHeading(const Report& report) {
    std::string out = "=== user " + report.user;
    if (!report.account.empty() && report.account != report.user) out += " (" + report.account + ")";
    if (!report.unread.empty()) out += ": not read: " + report.unread;
    return out + "\n";
}

}  // namespace

std::string ReportText(const Report& report) {
    std::string out;
    if (!report.user.empty()) out += UserHeading(report);
    if (report.listsUsers) out += "=== the machine, for every user\n";
    for (const std::string& note : report.notes) out += "NOTE " + note + "\n";
    for (const Check& c : report.checks) {
        out += std::string(StatusWord(c.status)) + (c.status == Status::kOk ? "   " : " ") +
               (c.browser.empty() ? "" : "[" + c.browser + "] ") + c.text;
        if (!c.browserSays.empty()) out += ". The extension is told: \"" + c.browserSays + "\"";
        if (!c.browserAlsoSays.empty()) out += " (or \"" + c.browserAlsoSays + "\")";
        if (!c.fix.empty()) out += ". Fix: " + c.fix;
        out += "\n";
    }
    for (const BrowserVerdict& v : report.browsers) {
        if (!v.checked) {
            out += "==> " + v.browser + ": not installed\n";
            continue;
        }
        const std::string absent = v.installed ? "" : " (not installed here)";
        for (const ExtensionVerdict& e : v.extensions) {
            out += "==> " + v.browser + (v.extensions.size() > 1 ? " " + e.id : std::string()) + ": ";
            if (e.installedBy == "policy") {
                out += std::string(e.installMode == "force_installed" ? "force-installed" : "installed") +
                       " by policy " + e.installPolicy + " (" + e.installSource + "); ";
            } else if (e.installedBy == "registry") {
                out += "offered through " + e.installSource + "; ";
            }
            if (!e.runs) {
                out += "extension " + e.id + " does not run, by policy (" + e.decidedBy + ")" + absent + "\n";
            } else if (e.browserSays.empty()) {
                out += "connectNative starts the host" + absent + "\n";
            } else {
                out += "connectNative fails with \"" + e.browserSays + "\"" +
                       (e.browserAlsoSays.empty() ? "" : " or \"" + e.browserAlsoSays + "\"") + absent + "\n";
            }
        }
    }
    for (const Report& user : report.users) out += ReportText(user);
    return out;
}

std::string ReportJson(const Report& report, const char* version) {
    rapidjson::StringBuffer buffer;
    // ASCII out: every non-ASCII character escaped, so no byte can break it.
    rapidjson::Writer<rapidjson::StringBuffer, rapidjson::UTF8<>, rapidjson::ASCII<>> w(buffer);
    auto str = [&](const std::string& s) {
        std::string valid = ValidUtf8(s);
        w.String(valid.c_str(), static_cast<rapidjson::SizeType>(valid.size()));
    };
    // What connectNative ends in, for one extension.
    auto outcome = [&](const BrowserVerdict& v, const ExtensionVerdict& e) {
        w.Key("starts");
        w.Bool(v.checked && e.runs && e.browserSays.empty());
        w.Key("browser_says");
        str(e.browserSays);
        w.Key("browser_also_says");
        str(e.browserAlsoSays);
    };
    // One set of verdicts: a user's, or the whole report's.
    auto body = [&](const Report& r) {
        if (!r.user.empty()) {
            w.Key("user");
            str(r.user);
            w.Key("account");
            str(r.account);
            w.Key("read");
            w.Bool(r.unread.empty());
            w.Key("why");
            str(r.unread);
        }
        w.Key("ok");
        w.Int(r.Count(Status::kOk));
        w.Key("warn");
        w.Int(r.Count(Status::kWarn));
        w.Key("fail");
        w.Int(r.Count(Status::kFail));
        w.Key("notes");
        w.StartArray();
        for (const std::string& note : r.notes) str(note);
        w.EndArray();
        w.Key("browsers");
        w.StartArray();
        for (const BrowserVerdict& v : r.browsers) {
            w.StartObject();
            w.Key("browser");
            str(v.browser);
            w.Key("installed");
            w.Bool(v.installed);
            w.Key("checked");
            w.Bool(v.checked);
            outcome(v, v.First());
            w.Key("extensions");
            w.StartArray();
            for (const ExtensionVerdict& e : v.extensions) {
                w.StartObject();
                w.Key("id");
                str(e.id);
                w.Key("runs");
                w.Bool(e.runs);
                outcome(v, e);
                w.Key("decided_by");
                str(e.decidedBy);
                w.Key("installed_by");
                str(e.installedBy);
                w.Key("install_mode");
                str(e.installMode);
                w.Key("install_policy");
                str(e.installPolicy);
                w.Key("install_source");
                str(e.installSource);
                w.Key("install_update_url");
                str(e.installUpdateUrl);
                w.EndObject();
            }
            w.EndArray();
            w.EndObject();
        }
        w.EndArray();
        w.Key("checks");
        w.StartArray();
        for (const Check& c : r.checks) {
            w.StartObject();
            w.Key("status");
            str(StatusWord(c.status));
            w.Key("area");
            str(c.area);
            w.Key("rule");
            str(c.rule);
            w.Key("browser");
            str(c.browser);
            w.Key("text");
            str(c.text);
            w.Key("fix");
            str(c.fix);
            w.Key("browser_says");
            str(c.browserSays);
            if (!c.browserAlsoSays.empty()) {
                w.Key("browser_also_says");
                str(c.browserAlsoSays);
            }
            if (!c.extensionId.empty()) {
                w.Key("extension_id");
                str(c.extensionId);
            }
            if (!c.decidedBy.empty()) {
                w.Key("decided_by");
                str(c.decidedBy);
            }
            w.EndObject();
        }
        w.EndArray();
    };
    w.StartObject();
    w.Key("name");
    str(report.name);
    w.Key("version");
    str(version);
    body(report);
    if (report.listsUsers) {
        w.Key("users");
        w.StartArray();
        for (const Report& user : report.users) {
            w.StartObject();
            body(user);
            w.EndObject();
        }
        w.EndArray();
    }
    w.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize()) + "\n";
}
