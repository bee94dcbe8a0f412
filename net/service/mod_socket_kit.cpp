// modSocketKit: the service's lifetime, the socket debug log, and the registry
// with its routing (the accept collection lives in accept_collection.cpp,
// next to the socket object it creates).
#include "net/service/mod_socket_kit.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "net/service/service_testing.h"
#include "platform/os.h"
#include "platform/vb_error.h"

namespace modSocketKit {
namespace {

// The dispatcher's block: on the original platform 182 bytes of generated
// code; here a routing function over the tables below, so the block only
// carries its identifier. Identifiers are handed out in sequence and never
// reused, so the allocation and freeing lines of one block print one value.
constexpr size_t kDispatcherSize = 182;
struct DispatcherBlock {
    int32_t identifier;
    unsigned char memory[kDispatcherSize];
};
int32_t g_nextBlockIdentifier = 0x00010000;

struct RouteTable {
    std::vector<int32_t> handles;        // -1 marks a free slot
    std::vector<ISocketOwner*> owners;   // nullptr in a free slot
    int32_t count = 0;

    void Reset() {
        handles.clear();
        owners.clear();
        count = 0;
    }
};

struct State {
    int32_t users = 0;
    bool started = false;
    win::HWND window = 0;
    std::unique_ptr<DispatcherBlock> dispatcher;
    int32_t dispatcherAddress = 0;
    RouteTable socketRoutes;
    RouteTable resolutionRoutes;
    bool socketCollectionExists = false;
    std::unordered_map<std::string, ISocketOwner*> socketCollection;
    win::HWND hookedWindow = 0;
    win::WNDPROC previousProc = nullptr;
    // log sink and file mirror
    ISocketLogSink* sink = nullptr;
    bool mirrorOpened = false;
    int mirrorFd = -1;
};

State& St() {
    static State* state = new State;
    return *state;
}

std::string Key(win::SOCKET s) { return "S" + std::to_string(s); }

void AddRoute(RouteTable& t, int32_t handle, ISocketOwner* owner, const char* warning) {
    for (int32_t i = 0; i < t.count; ++i) {
        if (t.handles[i] == -1) {
            t.handles[i] = handle;
            t.owners[i] = owner;
            return;
        }
        if (t.handles[i] == handle) {
            WriteSocketLog(warning);
            return;
        }
    }
    ++t.count;
    t.handles.resize(t.count, -1);
    t.owners.resize(t.count, nullptr);
    t.handles[t.count - 1] = handle;
    t.owners[t.count - 1] = owner;
}

void RemoveRoute(RouteTable& t, int32_t handle) {
    for (int32_t i = 0; i < t.count; ++i) {
        if (t.handles[i] == handle) {
            t.handles[i] = -1;
            t.owners[i] = nullptr;
            return;
        }
    }
}

ISocketOwner* FindRoute(const RouteTable& t, int32_t handle) {
    for (int32_t i = 0; i < t.count; ++i) {
        if (t.handles[i] == handle) return t.owners[i];
    }
    return nullptr;
}

bool InstallDispatcher() {
    State& s = St();
    if (s.hookedWindow != 0) return false;
    s.hookedWindow = s.window;
    s.previousProc = win::GetWindowLongA(s.window, win::GWL_WNDPROC);
    win::SetWindowLongA(s.window, win::GWL_WNDPROC, &RouteMessage);
    return true;
}

bool RemoveDispatcher() {
    State& s = St();
    if (s.hookedWindow == 0) return false;
    s.socketRoutes.Reset();
    s.resolutionRoutes.Reset();
    win::SetWindowLongA(s.hookedWindow, win::GWL_WNDPROC, s.previousProc);
    s.hookedWindow = 0;
    return true;
}

void MirrorLine(const std::string& line) {
    State& s = St();
    if (!s.mirrorOpened) {
        s.mirrorOpened = true;
        const char* path = std::getenv("VARNEL_SOCKET_LOG");
        if (path != nullptr && *path != '\0')
        {
            // Opened without blocking, so a FIFO without a reader is skipped
            // instead of stopping the program; writes then block as usual.
            s.mirrorFd = os::OpenForAppend(path, /*clear=*/false, /*blocking=*/true, 0644);
        }
    }
    if (s.mirrorFd < 0) return;
    std::string out = line + "\n";
    const char* p = out.data();
    size_t left = out.size();
    while (left > 0) {
        ssize_t n = ::write(s.mirrorFd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;  // a path that cannot be written is ignored
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
}

}  // namespace

// ---- lifetime ----

int32_t InitiateProcesses() {
    State& s = St();
    ++s.users;
    if (s.started) return 0;
    s.dispatcher = std::make_unique<DispatcherBlock>();
    s.dispatcher->identifier = g_nextBlockIdentifier;
    g_nextBlockIdentifier += 0x100;
    s.dispatcherAddress = s.dispatcher->identifier;
    WriteSocketLog("OK Subclass memory allocated at: " + std::to_string(s.dispatcherAddress));
    s.started = true;
    win::WSADATA data{};
    int code = win::WSAStartup(0x0101, &data);
    if (code != 0) {
        WriteSocketLog("ERROR trying to initiate winsock service");
        throw VbError(code, "modSocketKit.InitiateProcesses", GetErrorDescription(code));
    }
    WriteSocketLog("OK Winsock service initiated");
    return 0;
}

int32_t FinalizeProcesses() {
    State& s = St();
    --s.users;
    if (!s.started || s.users != 0) return 0;
    if (win::WSACleanup() == -1) {
        int code = win::WSAGetLastError();
        throw VbError(code, "modSocketKit.FinalizeProcesses", GetErrorDescription(code));
    }
    WriteSocketLog("OK Winsock service finalized");
    RemoveDispatcher();
    int32_t freed = s.dispatcherAddress;
    s.dispatcher.reset();
    WriteSocketLog("OK Freed subclass memory at: " + std::to_string(freed));
    s.dispatcherAddress = 0;
    s.socketRoutes.Reset();
    s.resolutionRoutes.Reset();
    s.started = false;
    return 0;
}

int32_t CreateWinsockMessageWindow() {
    State& s = St();
    s.window = win::CreateWindowExA(0, "STATIC", "SOCKET_WINDOW");
    if (s.window == 0) return 7;
    WriteSocketLog("OK Created winsock message window " + std::to_string(s.window));
    return 0;
}

int32_t DestroyWinsockMessageWindow() {
    State& s = St();
    if (s.window == 0) {
        WriteSocketLog("WARNING lngWindowHandle is ZERO");
        return 0;
    }
    if (!win::DestroyWindow(s.window))
        throw VbError(7, "modSocketKit.DestroyWinsockMessageWindow", "Out of memory");
    WriteSocketLog("OK Destroyed winsock message window " + std::to_string(s.window));
    s.window = 0;
    return 0;
}

void WriteSocketLog(const std::string& line, LogScroll scroll) {
    MirrorLine(line);
    if (ISocketLogSink* sink = St().sink) sink->WriteLine(line, scroll);
}

void SetSocketLogSink(ISocketLogSink* sink) { St().sink = sink; }
ISocketLogSink* SocketLogSink() { return St().sink; }

// ---- registry and routing ----

bool RegisterSocket(win::SOCKET s, ISocketOwner* owner, bool selectEvents) {
    State& st = St();
    if (!st.socketCollectionExists) {
        st.socketCollectionExists = true;
        st.socketCollection.clear();
        WriteSocketLog("OK Created socket collection");
        if (CreateWinsockMessageWindow() != 0)
            throw VbError(7, "modSocketKit.RegisterSocket", "Out of memory");
        InstallDispatcher();
    }
    AddRoute(st.socketRoutes, s, owner, "WARNING: Socket already registered!");
    if (selectEvents) {
        if (win::WSAAsyncSelect(s, st.window, SOCKET_MESSAGE, SELECTED_EVENTS) == -1) {
            int code = win::WSAGetLastError();
            WriteSocketLog("ERROR trying to register events from socket " + std::to_string(s));
            throw VbError(code, "modSocketKit.RegisterSocket", GetErrorDescription(code));
        }
        WriteSocketLog("OK Registered events from socket " + std::to_string(s));
    }
    if (!st.socketCollection.emplace(Key(s), owner).second)
        throw VbError(457, "modSocketKit.RegisterSocket",
                      "This key is already associated with an element of this collection");
    return true;
}

void UnregisterSocket(win::SOCKET s) {
    State& st = St();
    RemoveRoute(st.socketRoutes, s);
    if (st.socketCollectionExists) st.socketCollection.erase(Key(s));
    if (!st.socketCollectionExists || st.socketCollection.empty()) {
        st.socketCollectionExists = false;
        st.socketCollection.clear();
        RemoveDispatcher();
        try {
            DestroyWinsockMessageWindow();
        } catch (const VbError&) {
            // UnregisterSocket never fails
        }
        WriteSocketLog("OK Destroyed socket collection");
    }
}

bool IsSocketRegistered(win::SOCKET s) {
    State& st = St();
    return st.socketCollectionExists && st.socketCollection.count(Key(s)) != 0;
}

win::HANDLE ResolveHostAsync(const std::string& host, char* block, ISocketOwner* owner) {
    State& st = St();
    win::HANDLE handle = win::WSAAsyncGetHostByName(st.window, RESOLVE_MESSAGE, host, block, 1024);
    if (handle != 0) AddRoute(st.resolutionRoutes, handle, owner, "WARNING: Async already registered!");
    return handle;
}

void UnregisterResolution(win::HANDLE handle) { RemoveRoute(St().resolutionRoutes, handle); }

void ChangeSocketOwner(win::SOCKET s, ISocketOwner* owner) {
    RouteTable& t = St().socketRoutes;
    for (int32_t i = 0; i < t.count; ++i) {
        if (t.handles[i] == s) {
            t.owners[i] = owner;
            return;
        }
    }
}

win::LRESULT RouteMessage(win::HWND hwnd, win::UINT uMsg, win::WPARAM wParam, win::LPARAM lParam) {
    State& st = St();
    if (uMsg == RESOLVE_MESSAGE) {
        if (ISocketOwner* owner = FindRoute(st.resolutionRoutes, wParam)) {
            win::LRESULT result = owner->WndProc(hwnd, uMsg, wParam, lParam);
            // The result has been handled: the route goes (lookup handles are never
            // reused, so this can only remove this lookup's own entry).
            RemoveRoute(St().resolutionRoutes, wParam);
            return result;
        }
    } else if (uMsg == SOCKET_MESSAGE) {
        if (ISocketOwner* owner = FindRoute(st.socketRoutes, wParam)) {
            return owner->WndProc(hwnd, uMsg, wParam, lParam);
        }
    }
    return win::CallWindowProcA(st.previousProc != nullptr ? st.previousProc : &win::DefWindowProcA, hwnd,
                                uMsg, wParam, lParam);
}

// ---- diagnostics ----

win::HWND MessageWindowHandle() { return St().window; }
int32_t SocketRouteCount() { return St().socketRoutes.count; }
int32_t ResolutionRouteCount() { return St().resolutionRoutes.count; }
int32_t ServiceUserCount() { return St().users; }

namespace testing {

bool ServiceStarted() { return St().started; }
int32_t DispatcherAddress() { return St().dispatcherAddress; }
bool DispatcherInstalled() { return St().hookedWindow != 0; }
int32_t LiveSocketRoutes() {
    const RouteTable& t = St().socketRoutes;
    int32_t n = 0;
    for (int32_t i = 0; i < t.count; ++i) n += t.handles[i] != -1 ? 1 : 0;
    return n;
}
int32_t LiveResolutionRoutes() {
    const RouteTable& t = St().resolutionRoutes;
    int32_t n = 0;
    for (int32_t i = 0; i < t.count; ++i) n += t.handles[i] != -1 ? 1 : 0;
    return n;
}
void ReopenLogMirror() {
    State& s = St();
    if (s.mirrorFd >= 0) ::close(s.mirrorFd);
    s.mirrorFd = -1;
    s.mirrorOpened = false;
}

}  // namespace testing

}  // namespace modSocketKit
