// base::JSONReader as Chromium reads manifests and policy files: its Rust
// parser (third_party/rust/serde_json_lenient, the v0_2 wrapper) with the
// same options, depth limit, values and error text.
#pragma once

#include <rapidjson/document.h>

#include <cstddef>
#include <string>

// base/json/json_reader.h, JSONParserOptions.
enum JSONParserOptions {
    JSON_PARSE_RFC = 0,
    JSON_ALLOW_TRAILING_COMMAS = 1 << 0,
    JSON_REPLACE_INVALID_CHARACTERS = 1 << 1,
    JSON_ALLOW_COMMENTS = 1 << 2,
    JSON_ALLOW_CONTROL_CHARS = 1 << 3,
    JSON_ALLOW_VERT_TAB = 1 << 4,
    JSON_ALLOW_X_ESCAPES = 1 << 5,
    JSON_ALLOW_NEWLINES_IN_STRINGS = 1 << 6,
    JSON_PARSE_CHROMIUM_EXTENSIONS = JSON_ALLOW_COMMENTS | JSON_ALLOW_NEWLINES_IN_STRINGS | JSON_ALLOW_X_ESCAPES,
};

// base/json/json_common.h, kAbsoluteMaxDepth: what ReadAndReturnValueWithError uses.
const size_t kJsonMaxDepth = 200;

// The value Chromium gets from `bytes`, or false and Chromium's message
// ("expected value at line 1 column 1"). Objects come as base::Value::Dict
// holds them: one member per key, the last written, in byte order of keys.
// Strings and keys keep embedded NULs. Never recurses.
bool ReadChromiumJson(const std::string& bytes, int options, rapidjson::Document* out, std::string* why,
                      size_t maxDepth = kJsonMaxDepth);

// base::Value::Dict::Find: the key's bytes exactly; the last such member wins.
const rapidjson::Value* FindKey(const rapidjson::Value& object, const std::string& key);
