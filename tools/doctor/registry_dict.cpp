// components/policy/core/common/registry_dict.cc and policy_loader_win.cc,
// for the policies the doctor judges.
#include "tools/doctor/registry_dict.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <map>
#include <memory>
#include <vector>

#include "tools/doctor/owned.h"
#include "tools/common/wide.h"

namespace {

// RegistryDict's maps: the registry's names compare case-insensitively
// (base::CompareCaseInsensitiveASCII), the schema's do not.
struct CaseInsensitiveLess {
    bool operator()(const std::string& a, const std::string& b) const {
        for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
            int x = std::tolower(static_cast<unsigned char>(a[i]));
            int y = std::tolower(static_cast<unsigned char>(b[i]));
            if (x != y) return x < y;
        }
        return a.size() < b.size();
    }
};

bool SameIgnoringCase(const std::string& a, const std::string& b) {
    CaseInsensitiveLess less;
    return !less(a, b) && !less(b, a);
}

struct RegValue {
    bool isString = false;
    std::string text;
    int number = 0;
};

struct RegistryDict {
    std::map<std::string, RegValue, CaseInsensitiveLess> values;
    std::map<std::string, DWORD, CaseInsensitiveLess> unread;  // values of a type the browser does not read
    std::map<std::string, std::unique_ptr<RegistryDict>, CaseInsensitiveLess> keys;
};

// The browser reads whatever is there; the doctor must not balloon on a
// broken or hostile registry.
constexpr int kMaxDepth = 8;
constexpr size_t kMaxEntries = 20000;
constexpr DWORD kMaxValueBytes = 1024 * 1024;

const char* TypeName(DWORD type) {
    switch (type) {
    case REG_NONE: return "REG_NONE";
    case REG_BINARY: return "REG_BINARY";
    case REG_MULTI_SZ: return "REG_MULTI_SZ";
    case REG_QWORD: return "REG_QWORD";
    case REG_LINK: return "REG_LINK";
    default: return "value of an unusual type";
    }
}

// RegistryDict::ReadRegistry: REG_SZ and REG_EXPAND_SZ as strings (not
// expanded, cut at the first NUL), a 4-byte REG_DWORD either endianness as
// an int; anything else is left out. Then every subkey, recursively.
void ReadRegistry(HKEY hive, const WString& path, int depth, size_t* budget, RegistryDict* dict) {
    Key key(hive, path, KEY_READ | KEY_WOW64_64KEY);
    if (key.get() == nullptr || depth > kMaxDepth) return;
    DWORD valueCount = 0, maxName = 0, maxData = 0, keyCount = 0, maxKeyName = 0;
    if (RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, &keyCount, &maxKeyName, nullptr, &valueCount, &maxName,
                         &maxData, nullptr, nullptr) != ERROR_SUCCESS) {
        return;
    }
    std::vector<WCHAR> name(maxName + 2);
    std::vector<BYTE> data(std::min(maxData, kMaxValueBytes) + 4);
    for (DWORD i = 0; i < valueCount && *budget > 0; ++i, --*budget) {
        DWORD nameUnits = static_cast<DWORD>(name.size());
        DWORD type = 0;
        DWORD bytes = static_cast<DWORD>(data.size() - 4);
        LONG rc = RegEnumValueW(key.get(), i, name.data(), &nameUnits, nullptr, &type, data.data(), &bytes);
        if (rc != ERROR_SUCCESS) continue;  // larger than the bound, or gone while read
        const std::string valueName = Utf8(name.data());
        if (type == REG_SZ || type == REG_EXPAND_SZ) {
            data[bytes] = 0;
            data[bytes + 1] = 0;
            RegValue v;
            v.isString = true;
            v.text = Utf8(reinterpret_cast<const WCHAR*>(data.data()));
            dict->values[valueName] = v;
        } else if ((type == REG_DWORD || type == REG_DWORD_BIG_ENDIAN) && bytes == 4) {
            DWORD d = static_cast<DWORD>(data[0]) | static_cast<DWORD>(data[1]) << 8 |
                      static_cast<DWORD>(data[2]) << 16 | static_cast<DWORD>(data[3]) << 24;
            if (type == REG_DWORD_BIG_ENDIAN) {
                d = (d >> 24) | ((d >> 8) & 0xFF00) | ((d << 8) & 0xFF0000) | (d << 24);
            }
            RegValue v;
            v.number = static_cast<int>(d);
            dict->values[valueName] = v;
        } else {
            dict->unread[valueName] = type;
        }
    }
    std::vector<WCHAR> keyName(maxKeyName + 2);
    for (DWORD i = 0; i < keyCount && *budget > 0; ++i, --*budget) {
        DWORD units = static_cast<DWORD>(keyName.size());
        if (RegEnumKeyExW(key.get(), i, keyName.data(), &units, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
            continue;
        }
        auto sub = std::make_unique<RegistryDict>();
        ReadRegistry(hive, path + L"\\" + keyName.data(), depth + 1, budget, sub.get());
        dict->keys[Utf8(keyName.data())] = std::move(sub);
    }
}

// The policy schema's parts the conversion needs (policy_templates' schemas).
enum class Type { kInvalid, kBool, kInt, kString, kList, kDict };

struct Schema {
    Type type = Type::kInvalid;
    const Schema* items = nullptr;
    std::vector<std::pair<std::string, const Schema*>> properties;
    // patternProperties: the schema of the keys `matches` takes.
    bool (*matches)(const std::string& key) = nullptr;
    const Schema* pattern = nullptr;
    const Schema* pattern2 = nullptr;
    bool (*matches2)(const std::string& key) = nullptr;
};

const Schema kNoSchema;

// ExtensionSettings' "^[a-p]{32}(?:,[a-p]{32})*,?$".
bool IsIdList(const std::string& key) {
    size_t i = 0;
    for (;;) {
        if (key.size() - i < 32) return false;
        for (size_t j = 0; j < 32; ++j) {
            if (key[i + j] < 'a' || key[i + j] > 'p') return false;
        }
        i += 32;
        if (i == key.size()) return true;
        if (key[i] != ',') return false;
        if (++i == key.size()) return true;
    }
}

// ExtensionSettings' "^update_url:.+$".
bool IsUpdateUrlKey(const std::string& key) { return key.size() > 11 && key.compare(0, 11, "update_url:") == 0; }

struct Schemas {
    Schema boolean, integer, string, strings, extension, byUpdateUrl, defaults, extensionSettings, root;
    Schemas() {
        boolean.type = Type::kBool;
        integer.type = Type::kInt;
        string.type = Type::kString;
        strings.type = Type::kList;
        strings.items = &string;
        extension.type = Type::kDict;
        for (const char* p : {"installation_mode", "update_url", "minimum_version_required", "blocked_install_message",
                              "toolbar_pin", "toolbar_state"}) {
            extension.properties.emplace_back(p, &string);
        }
        for (const char* p :
             {"blocked_permissions", "allowed_permissions", "runtime_blocked_hosts", "runtime_allowed_hosts"}) {
            extension.properties.emplace_back(p, &strings);
        }
        for (const char* p : {"override_update_url", "file_url_navigation_allowed"}) {
            extension.properties.emplace_back(p, &boolean);
        }
        byUpdateUrl = extension;
        defaults = extension;
        defaults.properties.emplace_back("install_sources", &strings);
        defaults.properties.emplace_back("allowed_types", &strings);
        extensionSettings.type = Type::kDict;
        extensionSettings.properties.emplace_back("*", &defaults);
        extensionSettings.matches = IsIdList;
        extensionSettings.pattern = &extension;
        extensionSettings.matches2 = IsUpdateUrlKey;
        extensionSettings.pattern2 = &byUpdateUrl;
        root.type = Type::kDict;
        for (const char* p : {"NativeMessagingBlocklist", "NativeMessagingAllowlist", "ExtensionInstallBlocklist",
                              "ExtensionInstallAllowlist", "ExtensionInstallForcelist", "ExtensionAllowedTypes"}) {
            root.properties.emplace_back(p, &strings);
        }
        root.properties.emplace_back("NativeMessagingUserLevelHosts", &boolean);
        root.properties.emplace_back("NativeHostsExecutablesLaunchDirectly", &boolean);
        root.properties.emplace_back("BlockExternalExtensions", &boolean);
        root.properties.emplace_back("ExtensionSettings", &extensionSettings);
    }
};

const Schemas& GetSchemas() {
    static const Schemas schemas;
    return schemas;
}

// Schema::GetMatchingProperties: the property of that exact name, then the
// patterns that match it.
std::vector<const Schema*> MatchingProperties(const Schema& schema, const std::string& key) {
    std::vector<const Schema*> out;
    for (const auto& p : schema.properties) {
        if (p.first == key) out.push_back(p.second);
    }
    if (schema.matches != nullptr && schema.matches(key)) out.push_back(schema.pattern);
    if (schema.matches2 != nullptr && schema.matches2(key)) out.push_back(schema.pattern2);
    return out;
}

// base::StringToInt: an optional sign, then digits only, within int's range.
bool StringToInt(const std::string& s, int* out) {
    size_t i = 0;
    bool negative = false;
    if (i < s.size() && (s[i] == '-' || s[i] == '+')) negative = s[i++] == '-';
    if (i == s.size()) return false;
    long long value = 0;
    for (; i < s.size(); ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        value = value * 10 + (s[i] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1) return false;
    }
    if (negative) value = -value;
    if (value < INT_MIN || value > INT_MAX) return false;
    *out = static_cast<int>(value);
    return true;
}

bool IsKeyNumerical(const std::string& key) {
    int ignored = 0;
    return StringToInt(key, &ignored);
}

using Allocator = rapidjson::Document::AllocatorType;

void Set(rapidjson::Value* object, const std::string& name, rapidjson::Value& value, Allocator& a) {
    auto it = object->FindMember(rapidjson::Value(rapidjson::StringRef(name.data(), name.size())));
    if (it != object->MemberEnd()) {
        it->value = value;
    } else {
        object->AddMember(rapidjson::Value(name.data(), static_cast<rapidjson::SizeType>(name.size()), a), value, a);
    }
}

// Where a value sits, for the notes.
struct Place {
    std::string path;    // e.g. "NativeMessagingBlocklist\\1"
    std::string source;  // the key the policies came from
    std::vector<std::string>* notes;
    void Note(const std::string& why) const {
        if (notes != nullptr) notes->push_back(path + " in " + source + " " + why);
    }
    Place Child(const std::string& name) const { return {path + "\\" + name, source, notes}; }
};

// ConvertRegistryValue: a value already of the schema's type as it is;
// else a boolean from an int or a numeric string, an int from a numeric
// string, a list or dictionary from a JSON string (trailing commas allowed)
// of that type. Without a schema, the value as it is.
bool ConvertValue(const RegValue& v, const Schema& schema, Allocator& a, rapidjson::Value* out, const Place& at) {
    if (schema.type == Type::kInvalid || (schema.type == Type::kString && v.isString) ||
        (schema.type == Type::kInt && !v.isString)) {
        if (v.isString) {
            out->SetString(v.text.data(), static_cast<rapidjson::SizeType>(v.text.size()), a);
        } else {
            out->SetInt(v.number);
        }
        return true;
    }
    int number = 0;
    switch (schema.type) {
    case Type::kBool:
        if (!v.isString || StringToInt(v.text, &number)) {
            out->SetBool((v.isString ? number : v.number) != 0);
            return true;
        }
        at.Note("is the string \"" + v.text + "\", not a number (1 or 0)");
        return false;
    case Type::kInt:
        if (StringToInt(v.text, &number)) {
            out->SetInt(number);
            return true;
        }
        at.Note("is the string \"" + v.text + "\", not a number");
        return false;
    case Type::kList:
    case Type::kDict: {
        const char* kind = schema.type == Type::kList ? "a JSON list" : "a JSON dictionary";
        if (!v.isString) {
            at.Note(std::string("is a REG_DWORD, not ") + (schema.type == Type::kList ? "a list" : "a dictionary"));
            return false;
        }
        // base::JSONReader with JSON_ALLOW_TRAILING_COMMAS; it skips a
        // byte order mark, and Chromium 156 was seen to take comments too.
        std::string text = v.text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? v.text.substr(3) : v.text;
        rapidjson::Document doc(&a);
        doc.Parse<rapidjson::kParseTrailingCommasFlag | rapidjson::kParseCommentsFlag |
                  rapidjson::kParseIterativeFlag | rapidjson::kParseValidateEncodingFlag>(text.c_str(), text.size());
        if (doc.HasParseError() || (schema.type == Type::kList ? !doc.IsArray() : !doc.IsObject())) {
            at.Note(std::string("is a string that is not ") + kind);
            return false;
        }
        out->CopyFrom(doc, a);
        return true;
    }
    default:
        at.Note("is a REG_DWORD, not a string");
        return false;
    }
}

void NoteUnread(const RegistryDict& dict, const std::string& name, const Place& at) {
    auto it = dict.unread.find(name);
    if (it != dict.unread.end()) {
        at.Note(std::string("is a ") + TypeName(it->second) + ", a type the browser does not read");
    }
}

// RegistryDict::ConvertToJSON: a dictionary takes each value, then each
// subkey, by the schemas its name matches (none: as it is); a list takes the
// numerically named subkeys, then the numerically named values, in the
// registry's name order; other types have no subkey form.
bool ConvertDict(const RegistryDict& dict, const Schema& schema, Allocator& a, rapidjson::Value* out, const Place& at) {
    const Type type = schema.type == Type::kInvalid ? Type::kDict : schema.type;
    if (type == Type::kDict) {
        out->SetObject();
        auto convert = [&](const std::string& name, auto&& one) {
            std::vector<const Schema*> matching =
                schema.type == Type::kInvalid ? std::vector<const Schema*>() : MatchingProperties(schema, name);
            if (matching.empty()) matching.push_back(&kNoSchema);
            for (const Schema* s : matching) {
                rapidjson::Value converted;
                if (one(*s, &converted)) {
                    Set(out, name, converted, a);
                    return;
                }
            }
        };
        for (const auto& v : dict.values) {
            convert(v.first, [&](const Schema& s, rapidjson::Value* c) {
                return ConvertValue(v.second, s, a, c, at.Child(v.first));
            });
        }
        for (const auto& k : dict.keys) {
            convert(k.first, [&](const Schema& s, rapidjson::Value* c) {
                return ConvertDict(*k.second, s, a, c, at.Child(k.first));
            });
        }
        return true;
    }
    if (type == Type::kList) {
        out->SetArray();
        const Schema& items = schema.items != nullptr ? *schema.items : kNoSchema;
        for (const auto& k : dict.keys) {
            rapidjson::Value converted;
            if (!IsKeyNumerical(k.first)) {
                at.Child(k.first).Note("is not numbered 1, 2, ...");
            } else if (ConvertDict(*k.second, items, a, &converted, at.Child(k.first))) {
                out->PushBack(converted, a);
            }
        }
        for (const auto& v : dict.values) {
            rapidjson::Value converted;
            if (!IsKeyNumerical(v.first)) {
                at.Child(v.first).Note("is not numbered 1, 2, ...");
            } else if (ConvertValue(v.second, items, a, &converted, at.Child(v.first))) {
                out->PushBack(converted, a);
            }
        }
        for (const auto& u : dict.unread) NoteUnread(dict, u.first, at.Child(u.first));
        return true;
    }
    at.Note("is a key, which cannot hold a single value");
    return false;
}

// One source's policies: the root's entries that are the doctor's, as
// ConvertToJSON gives them under Chrome's schema. A name the schema does
// not know is an unknown policy to the browser, whatever its letters' case.
void ConvertPolicies(const RegistryDict& root, const std::string& source, Allocator& a, rapidjson::Value* out,
                     std::vector<std::string>* notes) {
    const Schema& schema = GetSchemas().root;
    out->SetObject();
    auto caseOnly = [&](const std::string& name) {
        for (const auto& p : schema.properties) {
            if (p.first != name && SameIgnoringCase(p.first, name)) {
                notes->push_back(name + " in " + source + " is not " + p.first + " (policy names are case-sensitive)");
            }
        }
    };
    for (const auto& v : root.values) {
        caseOnly(v.first);
        std::vector<const Schema*> matching = MatchingProperties(schema, v.first);
        if (matching.empty()) continue;
        rapidjson::Value converted;
        if (ConvertValue(v.second, *matching[0], a, &converted, Place{v.first, source, notes})) {
            Set(out, v.first, converted, a);
        }
    }
    for (const auto& u : root.unread) {
        caseOnly(u.first);
        if (!MatchingProperties(schema, u.first).empty()) NoteUnread(root, u.first, Place{u.first, source, notes});
    }
    for (const auto& k : root.keys) {
        caseOnly(k.first);
        std::vector<const Schema*> matching = MatchingProperties(schema, k.first);
        if (matching.empty()) continue;
        rapidjson::Value converted;
        if (ConvertDict(*k.second, *matching[0], a, &converted, Place{k.first, source, notes})) {
            Set(out, k.first, converted, a);
        }
    }
}

}  // namespace

// policy_loader_win.cc, PolicyLoaderWin::Load: HKLM then HKCU, each key's
// "Recommended" subkey taken out as the recommended level (and "3rdparty"
// left to extensions). PolicyMap::MergeFrom then keeps, per policy, the
// mandatory value over the recommended one, and the machine's over the
// user's at the same level, whole: lists are never merged.
void LoadRegistryPolicies(const std::string& policyKey, HKEY userHive, const std::string& userShown,
                          PolicyMap* mandatory, PolicyMap* recommended) {
    PolicyMap* out = mandatory;
    struct Level {
        std::string source;
        int rank;  // higher wins
        rapidjson::Document values;
    };
    std::vector<Level> levels;
    for (HKEY hive : {HKEY_LOCAL_MACHINE, userHive}) {
        const bool machine = hive == HKEY_LOCAL_MACHINE;
        const std::string source = (machine ? std::string("HKLM") : userShown) + "\\" + policyKey;
        RegistryDict dict;
        size_t budget = kMaxEntries;
        ReadRegistry(hive, Wide(policyKey), 0, &budget, &dict);
        if (budget == 0) {
            out->problems.push_back(source + " has more entries than the doctor reads; the rest were not checked");
        }
        std::unique_ptr<RegistryDict> recommended;
        auto it = dict.keys.find("recommended");
        if (it != dict.keys.end()) {
            recommended = std::move(it->second);
            dict.keys.erase(it);
        }
        dict.keys.erase("3rdparty");
        Level mandatory{source, machine ? 3 : 2, rapidjson::Document()};
        ConvertPolicies(dict, source, mandatory.values.GetAllocator(), &mandatory.values, &out->problems);
        levels.push_back(std::move(mandatory));
        if (recommended) {
            Level level{source + kRecommendedSuffix, machine ? 1 : 0, rapidjson::Document()};
            ConvertPolicies(*recommended, level.source, level.values.GetAllocator(), &level.values, &out->problems);
            levels.push_back(std::move(level));
        }
    }
    std::map<std::string, const Level*> winner;
    std::map<std::string, const rapidjson::Value*> value;
    for (const Level& level : levels) {
        for (auto m = level.values.MemberBegin(); m != level.values.MemberEnd(); ++m) {
            const std::string name(m->name.GetString(), m->name.GetStringLength());
            auto w = winner.find(name);
            if (w == winner.end() || level.rank > w->second->rank) {
                winner[name] = &level;
                value[name] = &m->value;
            }
        }
    }
    for (const auto& w : winner) {
        (w.second->rank >= 2 ? mandatory : recommended)->Set(w.first, *value[w.first], w.second->source);
    }
}
