// Ini reading as the log configuration relies on it. The same cases run
// against our POSIX reader and, under Wine, against the real Windows one.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "platform/platform.h"
#include "tests/support/host_fixture.h"
#include "tools/common/wide.h"

namespace {

class ProfileTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(folder.Create(&error)) << error;
    }
    void TearDown() override { folder.Remove(); }

    // The value of [section] key from an ini of the given bytes.
    std::string Read(const std::string& ini, const char* section, const char* key, DWORD size = 100,
                     DWORD* count = nullptr) {
        EXPECT_TRUE(folder.WriteIni(ini));
        WCHAR value[100];
        for (WCHAR& c : value) c = 'z';
        DWORD n = GetPrivateProfileStringW(Wide(section).c_str(), Wide(key).c_str(), W("0"), value, size,
                                           Wide(folder.IniPath()).c_str());
        if (count != nullptr) *count = n;
        return Utf8(value);
    }

    HostFolder folder;
};

TEST_F(ProfileTest, SectionsAndKeysIgnoreCase) {
    EXPECT_EQ(Read("[Root]\r\nDebug=1\r\n", "Root", "Debug"), "1");
    EXPECT_EQ(Read("[ROOT]\r\nDEBUG=2\r\n", "Root", "Debug"), "2");
    EXPECT_EQ(Read("[root]\ndebug=3\n", "Root", "Debug"), "3");
    EXPECT_EQ(Read("[Other]\r\nDebug=4\r\n[Root]\r\nDebug=5\r\n", "Root", "Debug"), "5");
}

TEST_F(ProfileTest, BlanksAndQuotesAroundValues) {
    EXPECT_EQ(Read("[Root]\r\n  Debug  =  1 \r\n", "Root", "Debug"), "1");
    EXPECT_EQ(Read("[Root]\r\nDebug=\"7\"\r\n", "Root", "Debug"), "7");
    EXPECT_EQ(Read("[Root]\r\nDebug= 2 x\r\n", "Root", "Debug"), "2 x");
    EXPECT_EQ(Read("[Root]\r\nDebug=\r\n", "Root", "Debug"), "");
}

TEST_F(ProfileTest, DefaultWhenMissing) {
    DWORD count = 99;
    EXPECT_EQ(Read("[Root]\r\nOther=1\r\n", "Root", "Debug", 100, &count), "0");
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(Read("[Other]\r\nDebug=1\r\n", "Root", "Debug"), "0");
    EXPECT_EQ(Read("", "Root", "Debug"), "0");
    ASSERT_TRUE(folder.RemoveIni());
    WCHAR value[100] = {};
    DWORD n = GetPrivateProfileStringW(W("Root"), W("Debug"), W("0"), value, 100, Wide(folder.IniPath()).c_str());
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(Utf8(value), "0");
}

TEST_F(ProfileTest, LongValueIsCutToTheBuffer) {
    DWORD count = 0;
    EXPECT_EQ(Read("[Root]\r\nDebug=123456789\r\n", "Root", "Debug", 5, &count), "1234");
    EXPECT_EQ(count, 4u);
}

}  // namespace
