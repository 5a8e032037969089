// The doctor's port of Chromium's JSON reader: each row is an input with the
// options a caller of Chromium's passes, and what Chromium makes of it, the
// value written canonically (ints bare, doubles with a point, dictionaries as
// base::Value::Dict holds them) or "! " and Chromium's error text.
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <cstdio>
#include <string>

#include "tools/doctor/json_reader.h"

namespace {

const int M = JSON_PARSE_CHROMIUM_EXTENSIONS;           // a manifest
const int P = M | JSON_ALLOW_TRAILING_COMMAS;            // a policy file
const int R = JSON_PARSE_RFC;
const int X = M | JSON_REPLACE_INVALID_CHARACTERS | JSON_ALLOW_VERT_TAB;

void Show(const rapidjson::Value& v, std::string* out) {
    char buf[40];
    if (v.IsNull()) *out += "null";
    if (v.IsBool()) *out += v.GetBool() ? "true" : "false";
    if (v.IsInt()) *out += std::to_string(v.GetInt());
    if (v.IsNumber() && !v.IsInt()) {
        snprintf(buf, sizeof buf, "%.17g", v.GetDouble());
        *out += buf;
        if (std::string(buf).find_first_of(".en") == std::string::npos) *out += ".0";
    }
    if (v.IsString()) {
        *out += '"';
        for (size_t i = 0; i < v.GetStringLength(); ++i) {
            unsigned char c = static_cast<unsigned char>(v.GetString()[i]);
            if (c < 0x20 || c == '"' || c == '\\') {
                snprintf(buf, sizeof buf, "\\u%04x", c);
                *out += buf;
            } else {
                *out += static_cast<char>(c);
            }
        }
        *out += '"';
    }
    const char* sep = "";
    if (v.IsArray()) {
        *out += '[';
        for (const auto& e : v.GetArray()) {
            *out += sep;
            Show(e, out);
            sep = ",";
        }
        *out += ']';
    }
    if (v.IsObject()) {
        *out += '{';
        for (const auto& m : v.GetObject()) {
            *out += sep;
            Show(m.name, out);
            *out += ':';
            Show(m.value, out);
            sep = ",";
        }
        *out += '}';
    }
}

std::string Repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

TEST(DoctorJsonTest, ReadsAsChromiumDoes) {
    const std::string deepArray = Repeat("[", 199) + Repeat("]", 199);
    const std::string deepObject = Repeat("{\"a\":", 198) + "{}" + Repeat("}", 198);
    struct Row {
        int options;
        std::string in;
        std::string out;
    } rows[] = {
        // Layout: byte order mark, comments, whitespace, what may follow.
        {M, "\xEF\xBB\xBF{\"a\":1}", "{\"a\":1}"},
        {M, "\xEF\xBB\xBF\xEF\xBB\xBF{}", "! expected value at line 1 column 1"},
        {M, "// x\n{ /* y \xFF */ \"a\": 1 // z\n}", "{\"a\":1}"},
        {R, "// x\n{}", "! expected value at line 1 column 1"},
        {M, "// a line ended by CR alone\r{}", "! EOF while parsing a value at line 1 column 30"},
        {M, "{} /* x", "! EOF while parsing a block comment at line 1 column 7"},
        {M, "{} /", "! expected `/` or `*` after `/` at line 1 column 4"},
        {M, "{}\f", "! trailing characters at line 1 column 3"},
        {M, "{} x", "! trailing characters at line 1 column 4"},
        {M, "", "! EOF while parsing a value at line 1 column 0"},
        {M, "{\n\n  \"a\" 1}", "! expected `:` at line 3 column 7"},
        {M, "\"top\"", "\"top\""},
        // Commas, keys, and the last of a repeated key.
        {M, "{\"a\":1,}", "! trailing comma at line 1 column 8"},
        {P, "{\"a\":[1,],}", "{\"a\":[1]}"},
        {P, "[1,,]", "! expected value at line 1 column 4"},
        {P, "[,]", "! expected value at line 1 column 2"},
        {P, "{,}", "! key must be a string at line 1 column 2"},
        {M, "{1:2}", "! key must be a string at line 1 column 2"},
        {M, "[1 2]", "! expected `,` or `]` at line 1 column 4"},
        {M, "{\"a\":1 \"b\":2}", "! expected `,` or `}` at line 1 column 8"},
        {M, "{\"b\":1,\"a\":2,\"b\":3}", "{\"a\":2,\"b\":3}"},
        {M, "{\"a\":{\"x\":1},\"a\":{\"y\":2}}", "{\"a\":{\"y\":2}}"},
        {M, "{\"name\":\"x\",\"name\\u0000\":\"y\"}", "{\"name\":\"x\",\"name\\u0000\":\"y\"}"},
        // Strings: line breaks, control characters, escapes, surrogates, UTF-8.
        {M, "[\"x\ny\r\"]", "[\"x\\u000ay\\u000d\"]"},
        {R, "[\"x\ny\"]", "! control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"},
        {M, "[\"x\ty\"]", "! control character (\\u0000-\\u001F) found while parsing a string at line 1 column 4"},
        {M, "[\"\\x41\\xff\\x00\"]", "[\"A\xC3\xBF\\u0000\"]"},
        {R, "[\"\\x41\"]", "! invalid escape at line 1 column 4"},
        {M, "[\"\\x4\"]", "! invalid escape at line 1 column 6"},
        {M, "[\"\\v\"]", "! invalid escape at line 1 column 4"},
        {X, "[\"\\v\"]", "[\"\\u000b\"]"},
        {M, "[\"\\ud83d\\ude00\\u00e9\"]", "[\"\xF0\x9F\x98\x80\xC3\xA9\"]"},
        {M, "[\"\\ud800\"]", "! unexpected end of hex escape at line 1 column 9"},
        {M, "[\"\\udc00\"]", "! lone leading surrogate in hex escape at line 1 column 8"},
        {M, "[\"\\ud800\\u0041\"]", "! lone leading surrogate in hex escape at line 1 column 14"},
        {X, "[\"\\ud800\", \"\\udc00\"]", "[\"\xEF\xBF\xBD\",\"\xEF\xBF\xBD\"]"},
        {M, "[\"\xC3\x28\"]", "! invalid unicode code point at line 1 column 5"},
        {M, "[\"\xED\xA0\x80\"]", "! invalid unicode code point at line 1 column 6"},
        {M, "[\"\xC0\xAF\"]", "! invalid unicode code point at line 1 column 5"},
        {X, "[\"a\xC3\x28\xF0\x9F\x98\"]", "[\"a\xEF\xBF\xBD(\xEF\xBF\xBD\"]"},
        {M, "[\"abc", "! EOF while parsing a string at line 1 column 5"},
        // Numbers: ints while they fit in 32 bits, else doubles; no infinities.
        {M, "[0,-0,1.0,2147483647,2147483648,-2147483648,-2147483649,1e2,12345678901234567890123]",
         "[0,-0.0,1.0,2147483647,2147483648.0,-2147483648,-2147483649.0,100.0,1.2345678901234568e+22]"},
        {M, "[1e-400,-1e-400,0e99999999999,1E+2]", "[0.0,-0.0,0.0,100.0]"},
        {M, "[1e400]", "! number out of range at line 1 column 6"},
        {M, "[-1" + std::string(400, '0') + "]", "! number out of range at line 1 column 403"},
        {M, "[1e99999999999]", "! number out of range at line 1 column 13"},
        {M, "[01]", "! invalid number at line 1 column 3"},
        {M, "[1.]", "! invalid number at line 1 column 4"},
        {M, "[1e]", "! invalid number at line 1 column 4"},
        {M, "[-]", "! invalid number at line 1 column 3"},
        {M, "[.5]", "! expected value at line 1 column 2"},
        {M, "[+1]", "! expected value at line 1 column 2"},
        {M, "[true,false,null]", "[true,false,null]"},
        {M, "[tru]", "! expected ident at line 1 column 5"},
        {M, "[nul", "! EOF while parsing a value at line 1 column 4"},
        // Depth: 199 levels at most, counting the outermost; the 200th fails as it opens, even empty.
        {M, deepArray, deepArray},
        {M, "[" + deepArray + "]", "! recursion limit exceeded at line 1 column 201"},
        {P, deepObject, deepObject},
        {M, "{\"a\":" + deepObject + "}", "! recursion limit exceeded at line 1 column 997"},
        {M, "[" + deepObject + "]", "! recursion limit exceeded at line 1 column 993"},
    };
    for (const Row& r : rows) {
        rapidjson::Document doc;
        std::string why;
        std::string got;
        if (ReadChromiumJson(r.in, r.options, &doc, &why)) {
            Show(doc, &got);
        } else {
            got = "! " + why;
        }
        EXPECT_EQ(got, r.out) << "input: " << r.in.substr(0, 80);
    }

    rapidjson::Document doc;
    std::string why;
    ASSERT_TRUE(ReadChromiumJson("{\"path\":\"/a\",\"path\\u0000\":\"/b\"}", M, &doc, &why)) << why;
    EXPECT_EQ(std::string(FindKey(doc, "path")->GetString()), "/a");
    EXPECT_EQ(std::string(FindKey(doc, std::string("path\0", 5))->GetString()), "/b");
    EXPECT_EQ(FindKey(doc, "pat"), nullptr);
    EXPECT_EQ(FindKey(doc["path"], "path"), nullptr);
}

}  // namespace
