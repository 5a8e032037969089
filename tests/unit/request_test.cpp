// Request parsing, checking and dispatch, with recorders in place of the
// handlers and the frames written to a file.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "contract/contract.h"
#include "host/request.h"
#include "support/framing.h"
#include "support/log.h"
#include "tests/support/host_fixture.h"

namespace {

struct Call {
    std::string handler;
    int value = 0;
    std::u16string text;
    DWORD size = 0;
    int browserType = 0;
};

std::vector<Call> g_calls;

void RecordFindHandle(int value) { g_calls.push_back({"FindHandle", value, u"", 0, 0}); }
void RecordReturnUrlList(const WCHAR* text, DWORD size, int browserType) {
    g_calls.push_back({"ReturnUrlList", 0, reinterpret_cast<const char16_t*>(text), size, browserType});
}
void RecordReturnCheckDevtools(const WCHAR* text, DWORD size, int browserType) {
    g_calls.push_back({"ReturnCheckDevtools", 0, reinterpret_cast<const char16_t*>(text), size, browserType});
}

std::string ReadAll(FILE* f) {
    std::string out;
    fflush(f);
    rewind(f);
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), f)) > 0) out.append(buffer, n);
    return out;
}

class RequestTest : public InProcessRequestTest {
protected:
    RequestTest()
        : InProcessRequestTest({RecordFindHandle, RecordReturnUrlList, RecordReturnCheckDevtools}, W("RequestTest")) {}
    void SetUp() override {
        InProcessRequestTest::SetUp();
        g_calls.clear();
    }
    void TearDown() override {
        InjectAllocationFailure(0);
        InProcessRequestTest::TearDown();
    }

    // Number of replies written, each checked to be the refusal frame.
    int Replies() {
        std::vector<std::string> bodies;
        EXPECT_TRUE(SplitFrames(Output(), &bodies));
        for (const std::string& body : bodies) EXPECT_EQ(body, kReplyBody);
        return static_cast<int>(bodies.size());
    }
    std::vector<std::string> Errors() { return Messages(folder.ReadLog(), 2); }
};

TEST_F(RequestTest, CommandWordsMatchInAnyCase) {
    Handle(R"({"CommandID":"findhandle","CommandArgs":5})");
    Handle(R"({"CommandID":"RETURNURLLIST","CommandArgs":"1;a"})");
    Handle(R"({"CommandID":"returnCheckDevTools","CommandArgs":"1;0"})");
    ASSERT_EQ(g_calls.size(), 3u);
    EXPECT_EQ(g_calls[0].handler, "FindHandle");
    EXPECT_EQ(g_calls[0].value, 5);
    EXPECT_EQ(g_calls[1].handler, "ReturnUrlList");
    EXPECT_EQ(g_calls[2].handler, "ReturnCheckDevtools");
    EXPECT_EQ(g_calls[2].browserType, 2);
    EXPECT_EQ(Replies(), 0);
    EXPECT_TRUE(Errors().empty());
}

TEST_F(RequestTest, ArgumentValueTextAndSize) {
    Handle(R"({"CommandID":"FindHandle","CommandArgs":"5"})");
    Handle(R"({"CommandID":"ReturnUrlList","CommandArgs":"7;abc"})", 6);
    Handle(R"({"CommandID":"ReturnUrlList","CommandArgs":7})");
    Handle(R"({"CommandID":"ReturnCheckDevtools","CommandArgs":-2147483648})");
    Handle(R"({"CommandID":"ReturnCheckDevtools","CommandArgs":""})");
    Handle(R"({"CommandID":"ReturnUrlList","CommandArgs":"ab\u0000cd"})");
    ASSERT_EQ(g_calls.size(), 6u);
    EXPECT_EQ(g_calls[0].value, 0);  // a string never sets the argument value
    EXPECT_EQ(g_calls[1].text, u"7;abc");
    EXPECT_EQ(g_calls[1].size, 6u);
    EXPECT_EQ(g_calls[1].browserType, 6);
    EXPECT_EQ(g_calls[2].text, u"7");
    EXPECT_EQ(g_calls[2].size, 14u);  // an integer takes the command word's length plus one
    EXPECT_EQ(g_calls[3].text, u"-2147483648");
    EXPECT_EQ(g_calls[3].size, 20u);
    EXPECT_EQ(g_calls[4].text, u"");
    EXPECT_EQ(g_calls[4].size, 1u);
    EXPECT_EQ(g_calls[5].text, u"ab");  // cut at the zero byte, sized by the whole string
    EXPECT_EQ(g_calls[5].size, 6u);
    EXPECT_EQ(Replies(), 0);
}

TEST_F(RequestTest, EscapesAndInvalidUtf8ReachTheHandlerAsUtf16) {
    Handle(R"({"CommandID":"ReturnUrlList","CommandArgs":"\u00e9\ud83d\ude00\n\"x"})");
    Handle(std::string("{\"CommandID\":\"ReturnUrlList\",\"CommandArgs\":\"a\xFF") + "b\"}");
    Handle("{\"CommandID\":\"ReturnUrlList\",\"CommandArgs\":\"\xC3\xA9\"}");
    ASSERT_EQ(g_calls.size(), 3u);
    EXPECT_EQ(g_calls[0].text, u"\u00e9\U0001F600\n\"x");
    EXPECT_EQ(g_calls[0].size, 2u + 4u + 1u + 1u + 1u + 1u);
    EXPECT_EQ(g_calls[1].text, u"a\uFFFDb");
    EXPECT_EQ(g_calls[1].size, 4u);
    EXPECT_EQ(g_calls[2].text, u"\u00e9");
}

TEST_F(RequestTest, CommandWordEndsAtAnEscapedZero) {
    Handle(R"({"CommandID":"FindHandle\u0000tail","CommandArgs":3})");
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls[0].value, 3);
}

TEST_F(RequestTest, FirstOfTwoMembersCounts) {
    Handle(R"({"CommandID":"FindHandle","CommandID":"Hello","CommandArgs":4,"CommandArgs":"x"})");
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls[0].value, 4);
}

TEST_F(RequestTest, ParseErrors) {
    const char* bodies[] = {"", "   \r\n\t", "{", R"({"CommandID":"FindHandle","CommandArgs":5}x)",
                            "{\"CommandID\":\"Find\x01Handle\",\"CommandArgs\":5}", "[1,]"};
    for (const char* body : bodies) Handle(body);
    EXPECT_EQ(Replies(), 6);
    EXPECT_EQ(Errors(), std::vector<std::string>(6, "Parse Error!!"));
    EXPECT_TRUE(g_calls.empty());
}

TEST_F(RequestTest, KeyErrorsInTheirOrder) {
    const char* bodies[] = {
        "[1,2]", "\"text\"", "5", "{}", R"({"CommandID":"FindHandle"})", R"({"CommandArgs":5})",
        R"({"CommandID":5,"CommandArgs":5})", R"({"commandid":"FindHandle","CommandArgs":5})",
        R"({"CommandID":"FindHandle","CommandArgs":null})", R"({"CommandID":"FindHandle","CommandArgs":true})",
        R"({"CommandID":"FindHandle","CommandArgs":1.5})", R"({"CommandID":"FindHandle","CommandArgs":5.0})",
        R"({"CommandID":"FindHandle","CommandArgs":1e3})", R"({"CommandID":"FindHandle","CommandArgs":2147483648})",
        R"({"CommandID":"FindHandle","CommandArgs":-2147483649})", R"({"CommandID":"FindHandle","CommandArgs":{}})",
        R"({"CommandID":"FindHandle","CommandArgs":[]})",
    };
    for (const char* body : bodies) Handle(body);
    size_t n = sizeof(bodies) / sizeof(bodies[0]);
    EXPECT_EQ(Replies(), static_cast<int>(n));
    EXPECT_EQ(Errors(), std::vector<std::string>(n, "Key value is not exist or wrong!"));
    EXPECT_TRUE(g_calls.empty());
}

TEST_F(RequestTest, UnknownCommandIsRefusedWithoutAnErrorLine) {
    Handle(R"({"CommandID":"Hello","CommandArgs":""})");
    Handle(R"({"CommandID":"","CommandArgs":1})");
    Handle(R"({"CommandID":"FindHandles","CommandArgs":1})");
    EXPECT_EQ(Replies(), 3);
    HostLog log = folder.ReadLog();
    EXPECT_TRUE(Messages(log, 2).empty()) << DescribeLog(log);
    EXPECT_EQ(CountMessage(log, 0, "Command ID : Hello"), 1u) << DescribeLog(log);
    EXPECT_EQ(CountMessage(log, 0, "[SOD] : {\"Result\":\"-1\",\"Data\":\"\"}"), 3u) << DescribeLog(log);
    EXPECT_TRUE(g_calls.empty());
}

TEST_F(RequestTest, DeepNestingIsRefusedWithoutRecursion) {
    Handle(std::string(1000000, '['));
    std::string objects;
    while (objects.size() < 1000000) objects += "{\"a\":";
    Handle(objects);
    EXPECT_EQ(Replies(), 2);
    EXPECT_EQ(Errors(), std::vector<std::string>(2, "Parse Error!!"));
}

TEST_F(RequestTest, EveryAllocationFailureIsRefused) {
    // Trace lines off, so that only the request's own allocations count: the
    // command word, the conversion's temporary buffer, the argument copy (only
    // for a string that holds a zero byte of its own) and the argument text.
    ASSERT_TRUE(folder.WriteIni(CLIENT_INI_WITH_DEBUG("0")));
    ResetLogState();
    SetLogName(W("RequestTest"));
    DebugLog(LOG_ERROR, W("configuration read"));
    struct {
        std::string body;
        int allocations;
    } cases[] = {
        {R"({"CommandID":"ReturnUrlList","CommandArgs":"1;x"})", 3},
        {R"({"CommandID":"ReturnUrlList","CommandArgs":"1;x\u0000y"})", 4},
        {R"({"CommandID":"ReturnUrlList","CommandArgs":1})", 3},
    };
    int refused = 0;
    for (const auto& c : cases) {
        for (int nth = 1; nth <= c.allocations + 1; ++nth) {
            SCOPED_TRACE(c.body + " " + std::to_string(nth));
            g_calls.clear();
            HeapArray<char> request = AllocZeroed<char>(c.body.size() + 1);
            memcpy(request.get(), c.body.data(), c.body.size());
            InjectAllocationFailure(nth);
            HandleRequest(std::move(request), 2);
            InjectAllocationFailure(0);
            EXPECT_EQ(g_calls.size(), nth == c.allocations + 1 ? 1u : 0u);
            if (nth <= c.allocations) ++refused;
        }
    }
    // Without its temporary buffer the command word stays empty: an unknown
    // command, refused without an error line. Every other failure is logged.
    EXPECT_EQ(Replies(), refused);
    std::vector<std::string> errors = Errors();
    ASSERT_FALSE(errors.empty());
    errors.erase(errors.begin());
    EXPECT_EQ(errors, std::vector<std::string>(static_cast<size_t>(refused) - 3, "Buffer allocation failed : 8"));
}

TEST_F(RequestTest, FramesOfSeveralThreadsNeverInterleave) {
    const int kThreads = 3, kFrames = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            std::string body = "{\"Result\":\"writer" + std::to_string(t) + "\",\"Data\":\"" +
                               std::string(static_cast<size_t>(10 + 100 * t), static_cast<char>('a' + t)) + "\"}";
            for (int i = 0; i < kFrames; ++i) {
                if (t == 0) {
                    SendReply(-1, W(""));
                } else {
                    WriteFramedMessage(body.c_str());
                }
                if (i % 100 == 0) FlushOutput();
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    std::vector<std::string> bodies;
    ASSERT_TRUE(SplitFrames(Output(), &bodies));
    ASSERT_EQ(bodies.size(), static_cast<size_t>(kThreads * kFrames));
    int counts[kThreads] = {};
    for (const std::string& body : bodies) {
        if (body == kReplyBody) {
            ++counts[0];
            continue;
        }
        int t = body.compare(0, 18, "{\"Result\":\"writer1") == 0 ? 1 : 2;
        std::string expected = "{\"Result\":\"writer" + std::to_string(t) + "\",\"Data\":\"" +
                               std::string(static_cast<size_t>(10 + 100 * t), static_cast<char>('a' + t)) + "\"}";
        ASSERT_EQ(body, expected);
        ++counts[t];
    }
    for (int count : counts) EXPECT_EQ(count, kFrames);
}

TEST(FrameBytesTest, ReplyAndLengthBytes) {
    FILE* out = tmpfile();
    ASSERT_NE(out, nullptr);
    SetFrameStreams(nullptr, out);
    SendReply(-1, W(""));
    std::string body300(300, 'x');
    WriteFramedMessage(body300.c_str());
    WriteFramedMessage("{\"Result\":\"GetURL\",\"Data\":\"7\"}");
    SetFrameStreams(nullptr, nullptr);
    std::string bytes = ReadAll(out);
    fclose(out);
    std::string reply = std::string("\x19\x00\x00\x00", 4) + "{\"Result\":\"-1\",\"Data\":\"\"}";
    ASSERT_EQ(bytes.size(), 29u + 304u + 34u);
    EXPECT_EQ(bytes.substr(0, 29), reply);
    EXPECT_EQ(bytes.substr(29, 4), std::string("\x2C\x01\x00\x00", 4));
    EXPECT_EQ(bytes.substr(333, 4), std::string("\x1E\x00\x00\x00", 4));
}

TEST(FrameBytesTest, ReplyDataIsEscapedAndBounded) {
    FILE* out = tmpfile();
    ASSERT_NE(out, nullptr);
    SetFrameStreams(nullptr, out);
    SendReply(5, W("a\"b\\c"));
    std::u16string longData(400, u'd');
    SendReply(-1, reinterpret_cast<const WCHAR*>(longData.c_str()));
    SetFrameStreams(nullptr, nullptr);
    std::vector<std::string> bodies;
    ASSERT_TRUE(SplitFrames(ReadAll(out), &bodies));
    fclose(out);
    ASSERT_EQ(bodies.size(), 2u);
    EXPECT_EQ(bodies[0], "{\"Result\":\"5\",\"Data\":\"a\\\"b\\\\c\"}");
    EXPECT_LE(bodies[1].size(), 259u);
    EXPECT_EQ(bodies[1].substr(bodies[1].size() - 2), "\"}");
}

}  // namespace
