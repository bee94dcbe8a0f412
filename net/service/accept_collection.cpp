// The accept collection: incoming connections parked in temporary holder
// objects (CSocketKit, IsAcceptHolder) between FD_ACCEPT and Accept. The
// collection holds the holders; removing an entry lets go of its holder.
#include <map>
#include <memory>
#include <string>

#include "net/service/mod_socket_kit.h"
#include "net/socket/csocket_kit.h"
#include "platform/vb_error.h"

namespace modSocketKit {

namespace {

using AcceptCollection = std::map<win::SOCKET, std::shared_ptr<CSocketKit>>;

// Created by the first RegisterAccept, dropped when its last entry goes.
// Never destroyed at process exit: a holder left parked then is not torn
// down after the service itself is gone.
AcceptCollection* g_accepts = nullptr;

[[noreturn]] void MissingKey(const char* source) {
    throw VbError(5, source, "Invalid procedure call or argument");
}

}  // namespace

void RegisterAccept(win::SOCKET s) {
    if (!g_accepts) {
        g_accepts = new AcceptCollection();
        WriteSocketLog("OK Created accept collection");
    }
    std::shared_ptr<CSocketKit> holder = CSocketKit::Create();
    try {
        holder->Accept(s);
    } catch (const VbError&) {
        // Nobody will ever own the connection: it is not left open.
        win::closesocket(s);
        throw;
    }
    if (!g_accepts->emplace(s, holder).second) {
        throw VbError(457, "modSocketKit.RegisterAccept",
                      "This key is already associated with an element of this collection");
    }
}

bool IsAcceptRegistered(win::SOCKET s) {
    return g_accepts && g_accepts->count(s) != 0;
}

void UnregisterAccept(win::SOCKET s) {
    if (!g_accepts) MissingKey("modSocketKit.UnregisterAccept");
    auto entry = g_accepts->find(s);
    if (entry == g_accepts->end()) MissingKey("modSocketKit.UnregisterAccept");
    // Removing the entry lets go of the holder (destroyed here unless someone
    // else still holds it); the collection is consistent before that runs.
    std::shared_ptr<CSocketKit> holder = std::move(entry->second);
    g_accepts->erase(entry);
    holder.reset();
    if (g_accepts->empty()) {
        delete g_accepts;
        g_accepts = nullptr;
        WriteSocketLog("OK Destroyed accept collection");
    }
}

std::shared_ptr<CSocketKit> GetAcceptHolder(win::SOCKET s) {
    if (!g_accepts) MissingKey("modSocketKit.GetAcceptHolder");
    auto entry = g_accepts->find(s);
    if (entry == g_accepts->end()) MissingKey("modSocketKit.GetAcceptHolder");
    return entry->second;
}

}  // namespace modSocketKit
