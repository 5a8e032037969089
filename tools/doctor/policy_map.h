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
            values.CopyFrom(other.values, values.GetAllocator());
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
        rapidjson::Value copy(value, values.GetAllocator());
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

    rapidjson::Document values;               // an object: policy name -> value
    std::map<std::string, std::string> sources;  // policy name -> the file or key that set it
    std::vector<std::string> problems;        // sources the loader skipped, and why
};
