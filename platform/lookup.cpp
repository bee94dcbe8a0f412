// Host lookups: the blocking gethostbyname and the asynchronous
// WSAAsyncGetHostByName on one worker thread, the host-entry record both
// write, and the rule for the local host's own name.
//
// The worker never sees the caller's buffer: it builds the record in its own
// memory and posts it with the reply (loop inbox, under the inbox mutex). The
// program thread copies it into the caller's buffer just before dispatching
// the reply, and only if the request is still pending; a cancelled request is
// forgotten at once, so its reply is dropped and its buffer never written.
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/loop_internal.h"
#include "platform/winsock.h"

namespace win {
namespace {

struct Request {
    HWND hwnd;
    UINT msg;
    char* buffer;
    int length;
};

struct Job {
    int32_t handle;
    std::string name;
    int length;
    HWND hwnd;
    UINT msg;
};

struct Worker {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Job> jobs;
    bool started = false;
};

Worker& W() {
    static Worker* w = new Worker;  // never destroyed: the detached worker uses it until exit
    return *w;
}

// Program thread only.
std::unordered_map<int32_t, Request>& Pending() {
    static auto* pending = new std::unordered_map<int32_t, Request>;
    return *pending;
}
int32_t g_nextHandle = 1;

struct Answer {
    int error = 0;
    std::string name;
    std::vector<uint32_t> addresses;  // network order
};

bool IsOwnHostName(const std::string& name) {
    if (name.empty()) return true;
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) < 0) return false;
    return ::strcasecmp(host, name.c_str()) == 0;
}

std::vector<uint32_t> InterfaceAddresses() {
    std::vector<uint32_t> result;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) < 0) return result;
    for (ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
        if ((i->ifa_flags & IFF_UP) == 0 || (i->ifa_flags & IFF_LOOPBACK) != 0) continue;
        uint32_t a = reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr;
        if (std::find(result.begin(), result.end(), a) == result.end()) result.push_back(a);
    }
    ::freeifaddrs(list);
    return result;
}

Answer Resolve(const std::string& name) {
    Answer answer;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* list = nullptr;
    int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &list);
    if (rc != 0) {
        answer.error = WsaErrorFromGai(rc, errno);
        return answer;
    }
    answer.name = (list != nullptr && list->ai_canonname != nullptr) ? list->ai_canonname : name;
    for (addrinfo* i = list; i != nullptr; i = i->ai_next) {
        if (i->ai_family != AF_INET || i->ai_addr == nullptr) continue;
        uint32_t a = reinterpret_cast<sockaddr_in*>(i->ai_addr)->sin_addr.s_addr;
        if (std::find(answer.addresses.begin(), answer.addresses.end(), a) == answer.addresses.end())
            answer.addresses.push_back(a);
    }
    ::freeaddrinfo(list);
    if (answer.addresses.empty()) answer.error = 11004;
    return answer;
}

Answer Lookup(const std::string& name) {
    if (IsOwnHostName(name)) {
        char host[256] = {};
        ::gethostname(host, sizeof host - 1);
        Answer answer;
        answer.name = host;
        answer.addresses = InterfaceAddresses();
        if (!answer.addresses.empty()) return answer;
        Answer resolved = Resolve(host);
        if (resolved.error == 0) return resolved;
        answer.addresses.push_back(htonl(INADDR_LOOPBACK));
        return answer;
    }
    return Resolve(name);
}

uint32_t Align4(uint32_t v) { return (v + 3u) & ~3u; }

void Put32(std::vector<char>& buf, uint32_t offset, uint32_t value) {
    std::memcpy(buf.data() + offset, &value, 4);
}

// Lays out the record: HOSTENT_REC, the name, the (empty) alias list, the
// address list and the addresses. Returns 0 or 10055 when it does not fit.
int BuildRecord(const Answer& answer, int length, std::vector<char>& out) {
    const uint32_t size = static_cast<uint32_t>(length);
    const uint32_t header = sizeof(HOSTENT_REC);
    // Room for a name of at least one character, the alias terminator and one address.
    if (size < header + 4 + 4 + 8 + 4) return 10055;
    std::string name = answer.name;
    uint32_t maxName = size - (header + 4 + 4 + 8 + 4) - 4;
    if (name.size() > maxName) name.resize(maxName);
    uint32_t nameOffset = header;
    uint32_t aliasOffset = Align4(nameOffset + static_cast<uint32_t>(name.size()) + 1);
    uint32_t listOffset = aliasOffset + 4;
    uint32_t room = size - listOffset - 4;  // after the list's terminator
    uint32_t count = std::min<uint32_t>(static_cast<uint32_t>(answer.addresses.size()), room / 8);
    uint32_t dataOffset = listOffset + 4 * (count + 1);
    out.assign(size, 0);
    HOSTENT_REC rec{};
    rec.h_name_offset = nameOffset;
    rec.h_aliases_offset = aliasOffset;
    rec.h_addrtype = AF_INET_WS;
    rec.h_length = 4;
    rec.h_addr_list_offset = listOffset;
    std::memcpy(out.data(), &rec, sizeof rec);
    std::memcpy(out.data() + nameOffset, name.data(), name.size());
    Put32(out, aliasOffset, 0);
    for (uint32_t i = 0; i < count; ++i) {
        Put32(out, listOffset + 4 * i, dataOffset + 4 * i);
        Put32(out, dataOffset + 4 * i, answer.addresses[i]);
    }
    Put32(out, listOffset + 4 * count, 0);
    return 0;
}

void WorkerMain() {
    Worker& w = W();
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> lock(w.mutex);
            w.wake.wait(lock, [&] { return !w.jobs.empty(); });
            job = std::move(w.jobs.front());
            w.jobs.pop_front();
        }
        Answer answer = Lookup(job.name);
        std::vector<char> record;
        int error = answer.error;
        if (error == 0) error = BuildRecord(answer, job.length, record);
        if (error != 0) record.clear();
        detail::PostLookupReply(job.hwnd, job.msg, job.handle, error, std::move(record));
    }
}

}  // namespace

bool FirstHostAddress(const void* record, uint32_t* address) {
    if (record == nullptr || address == nullptr) return false;
    const char* base = static_cast<const char*>(record);
    HOSTENT_REC rec;
    std::memcpy(&rec, base, sizeof rec);
    if (rec.h_addr_list_offset == 0 || rec.h_length != 4) return false;
    uint32_t first;
    std::memcpy(&first, base + rec.h_addr_list_offset, 4);
    if (first == 0) return false;
    std::memcpy(address, base + first, 4);
    return true;
}

const HOSTENT_REC* gethostbyname(const std::string& name) {
    thread_local std::vector<char> storage;
    Answer answer = Lookup(name);
    int error = answer.error;
    if (error == 0) error = BuildRecord(answer, 1024, storage);
    if (error != 0) {
        WSASetLastError(error);
        return nullptr;
    }
    return reinterpret_cast<const HOSTENT_REC*>(storage.data());
}

HANDLE WSAAsyncGetHostByName(HWND hwnd, UINT msg, const std::string& name, char* buf, int buflen) {
    detail::LoopEpollFd();  // the loop belongs to the program thread
    if (buf == nullptr || buflen < static_cast<int>(sizeof(HOSTENT_REC))) {
        WSASetLastError(10014);
        return 0;
    }
    if (!IsWindow(hwnd)) {
        WSASetLastError(10022);
        return 0;
    }
    Worker& w = W();
    int32_t handle = g_nextHandle++;
    {
        std::lock_guard<std::mutex> lock(w.mutex);
        if (!w.started) {
            try {
                std::thread(WorkerMain).detach();
            } catch (...) {
                WSASetLastError(10055);
                return 0;
            }
            w.started = true;
        }
        w.jobs.push_back(Job{handle, name, buflen, hwnd, msg});
    }
    Pending()[handle] = Request{hwnd, msg, buf, buflen};
    w.wake.notify_one();
    return handle;
}

int WSACancelAsyncRequest(HANDLE asyncTaskHandle) {
    auto& pending = Pending();
    auto it = pending.find(asyncTaskHandle);
    if (it == pending.end()) {
        WSASetLastError(asyncTaskHandle > 0 && asyncTaskHandle < g_nextHandle ? 10037 : 10022);
        return SOCKET_ERROR;
    }
    pending.erase(it);
    Worker& w = W();
    std::lock_guard<std::mutex> lock(w.mutex);
    w.jobs.erase(std::remove_if(w.jobs.begin(), w.jobs.end(),
                                [&](const Job& j) { return j.handle == asyncTaskHandle; }),
                 w.jobs.end());
    return 0;
}

namespace detail {

bool DeliverLookup(int32_t handle, int32_t error, const std::vector<char>& record) {
    auto& pending = Pending();
    auto it = pending.find(handle);
    if (it == pending.end()) return false;
    if (error == 0 && !record.empty()) {
        size_t n = std::min(record.size(), static_cast<size_t>(it->second.length));
        std::memcpy(it->second.buffer, record.data(), n);
    }
    pending.erase(it);
    return true;
}

void ForgetLookup(int32_t handle) { Pending().erase(handle); }

}  // namespace detail

}  // namespace win
