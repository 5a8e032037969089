// The Linux policy loader:
// components/policy/core/common/config_dir_policy_loader.cc.
#include <rapidjson/document.h>

#include <filesystem>
#include <set>
#include <string>
#include <system_error>

#include "tools/doctor/files.h"
#include "tools/doctor/policy.h"
#include "tools/doctor/rules.h"

namespace fs = std::filesystem;

namespace {

// A folder holding more files than this is broken beyond what the report can
// say; the browser would read them all.
constexpr size_t kMaxFiles = 10000;

// ConfigDirPolicyLoader::LoadFromPath. base::FileEnumerator(FILES) yields
// every entry that is not a folder once links are followed: hidden files,
// links to files, links that lead nowhere, FIFOs and devices alike. A
// std::set<FilePath> sorts them as bytes. The files are merged last first,
// MergeFrom keeping what is there, so of equal level the last file in name
// order wins, whatever its value's type: the handlers only look at types
// afterwards.
void LoadFromPath(const std::string& folder, const char* level, const PolicyMap* higher, PolicyMap* into,
                  std::vector<std::string>* problems) {
    std::error_code ec;
    fs::directory_iterator it(fs::u8path(folder), ec);
    if (ec) return;
    std::set<std::string> files;
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
        std::error_code statError;
        if (fs::is_directory(it->path(), statError)) continue;
        if (files.size() >= kMaxFiles) {
            problems->push_back("the " + std::string(level) + " policy folder " + folder + " holds more than " +
                                std::to_string(kMaxFiles) + " files: the rest are not checked");
            break;
        }
        files.insert(it->path().u8string());
    }
    for (const std::string& file : files) {
        std::string text, why;
        if (ReadRegularFile(file, &text, &why) != ReadResult::kOk) {
            problems->push_back("the policy file " + file + " is skipped: " + why);
            continue;
        }
        rapidjson::Document doc;
        if (!ParsePolicyJson(text, &doc, &why)) {
            problems->push_back("the policy file " + file + " is skipped: " + why);
            continue;
        }
        // PolicyMap::LoadFrom takes every key but "3rdparty", which holds
        // extensions' own policies. A key repeated in one file keeps its last
        // value, as base::Value::Dict does.
        for (const auto& m : doc.GetObject()) {
            const std::string name(m.name.GetString(), m.name.GetStringLength());
            if (name == "3rdparty") continue;
            // MergeFrom: a mandatory value outranks a recommended one.
            if (higher != nullptr && higher->Get(name) != nullptr) continue;
            into->Set(name, m.value, file);
        }
    }
}

}  // namespace

// ConfigDirPolicyLoader::Load: "managed" is POLICY_LEVEL_MANDATORY,
// "recommended" POLICY_LEVEL_RECOMMENDED.
void LoadPolicyFolders(const std::string& configDir, PolicyMap* mandatory, PolicyMap* recommended) {
    LoadFromPath(configDir + "/managed", "managed", nullptr, mandatory, &mandatory->problems);
    LoadFromPath(configDir + "/recommended", "recommended", mandatory, recommended, &mandatory->problems);
}
