// Tests of the socket service: lifetime and its log lines, the debug log and
// its file mirror, the route tables and the dispatcher on the message window,
// lookups routed to their owner, the error descriptions and the conversions.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "net/service/mod_socket_kit.h"
#include "net/service/service_testing.h"
#include "platform/platform_testing.h"
#include "platform/vb_error.h"
#include "tests/platform_support.h"
#include "ui/socket_log_box.h"
#include "ui/text_box.h"

namespace ks = modSocketKit;
using namespace std::chrono;

namespace {

class RecordingBox : public ITextBox {
public:
    std::string Text() const override {
        ++textReads;
        return text;
    }
    void SetText(std::string_view t) override {
        ++textWrites;
        text = t;
    }
    void AppendText(std::string_view t) override {
        text += t;
        ops.push_back("append");
    }
    void MoveCaretToEnd() override { ops.push_back("caret"); }
    void PostLineScroll(int columns, int lines) override {
        ops.push_back("scroll " + std::to_string(columns) + " " + std::to_string(lines));
    }
    bool Visible() const override { return true; }
    void SetVisible(bool) override {}

    // The lines written below the caption.
    std::vector<std::string> Lines() const {
        std::vector<std::string> out;
        size_t pos = text.find("\r\n");
        while (pos != std::string::npos) {
            size_t next = text.find("\r\n", pos + 2);
            out.push_back(text.substr(pos + 2, next == std::string::npos ? std::string::npos : next - pos - 2));
            pos = next;
        }
        return out;
    }

    std::string text = "Winsock Debug Log";
    std::vector<std::string> ops;
    mutable int textReads = 0;
    int textWrites = 0;
};

struct Call {
    win::UINT msg;
    win::WPARAM wParam;
    win::LPARAM lParam;
};

class TestOwner : public ISocketOwner {
public:
    win::LRESULT WndProc(win::HWND, win::UINT uMsg, win::WPARAM wParam, win::LPARAM lParam) override {
        calls.push_back({uMsg, wParam, lParam});
        return result;
    }
    std::vector<Call> calls;
    win::LRESULT result = 0;
};

std::vector<Call> g_previous;
win::LRESULT PreviousProc(win::HWND, win::UINT msg, win::WPARAM wParam, win::LPARAM lParam) {
    g_previous.push_back({msg, wParam, lParam});
    return 77;
}

using ptest::PumpUntil;

class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(ks::ServiceUserCount(), 0);
        ASSERT_FALSE(ks::testing::ServiceStarted());
        ks::SetSocketLogSink(&sink);
    }
    void TearDown() override {
        ks::SetSocketLogSink(nullptr);
        win::testing::SetInitialWindowProc(nullptr);
        g_previous.clear();
    }
    static std::string Num(int32_t v) { return std::to_string(v); }
    RecordingBox box;
    SocketLogBox sink{box};
};

void ExpectVbError(const std::function<void()>& f, int32_t number, const std::string& source,
                   const std::string& description) {
    try {
        f();
        ADD_FAILURE() << "no error raised";
    } catch (const VbError& e) {
        EXPECT_EQ(e.Number, number);
        EXPECT_EQ(e.Source, source);
        EXPECT_EQ(e.Description, description);
    }
}

// ---- lifetime ----

TEST_F(ServiceTest, LifecycleOfOneUserWithOneSocket) {
    ks::InitiateProcesses();
    int32_t block = ks::testing::DispatcherAddress();
    EXPECT_NE(block, 0);
    win::SOCKET s = win::socket(win::AF_INET_WS, win::SOCK_STREAM_WS, win::IPPROTO_TCP_WS);
    TestOwner owner;
    EXPECT_TRUE(ks::RegisterSocket(s, &owner, true));
    win::HWND window = ks::MessageWindowHandle();
    EXPECT_EQ(win::GetWindowName(window), "SOCKET_WINDOW");
    EXPECT_TRUE(ks::IsSocketRegistered(s));
    ks::UnregisterSocket(s);
    win::closesocket(s);
    EXPECT_FALSE(ks::IsSocketRegistered(s));
    EXPECT_FALSE(win::IsWindow(window));
    ks::FinalizeProcesses();
    std::vector<std::string> expected = {
        "OK Subclass memory allocated at: " + Num(block),
        "OK Winsock service initiated",
        "OK Created socket collection",
        "OK Created winsock message window " + Num(window),
        "OK Registered events from socket " + Num(s),
        "OK Destroyed winsock message window " + Num(window),
        "OK Destroyed socket collection",
        "OK Winsock service finalized",
        "OK Freed subclass memory at: " + Num(block),
    };
    EXPECT_EQ(box.Lines(), expected);
    EXPECT_EQ(box.text.rfind("Winsock Debug Log\r\nOK Subclass", 0), 0u) << "first line below the caption";
    EXPECT_EQ(ks::testing::DispatcherAddress(), 0);
    EXPECT_EQ(ks::ServiceUserCount(), 0);
}

TEST_F(ServiceTest, TwoUsersStartAndStopTheInterfaceOnce) {
    ks::InitiateProcesses();
    int32_t block = ks::testing::DispatcherAddress();
    ks::InitiateProcesses();
    EXPECT_EQ(ks::ServiceUserCount(), 2);
    ks::FinalizeProcesses();
    EXPECT_EQ(box.Lines().size(), 2u) << "the first of two users leaves quietly";
    EXPECT_TRUE(ks::testing::ServiceStarted());
    ks::FinalizeProcesses();
    std::vector<std::string> expected = {
        "OK Subclass memory allocated at: " + Num(block), "OK Winsock service initiated",
        "OK Winsock service finalized", "OK Freed subclass memory at: " + Num(block)};
    EXPECT_EQ(box.Lines(), expected);
    // WSAStartup and WSACleanup were balanced: one more cleanup has nothing to stop.
    EXPECT_EQ(win::WSACleanup(), -1);
    EXPECT_EQ(win::WSAGetLastError(), 10093);
    // A new block gets a new identifier.
    ks::InitiateProcesses();
    EXPECT_NE(ks::testing::DispatcherAddress(), block);
    ks::FinalizeProcesses();
}

TEST_F(ServiceTest, FailedStartupIsNotRetried) {
    win::testing::FailNextWSAStartup(10091);
    ExpectVbError([] { ks::InitiateProcesses(); }, 10091, "modSocketKit.InitiateProcesses",
                  "Network subsystem is unavailable.");
    ASSERT_EQ(box.Lines().size(), 2u);
    EXPECT_EQ(box.Lines()[1], "ERROR trying to initiate winsock service");
    EXPECT_EQ(ks::ServiceUserCount(), 1);
    ks::InitiateProcesses();  // no error, no line
    EXPECT_EQ(box.Lines().size(), 2u);
    ks::FinalizeProcesses();
    // The last user still calls WSACleanup, which has no started interface to stop.
    ExpectVbError([] { ks::FinalizeProcesses(); }, 10093, "modSocketKit.FinalizeProcesses",
                  "Successful WSAStartup not yet performed.");
    EXPECT_TRUE(ks::testing::ServiceStarted());
    EXPECT_NE(ks::testing::DispatcherAddress(), 0);
    // Bring the service back to rest for the other tests.
    win::WSADATA data;
    ASSERT_EQ(win::WSAStartup(0x0101, &data), 0);
    ks::InitiateProcesses();
    ks::FinalizeProcesses();
    EXPECT_FALSE(ks::testing::ServiceStarted());
}

TEST_F(ServiceTest, FailedCleanupKeepsTheBlock) {
    ks::InitiateProcesses();
    win::testing::FailNextWSACleanup(10050);
    ExpectVbError([] { ks::FinalizeProcesses(); }, 10050, "modSocketKit.FinalizeProcesses", "Network is down.");
    EXPECT_EQ(box.Lines().size(), 2u);
    EXPECT_TRUE(ks::testing::ServiceStarted());
    EXPECT_NE(ks::testing::DispatcherAddress(), 0);
    ks::InitiateProcesses();
    ks::FinalizeProcesses();
    EXPECT_EQ(box.Lines().back().rfind("OK Freed subclass memory at: ", 0), 0u);
}

// ---- the debug log ----

TEST_F(ServiceTest, LogLinesAppendWithoutCopyingTheBox) {
    ks::WriteSocketLog("first");
    ks::WriteSocketLog("second", ks::LogScroll::TwoLines);
    EXPECT_EQ(box.text, "Winsock Debug Log\r\nfirst\r\nsecond");
    std::vector<std::string> ops = {"append", "caret", "append", "scroll 0 2"};
    EXPECT_EQ(box.ops, ops);
    EXPECT_EQ(box.textReads, 0);
    EXPECT_EQ(box.textWrites, 0);
}

TEST_F(ServiceTest, LogLinesGoToTheInstalledSinkInOrderWithTheirScrollForm) {
    struct RecordingSink : ks::ISocketLogSink {
        std::vector<std::string> lines;
        void WriteLine(const std::string& line, ks::LogScroll scroll) override {
            lines.push_back(line + (scroll == ks::LogScroll::Caret ? " [caret]" : " [two lines]"));
        }
    } other;
    ks::SetSocketLogSink(&other);
    EXPECT_EQ(ks::SocketLogSink(), &other);
    ks::InitiateProcesses();
    ks::WriteSocketLog("plain");
    ks::WriteSocketLog("scrolled", ks::LogScroll::TwoLines);
    ks::FinalizeProcesses();
    ks::SetSocketLogSink(&sink);
    ASSERT_EQ(other.lines.size(), 6u);
    EXPECT_EQ(other.lines[0].rfind("OK Subclass memory allocated at: ", 0), 0u);
    EXPECT_EQ(other.lines[1], "OK Winsock service initiated [caret]");
    EXPECT_EQ(other.lines[2], "plain [caret]");
    EXPECT_EQ(other.lines[3], "scrolled [two lines]");
    EXPECT_EQ(other.lines[4], "OK Winsock service finalized [caret]");
    EXPECT_EQ(other.lines[5].rfind("OK Freed subclass memory at: ", 0), 0u);
    EXPECT_EQ(box.text, "Winsock Debug Log") << "only the installed sink gets the lines";
}

TEST_F(ServiceTest, LogMirrorFile) {
    char path[] = "/tmp/varnel-socket-log-XXXXXX";
    int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    ::close(fd);
    ::setenv("VARNEL_SOCKET_LOG", path, 1);
    ks::testing::ReopenLogMirror();
    ks::WriteSocketLog("one");
    ks::SetSocketLogSink(nullptr);
    ks::WriteSocketLog("two", ks::LogScroll::TwoLines);  // no sink: the mirror only
    ks::SetSocketLogSink(&sink);
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    EXPECT_EQ(content.str(), "one\ntwo\n");
    EXPECT_EQ(box.text, "Winsock Debug Log\r\none");
    ::unlink(path);

    ::setenv("VARNEL_SOCKET_LOG", "/nonexistent-dir/varnel/socket.log", 1);
    ks::testing::ReopenLogMirror();
    ks::WriteSocketLog("three");  // an unwritable path is ignored
    EXPECT_EQ(box.Lines().back(), "three");
    ::unsetenv("VARNEL_SOCKET_LOG");
    ks::testing::ReopenLogMirror();
}

// ---- registry and routing ----

TEST_F(ServiceTest, DuplicateRegistrationWarnsKeepsTheFirstOwnerAndFails) {
    ks::InitiateProcesses();
    TestOwner a, b;
    ks::RegisterSocket(1001, &a, false);
    ExpectVbError([&] { ks::RegisterSocket(1001, &b, false); }, 457, "modSocketKit.RegisterSocket",
                  "This key is already associated with an element of this collection");
    EXPECT_EQ(box.Lines().back(), "WARNING: Socket already registered!");
    EXPECT_EQ(ks::SocketRouteCount(), 1);
    ks::RouteMessage(ks::MessageWindowHandle(), ks::SOCKET_MESSAGE, 1001, win::FD_READ);
    EXPECT_EQ(a.calls.size(), 1u);
    EXPECT_TRUE(b.calls.empty());
    ks::UnregisterSocket(1001);
    ks::FinalizeProcesses();
}

TEST_F(ServiceTest, FreedSlotsAreReused) {
    ks::InitiateProcesses();
    TestOwner a, b, c;
    ks::RegisterSocket(1001, &a, false);
    ks::RegisterSocket(1002, &b, false);
    ks::UnregisterSocket(1001);
    EXPECT_EQ(ks::SocketRouteCount(), 2);
    EXPECT_NE(ks::MessageWindowHandle(), 0) << "one socket is still registered";
    ks::RegisterSocket(1003, &c, false);
    EXPECT_EQ(ks::SocketRouteCount(), 2);
    EXPECT_EQ(ks::testing::LiveSocketRoutes(), 2);
    EXPECT_EQ(ks::RouteMessage(ks::MessageWindowHandle(), ks::SOCKET_MESSAGE, 1003, 0), 0);
    EXPECT_EQ(c.calls.size(), 1u);
    // A free slot met before the equal handle takes the entry: no warning.
    ks::UnregisterSocket(1003);
    size_t before = box.Lines().size();
    EXPECT_THROW(ks::RegisterSocket(1002, &c, false), VbError);
    EXPECT_EQ(box.Lines().size(), before);
    ks::ChangeSocketOwner(1002, &a);
    ks::RouteMessage(ks::MessageWindowHandle(), ks::SOCKET_MESSAGE, 1002, 0);
    EXPECT_EQ(a.calls.size(), 1u);
    ks::UnregisterSocket(1002);
    ks::UnregisterSocket(1002);
    EXPECT_EQ(ks::MessageWindowHandle(), 0);
    ks::FinalizeProcesses();
}

TEST_F(ServiceTest, UnmatchedMessagesGoToThePreviousProcedure) {
    win::testing::SetInitialWindowProc(&PreviousProc);
    ks::InitiateProcesses();
    TestOwner owner;
    ks::RegisterSocket(1001, &owner, false);
    win::HWND window = ks::MessageWindowHandle();
    EXPECT_EQ(win::GetWindowLongA(window, win::GWL_WNDPROC), &ks::RouteMessage);
    owner.result = 5;
    win::PostMessageA(window, ks::SOCKET_MESSAGE, 1001, 1);
    win::PostMessageA(window, ks::SOCKET_MESSAGE, 4242, 1);
    win::PostMessageA(window, ks::RESOLVE_MESSAGE, 4242, 0);
    win::PostMessageA(window, 0x400, 1001, 0);
    win::DoEvents();
    ASSERT_EQ(owner.calls.size(), 1u);
    ASSERT_EQ(g_previous.size(), 3u);
    EXPECT_EQ(g_previous[0].wParam, 4242);
    EXPECT_EQ(g_previous[2].msg, 0x400u);
    EXPECT_EQ(ks::RouteMessage(window, ks::SOCKET_MESSAGE, 4242, 0), 77);
    EXPECT_EQ(ks::RouteMessage(window, ks::SOCKET_MESSAGE, 1001, 0), 5);
    // The last socket takes the dispatcher off, restoring the previous procedure first.
    win::testing::FailNextDestroyWindow();
    ks::UnregisterSocket(1001);
    EXPECT_TRUE(win::IsWindow(window)) << "a window that cannot be destroyed stays";
    EXPECT_EQ(win::GetWindowLongA(window, win::GWL_WNDPROC), &PreviousProc);
    EXPECT_EQ(box.Lines().back(), "OK Destroyed socket collection");
    EXPECT_EQ(ks::DestroyWinsockMessageWindow(), 0);
    EXPECT_FALSE(win::IsWindow(window));
    ks::FinalizeProcesses();
}

TEST_F(ServiceTest, WindowGoesWithTheLastSocketAndComesBack) {
    EXPECT_FALSE(ks::IsSocketRegistered(1001));
    EXPECT_EQ(ks::DestroyWinsockMessageWindow(), 0);
    EXPECT_EQ(box.Lines().back(), "WARNING lngWindowHandle is ZERO");
    ks::InitiateProcesses();
    TestOwner owner;
    ks::RegisterSocket(1001, &owner, false);
    win::HWND first = ks::MessageWindowHandle();
    box.text = "Winsock Debug Log";
    ks::UnregisterSocket(1001);
    std::vector<std::string> gone = {"OK Destroyed winsock message window " + Num(first),
                                     "OK Destroyed socket collection"};
    EXPECT_EQ(box.Lines(), gone);
    EXPECT_EQ(ks::SocketRouteCount(), 0);
    box.text = "Winsock Debug Log";
    ks::RegisterSocket(1002, &owner, false);
    win::HWND second = ks::MessageWindowHandle();
    EXPECT_NE(second, first);
    std::vector<std::string> back = {"OK Created socket collection",
                                     "OK Created winsock message window " + Num(second)};
    EXPECT_EQ(box.Lines(), back);
    ks::UnregisterSocket(1002);
    ks::FinalizeProcesses();
}

TEST_F(ServiceTest, WindowThatCannotBeCreated) {
    ks::InitiateProcesses();
    TestOwner owner;
    win::testing::FailNextCreateWindow();
    ExpectVbError([&] { ks::RegisterSocket(1001, &owner, true); }, 7, "modSocketKit.RegisterSocket",
                  "Out of memory");
    EXPECT_EQ(box.Lines().back(), "OK Created socket collection");
    // The collection exists, so the window is not retried; selecting events then fails.
    win::SOCKET s = win::socket(win::AF_INET_WS, win::SOCK_DGRAM_WS, win::IPPROTO_UDP_WS);
    ExpectVbError([&] { ks::RegisterSocket(s, &owner, true); }, 10022, "modSocketKit.RegisterSocket",
                  "Invalid argument.");
    EXPECT_EQ(box.Lines().back(), "ERROR trying to register events from socket " + Num(s));
    EXPECT_EQ(ks::SocketRouteCount(), 1) << "the route added before the failure stays";
    ks::UnregisterSocket(s);
    win::closesocket(s);
    EXPECT_EQ(box.Lines().back(), "OK Destroyed socket collection");
    ks::FinalizeProcesses();
}

TEST_F(ServiceTest, NotificationsAndLookupsReachTheirOwners) {
    ks::InitiateProcesses();
    TestOwner owner, resolver, cancelled;
    win::SOCKET s = win::socket(win::AF_INET_WS, win::SOCK_DGRAM_WS, win::IPPROTO_UDP_WS);
    ks::RegisterSocket(s, &owner, true);
    ASSERT_TRUE(PumpUntil([&] { return !owner.calls.empty(); }));
    EXPECT_EQ(owner.calls[0].wParam, s);
    EXPECT_EQ(ks::LoWord(owner.calls[0].lParam), win::FD_WRITE);

    std::vector<char> block(1024, 0), other(1024, 0x5A);
    win::HANDLE h = ks::ResolveHostAsync("localhost", block.data(), &resolver);
    win::HANDLE dropped = ks::ResolveHostAsync("localhost", other.data(), &cancelled);
    ASSERT_NE(h, 0);
    ASSERT_NE(dropped, 0);
    EXPECT_EQ(ks::testing::LiveResolutionRoutes(), 2);
    win::WSACancelAsyncRequest(dropped);
    ks::UnregisterResolution(dropped);
    ASSERT_TRUE(PumpUntil([&] { return !resolver.calls.empty(); }));
    win::Sleep(50);
    win::DoEvents();
    ASSERT_EQ(resolver.calls.size(), 1u);
    EXPECT_EQ(resolver.calls[0].msg, ks::RESOLVE_MESSAGE);
    EXPECT_EQ(resolver.calls[0].wParam, h);
    EXPECT_EQ(ks::HiWord(resolver.calls[0].lParam), 0);
    uint32_t address = 0;
    ASSERT_TRUE(win::FirstHostAddress(block.data(), &address));
    EXPECT_EQ(address, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(ks::testing::LiveResolutionRoutes(), 0) << "a handled lookup's route goes";
    EXPECT_TRUE(cancelled.calls.empty());
    EXPECT_EQ(std::count(other.begin(), other.end(), 0x5A), 1024);

    ks::UnregisterSocket(s);
    win::closesocket(s);
    ks::FinalizeProcesses();
}

// ---- error descriptions and conversions ----

TEST(ErrorDescriptions, TheFortyCodesAndEverythingElse) {
    const std::pair<int32_t, const char*> table[] = {
        {10004, "Interrupted function call."}, {10013, "Permission denied."}, {10014, "Bad address."},
        {10022, "Invalid argument."}, {10024, "Too many open files."},
        {10035, "Resource temporarily unavailable."}, {10036, "Operation now in progress."},
        {10037, "Operation already in progress."}, {10038, "Socket operation on nonsocket."},
        {10039, "Destination address required."}, {10040, "Message too long."},
        {10041, "Protocol wrong type for socket."}, {10042, "Bad protocol option."},
        {10043, "Protocol not supported."}, {10044, "Socket type not supported."},
        {10045, "Operation not supported."}, {10046, "Protocol family not supported."},
        {10047, "Address family not supported by protocol family."}, {10048, "Address already in use."},
        {10049, "Cannot assign requested address."}, {10050, "Network is down."},
        {10051, "Network is unreachable."}, {10052, "Network dropped connection on reset."},
        {10053, "Software caused connection abort."}, {10054, "Connection reset by peer."},
        {10055, "No buffer space available."}, {10056, "Socket is already connected."},
        {10057, "Socket is not connected."}, {10058, "Cannot send after socket shutdown."},
        {10060, "Connection timed out."}, {10061, "Connection refused."}, {10065, "No route to host."},
        {10067, "Too many processes."}, {10091, "Network subsystem is unavailable."},
        {10092, "Winsock.dll version out of range."}, {10093, "Successful WSAStartup not yet performed."},
        {11001, "Host not found."}, {11002, "Nonauthoritative host not found."},
        {11003, "This is a nonrecoverable error."}, {11004, "Valid name, no data record of requested type."}};
    EXPECT_EQ(std::size(table), 40u);
    int known = 0;
    for (int32_t code = 10000; code <= 11010; ++code) {
        std::string d = ks::GetErrorDescription(code);
        if (d != "Unknown error.") ++known;
    }
    EXPECT_EQ(known, 40) << "no other code in the ranges has a description";
    for (auto& [code, text] : table) EXPECT_EQ(ks::GetErrorDescription(code), text) << code;
    for (int32_t code : {10059, 10062, 10064, 11000, 11005, 0, -1, 7, 2147483647})
        EXPECT_EQ(ks::GetErrorDescription(code), "Unknown error.") << code;
}

TEST(Conversions, WordsAndSixteenBitValues) {
    EXPECT_EQ(ks::HiWord(0x12345678), 0x1234);
    EXPECT_EQ(ks::LoWord(0x12345678), 0x5678);
    EXPECT_EQ(ks::HiWord(-1), 65535);
    EXPECT_EQ(ks::LoWord(-1), 65535);
    EXPECT_EQ(ks::HiWord(10061 << 16 | 16), 10061);
    EXPECT_EQ(ks::IntegerToUnsigned(-1), 65535);
    EXPECT_EQ(ks::IntegerToUnsigned(-32768), 32768);
    EXPECT_EQ(ks::IntegerToUnsigned(23), 23);
    EXPECT_EQ(ks::UnsignedToInteger(65535), -1);
    EXPECT_EQ(ks::UnsignedToInteger(32768), -32768);
    EXPECT_EQ(ks::UnsignedToInteger(32767), 32767);
    EXPECT_EQ(ks::UnsignedToInteger(0), 0);
    ExpectVbError([] { ks::UnsignedToInteger(65536); }, 6, "modSocketKit.UnsignedToInteger", "Overflow");
    ExpectVbError([] { ks::UnsignedToInteger(-1); }, 6, "modSocketKit.UnsignedToInteger", "Overflow");
    EXPECT_EQ(ks::StringFromPointer(nullptr), "");
    EXPECT_EQ(ks::StringFromPointer("127.0.0.1"), "127.0.0.1");
}

}  // namespace
