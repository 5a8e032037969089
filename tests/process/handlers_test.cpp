// The three commands against a real host, with this test as the agent: it
// creates the result blocks, lays out the windows and reads the blocks back
// byte for byte from its own process.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "bridge/profiles.h"
#include "bridge/registry.h"
#include "contract/contract.h"
#include "support/handles.h"
#include "tests/support/host_fixture.h"
#if !defined(_WIN32)
#include "platform/posix/desktop.h"
#endif

namespace {

const unsigned char kStale = 0xAB;

std::u16string U16(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

std::string Hex(uint32_t value) {
    char text[16];
    snprintf(text, sizeof(text), "%x", value);
    return text;
}

class Block {
public:
    bool Create(const WCHAR* name, DWORD size) {
        size_ = size;
        mapping_.reset(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size, name));
        if (!mapping_) return false;
        view_.reset(MapViewOfFile(mapping_.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, size));
        if (!view_) return false;
        memset(view_.get(), kStale, size);
        return true;
    }
    const unsigned char* Bytes() const { return static_cast<const unsigned char*>(view_.get()); }
    // The UTF-16 units of the first count bytes.
    std::u16string Units(size_t bytes) const {
        std::u16string out(bytes / 2, u'\0');
        for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<char16_t>(Bytes()[2 * i] | (Bytes()[2 * i + 1] << 8));
        return out;
    }
    // Offset of the first byte from start on that is not stale.
    size_t FirstFresh(size_t start) const {
        for (size_t i = start; i < size_; ++i) {
            if (Bytes()[i] != kStale) return i;
        }
        return size_;
    }
    size_t LastFresh() const {
        size_t last = 0;
        for (size_t i = 0; i < size_; ++i) {
            if (Bytes()[i] != kStale) last = i + 1;
        }
        return last;
    }

private:
    DWORD size_ = 0;
    UniqueHandle mapping_;
    UniqueView view_;
};

// This test plays the agent: it holds the host's answer events open.
class AgentTest : public HostTest {
protected:
    // A host under the given launchers, past its start-up.
    void StartServing(const std::vector<std::string>& ancestors, const BrowserProfile& profile = g_ChromeProfile) {
        ASSERT_TRUE(StartHost({}, ancestors));
        Sync();
        urlAnswer.reset(OpenEventW(SYNCHRONIZE, FALSE, profile.lpszEventForRes));
        devtoolAnswer.reset(OpenEventW(SYNCHRONIZE, FALSE, profile.lpszEventGetDevtoolRes));
        ASSERT_TRUE(urlAnswer && devtoolAnswer);
    }
    // Requests are served in order: once a refusal comes back, all before it are done.
    void Sync() {
        ASSERT_TRUE(host.SendFrame("sync"));
        std::string reply;
        ASSERT_TRUE(host.ReadFrame(&reply));
        ASSERT_EQ(reply, kReplyBody);
    }
    void Answer(const std::string& command, const std::string& argsJson, HANDLE event) {
        ASSERT_TRUE(host.SendFrame(Request(command, argsJson)));
        ASSERT_EQ(WaitForSingleObject(event, kHostTimeoutMs), WAIT_OBJECT_0) << command << " " << argsJson.substr(0, 40);
    }

    UniqueHandle urlAnswer, devtoolAnswer;
};

class HandlersTest : public AgentTest {
protected:
    void SetUp() override {
        AgentTest::SetUp();
        ASSERT_TRUE(urlBlock.Create(g_ChromeProfile.lpszUrlResultBlock, URL_RESULT_BLOCK_BYTES));
        ASSERT_TRUE(devtoolBlock.Create(g_ChromeProfile.lpszDevtoolResultBlock, DEVTOOL_RESULT_BLOCK_BYTES));
    }
    // A host under a Chrome launcher that shows a browser window.
    void StartServing() { AgentTest::StartServing({"chrome+window"}); }
    uint32_t BindBrowserWindow(int windowId) {
        // This process sees the same desktop as the host.
        uint32_t hwnd = HandleValue(FindBrowserWindow());
        EXPECT_NE(hwnd, 0u);
        EXPECT_TRUE(host.SendFrame(Request("FindHandle", std::to_string(windowId))));
        Sync();
        return hwnd;
    }

    Block urlBlock, devtoolBlock;
};

TEST_F(HandlersTest, UrlAnswerOfAStringArgument) {
    StartServing();
    uint32_t hwnd = BindBrowserWindow(7);
    Answer("ReturnUrlList", "\"7;abc\"", urlAnswer.get());
    // n = 6 + 16 units: 44 bytes written, the rest untouched.
    std::u16string text = U16(Hex(hwnd) + ";7;abc");
    EXPECT_EQ(urlBlock.Units(2 * text.size()), text);
    for (size_t i = 2 * text.size(); i < 44; ++i) EXPECT_EQ(urlBlock.Bytes()[i], 0) << i;
    EXPECT_EQ(urlBlock.FirstFresh(44), 100000u);
    HostLog log = Log();
    EXPECT_EQ(CountMessage(log, 0, "[FindHandle] Insert & Find Map for HWND & WINDOW ID : [7:" + Hex(hwnd) + "] "), 1u)
        << DescribeLog(log);
}

TEST_F(HandlersTest, UrlAnswerOfAnIntegerArgument) {
    StartServing();
    uint32_t hwnd = BindBrowserWindow(7);
    Answer("ReturnUrlList", "7", urlAnswer.get());
    std::u16string text = U16(Hex(hwnd) + ";7");
    EXPECT_EQ(urlBlock.Units(2 * text.size()), text);
    EXPECT_EQ(urlBlock.LastFresh(), 60u);  // "ReturnUrlList" + 1 + 16 units
}

TEST_F(HandlersTest, UrlBlockSizeEdges) {
    StartServing();
    BindBrowserWindow(7);
    // Argument size 24984: 25000 units, 50000 bytes.
    Answer("ReturnUrlList", "\"7;" + std::string(24983 - 2, 'a') + "\"", urlAnswer.get());
    EXPECT_EQ(urlBlock.Bytes()[49999], 0);
    EXPECT_EQ(urlBlock.FirstFresh(50000), 100000u);
    // Argument size 24985: over 50000 bytes, so 50000 units, 100000 bytes.
    Answer("ReturnUrlList", "\"7;" + std::string(24984 - 2, 'b') + "\"", urlAnswer.get());
    EXPECT_EQ(urlBlock.Bytes()[99999], 0);
    EXPECT_EQ(urlBlock.Bytes()[99998], 0);
    // A text of 50000 units or more is cut to 49999 and terminated.
    Answer("ReturnUrlList", "\"7;" + std::string(60000, 'c') + "\"", urlAnswer.get());
    std::u16string units = urlBlock.Units(100000);
    EXPECT_EQ(units[49998], u'c');
    EXPECT_EQ(units[49999], u'\0');
}

TEST_F(HandlersTest, DevtoolsBlockEdges) {
    StartServing();
    uint32_t hwnd = BindBrowserWindow(7);
    std::string prefix = Hex(hwnd) + ";7;";
    // 129 units: terminated inside the block.
    Answer("ReturnCheckDevtools", "\"7;" + std::string(129 - prefix.size(), 'x') + "\"", devtoolAnswer.get());
    std::u16string units = devtoolBlock.Units(260);
    EXPECT_EQ(units.substr(0, prefix.size()), U16(prefix));
    EXPECT_EQ(units[128], u'x');
    EXPECT_EQ(units[129], u'\0');
    // 130 units or more: all 260 bytes, no terminator.
    Answer("ReturnCheckDevtools", "\"7;" + std::string(200, 'y') + "\"", devtoolAnswer.get());
    units = devtoolBlock.Units(260);
    EXPECT_EQ(units[129], u'y');
    // A short answer leaves nothing of the longer one behind it.
    Answer("ReturnCheckDevtools", "\"7;1\"", devtoolAnswer.get());
    units = devtoolBlock.Units(260);
    EXPECT_EQ(units, U16(prefix + "1") + std::u16string(130 - prefix.size() - 1, u'\0'));
}

TEST_F(HandlersTest, UnknownWindowIdIsAnsweredWithHandleZero) {
    StartServing();
    Answer("ReturnUrlList", "\"99;x\"", urlAnswer.get());
    EXPECT_EQ(urlBlock.Units(16), U16("0;99;x") + u'\0' + u'\0');
    Answer("ReturnCheckDevtools", "\"\"", devtoolAnswer.get());
    EXPECT_EQ(devtoolBlock.Units(6), U16("0;") + u'\0');
    Answer("ReturnUrlList", "\" 12abc;x\"", urlAnswer.get());  // read as _wtoi reads " 12abc": 12
    EXPECT_EQ(urlBlock.Units(22), U16("0; 12abc;x") + u'\0');
}

TEST_F(HandlersTest, AnswerWithoutABindingOrAQuestionStillSignals) {
    StartServing();
    Answer("returncheckdevtools", "\"5;0\"", devtoolAnswer.get());
    EXPECT_EQ(WaitForSingleObject(devtoolAnswer.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST_F(HandlersTest, FindHandleIgnoresIdZeroAndStrings) {
    StartServing();
    ASSERT_TRUE(host.SendFrame(Request("FindHandle", "0")));
    ASSERT_TRUE(host.SendFrame(Request("FindHandle", "\"12\"")));
    Sync();
    Answer("ReturnUrlList", "\"12;x\"", urlAnswer.get());
    EXPECT_EQ(urlBlock.Units(8), U16("0;12"));
    EXPECT_TRUE(MessagesStartingWith(Log(), 0, "[FindHandle]").empty());
}

using MissingBlocksTest = AgentTest;

TEST_F(MissingBlocksTest, MissingAndUndersizedMappings) {
    StartServing(kChromeParent);

    ASSERT_TRUE(host.SendFrame(Request("ReturnUrlList", "\"1;a\"")));
    ASSERT_TRUE(host.SendFrame(Request("ReturnCheckDevtools", "\"1;a\"")));
    // A block smaller than the view: views are page-rounded, so it takes an
    // answer of more than one page to miss it.
    Block small;
    Sync();
    ASSERT_TRUE(small.Create(g_ChromeProfile.lpszUrlResultBlock, 16));
    ASSERT_TRUE(host.SendFrame(Request("ReturnUrlList", "\"1;" + std::string(3000, 'a') + "\"")));
    Sync();

    EXPECT_EQ(WaitForSingleObject(urlAnswer.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(WaitForSingleObject(devtoolAnswer.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(small.FirstFresh(0), 16u);
    HostExit exit = host.Finish();
    EXPECT_TRUE(EndedWithReplies(exit, 1));
    HostLog log = Log();
    EXPECT_EQ(Messages(log, 2), (std::vector<std::string>{"Parse Error!!", " GETFRAMEURL_LIST OPENFILEMAP FAILED (2)",
                                                           " GETFRAMEURL_DEVTOOL OPENFILEMAP FAILED ", "Parse Error!!",
                                                           "Parse Error!!", "Request data length is 0"}))
        << DescribeLog(log);
}

TEST_F(MissingBlocksTest, EdgeNames) {
    Block url, devtools;
    ASSERT_TRUE(url.Create(g_EdgeProfile.lpszUrlResultBlock, URL_RESULT_BLOCK_BYTES));
    ASSERT_TRUE(devtools.Create(g_EdgeProfile.lpszDevtoolResultBlock, DEVTOOL_RESULT_BLOCK_BYTES));
    StartServing({"msedge"}, g_EdgeProfile);
    Answer("ReturnUrlList", "\"4;u\"", urlAnswer.get());
    Answer("ReturnCheckDevtools", "\"4;1\"", devtoolAnswer.get());
    EXPECT_EQ(url.Units(12), U16("0;4;u") + u'\0');
    EXPECT_EQ(devtools.Units(12), U16("0;4;1") + u'\0');
}

#if !defined(_WIN32)
// Window layouts of the simulated desktop, front to back.
class LayoutTest : public HandlersTest {
protected:
    void Layout(const std::vector<DesktopWindow>& windows) {
        DesktopClear();
        for (const DesktopWindow& window : windows) ASSERT_TRUE(DesktopAddWindow(window, false));
    }
    static DesktopWindow Window(uint32_t hwnd, const std::u16string& cls, bool visible = true,
                                uint32_t style = WS_OVERLAPPEDWINDOW) {
        DesktopWindow w;
        w.hwnd = hwnd;
        w.className = cls;
        w.visible = visible;
        w.style = style | (visible ? WS_VISIBLE : 0);
        return w;
    }
    // The HWND that FindHandle binds to id in the current layout (0: none).
    std::string BoundBy(int id) {
        EXPECT_TRUE(host.SendFrame(Request("FindHandle", std::to_string(id))));
        Answer("ReturnUrlList", "\"" + std::to_string(id) + ";\"", urlAnswer.get());
        std::u16string units = urlBlock.Units(20);
        return std::string(units.begin(), units.begin() + static_cast<long>(units.find(u';')));
    }
};

TEST_F(LayoutTest, WhichWindowFindHandleBinds) {
    AgentTest::StartServing(kChromeParent);

    Layout({Window(0x10, u"Chrome_WidgetWin_1", false), Window(0x11, u"Chrome_WidgetWin_1")});
    EXPECT_EQ(BoundBy(1), "11");  // the hidden one is passed over
    Layout({Window(0x20, u"Chrome_WidgetWin_1", true, 0), Window(0x21, u"Chrome_WidgetWin_0")});
    EXPECT_EQ(BoundBy(2), "21");  // no system menu: passed over
    Layout({Window(0x30, u"Notepad"), Window(0x31, u"Chrom"), Window(0x32, u"chrome_x")});
    EXPECT_EQ(BoundBy(3), "32");  // any case of the six letters
    Layout({Window(0x40, u"Chrome_WidgetWin_1"), Window(0x41, u"Chrome_WidgetWin_1")});
    EXPECT_EQ(BoundBy(4), "40");  // the front one
    Layout({Window(0x50, u"Notepad"), Window(0x51, u"Chrome_RenderWidgetHostHWND", false)});
    EXPECT_EQ(BoundBy(5), "0");   // nothing qualifies: nothing bound
    // An id bound to another window keeps it: the log names that window.
    Layout({Window(0x60, u"Chrome_WidgetWin_1")});
    EXPECT_EQ(BoundBy(4), "40");
    HostLog log = Log();
    EXPECT_EQ(CountMessage(log, 0, "[FindHandle] Insert & Find Map for HWND & WINDOW ID : [4:40] "), 2u)
        << DescribeLog(log);
    EXPECT_TRUE(MessagesStartingWith(log, 0, "[FindHandle] Insert & Find Map for HWND & WINDOW ID : [5:").empty());
    DesktopClear();
}
#endif

}  // namespace
