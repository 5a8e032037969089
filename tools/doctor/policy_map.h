// The browser's policies as its loader leaves them, before any handler has
// checked a value's type: each policy's winning value and the source it came
// from. The Linux loader (config folders) and the Windows one (registry)
// fill it; the handlers in rules.cpp read it.
#pragma once

#include <rapidjson/document.h>

#include <map>
#include <string>
#include <vector>

struct PolicyMap {
    PolicyMap() { values.SetObject(); }
    PolicyMap(const PolicyMap& other) { *this = other; }
    PolicyMap& operator=(const PolicyMap& other) {
        if (this != &other) {
            values.SetObject();
            DeepCopy(other.values, &values, values.GetAllocator());
            sources = other.sources;
            problems = other.problems;
        }
        return *this;
    }

    // A policy's value, or null when no source set it. Names compare as
    // bytes: "NativeMessagingBlocklist" only.
    const rapidjson::Value* Get(const std::string& name) const {
        auto it = values.FindMember(rapidjson::Value(rapidjson::StringRef(name.data(), name.size())));
        return it != values.MemberEnd() ? &it->value : nullptr;
    }
    std::string SourceOf(const std::string& name) const {
        auto it = sources.find(name);
        return it != sources.end() ? it->second : std::string();
    }
    // The value replaces any earlier one, whatever its type.
    void Set(const std::string& name, const rapidjson::Value& value, const std::string& source) {
        // Deep, strings included: a value parsed in place points into its
        // document's buffer, which goes with that document.
        rapidjson::Value copy;
        DeepCopy(value, &copy, values.GetAllocator());
        auto it = values.FindMember(rapidjson::Value(rapidjson::StringRef(name.data(), name.size())));
        if (it != values.MemberEnd()) {
            it->value = copy;
        } else {
            values.AddMember(rapidjson::Value(name.data(), static_cast<rapidjson::SizeType>(name.size()),
                                              values.GetAllocator()),
                             copy, values.GetAllocator());
        }
        sources[name] = source;
    }

    // RapidJSON's own copy shares strings parsed in place. The JSON reader's
    // depth limit bounds this recursion.
    static void DeepCopy(const rapidjson::Value& from, rapidjson::Value* to, rapidjson::Document::AllocatorType& a) {
        if (from.IsString()) {
            to->SetString(from.GetString(), from.GetStringLength(), a);
        } else if (from.IsArray()) {
            to->SetArray();
            to->Reserve(from.Size(), a);
            for (const auto& e : from.GetArray()) {
                rapidjson::Value v;
                DeepCopy(e, &v, a);
                to->PushBack(v, a);
            }
        } else if (from.IsObject()) {
            to->SetObject();
            for (const auto& m : from.GetObject()) {
                rapidjson::Value k, v;
                DeepCopy(m.name, &k, a);
                DeepCopy(m.value, &v, a);
                to->AddMember(k, v, a);
            }
        } else {
            to->CopyFrom(from, a);
        }
    }

    rapidjson::Document values;               // an object: policy name -> value
    std::map<std::string, std::string> sources;  // policy name -> the file or key that set it
    std::vector<std::string> problems;        // sources the loader skipped, and why
};
