// GetData and PeekData on bytes that really arrived: a connected TCP
// CSocketKit (and a UDP one) against plain loopback peers, made once per
// process. Per input: the peer sends the payload, the message loop runs until
// all of it is in the receive buffer, then up to four reads with an arbitrary
// type code, maxLen and existing value in data; then the rest is drained.
//
// Checked after every read: bytes taken + bytes left = bytes received; text
// and byte arrays are the front bytes; a fixed-size value encodes back to the
// front bytes; only the ten supported type codes are ever read; a failure
// takes nothing.
#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz/loopback.h"
#include "net/socket/csocket_kit.h"
#include "net/socket/wire_format.h"
#include "platform/vb_error.h"
#include "ui/socket_log_box.h"

namespace {

struct Read {
    bool peek = false;
    VbVariant data;
    std::optional<int32_t> varType;
    std::optional<VbVariant> maxLen;
};

VbVariant AnyValue(FuzzedDataProvider& p) {
    switch (p.ConsumeIntegralInRange(0, 13)) {
    case 0: return VbVariant();
    case 1: return VbVariant::String(p.ConsumeRandomLengthString(8));
    case 2: return VbVariant::ByteArray(p.ConsumeRandomLengthString(8));
    case 3: return VbVariant::Integer(p.ConsumeIntegral<int16_t>());
    case 4: return VbVariant::Long(p.ConsumeIntegral<int32_t>());
    case 5: return VbVariant::Single(p.ConsumeFloatingPoint<float>());
    case 6: return VbVariant::Double(p.ConsumeBool() ? std::nan("") : p.ConsumeFloatingPoint<double>());
    case 7: return VbVariant::CurrencyScaled(p.ConsumeIntegral<int64_t>());
    case 8: return VbVariant::Date(p.ConsumeFloatingPoint<double>());
    case 9: return VbVariant::BooleanRaw(p.ConsumeIntegral<int16_t>());
    case 10: return VbVariant::Byte(p.ConsumeIntegral<uint8_t>());
    case 11: return VbVariant::Null();
    case 12: return VbVariant::Double(p.ConsumeBool() ? HUGE_VAL : -0.0);
    default: return VbVariant::OfType(p.ConsumeIntegral<uint16_t>());
    }
}

Read AnyRead(FuzzedDataProvider& p) {
    static const int32_t kSupported[] = {2, 3, 4, 5, 6, 7, 8, 11, 17, 8209};
    Read r;
    r.peek = p.ConsumeBool();
    if (p.ConsumeIntegralInRange(0, 3) == 0) r.data = AnyValue(p);
    switch (p.ConsumeIntegralInRange(0, 3)) {
    case 0: break;  // omitted
    case 1: r.varType = p.PickValueInArray(kSupported); break;
    case 2: r.varType = p.ConsumeIntegral<uint16_t>(); break;
    default: r.varType = p.ConsumeIntegral<int32_t>(); break;
    }
    switch (p.ConsumeIntegralInRange(0, 4)) {
    case 0: break;  // omitted
    case 1: r.maxLen = VbVariant::Long(p.ConsumeIntegralInRange<int32_t>(-2, 300)); break;
    case 2: r.maxLen = VbVariant::String(p.ConsumeRandomLengthString(6)); break;
    default: r.maxLen = AnyValue(p); break;
    }
    return r;
}

bool Supported(int32_t type) {
    return type == VbVariant::vbString || type == VbVariant::vbByteArray ||
           (type >= 0 && type <= 0xFFFF && wire::FixedSize(static_cast<uint16_t>(type)) > 0);
}

// Bytes received and not yet taken, as the peer sent them.
struct Stream {
    std::string left;
    uint64_t sent = 0;
    uint64_t taken = 0;
};

// One read on the TCP object, checked against what the stream holds.
void CheckedRead(CSocketKit& sock, Read r, Stream& s) {
    const VbVariant before = r.data;
    const int32_t type = !before.IsEmpty() ? before.VarType() : r.varType.value_or(VbVariant::vbByteArray);
    try {
        if (r.peek) {
            sock.PeekData(r.data, r.varType, r.maxLen);
        } else {
            sock.GetData(r.data, r.varType, r.maxLen);
        }
    } catch (const VbError& e) {
        FUZZ_CHECK(e.Number == 40014 || e.Number == 40018, "a read fails only for maxLen or the type");
        FUZZ_CHECK(e.Number != 40018 || !Supported(type), "supported types are read");
        FUZZ_CHECK(static_cast<size_t>(sock.BytesReceived()) == s.left.size(), "a failed read takes nothing");
        return;
    }
    FUZZ_CHECK(Supported(type), "an unsupported type code is refused");
    size_t count = 0;
    if (type == VbVariant::vbString || type == VbVariant::vbByteArray) {
        count = r.data.Bytes().size();
        FUZZ_CHECK(r.data.VarType() == type || (count == 0 && r.data.VarType() == VbVariant::vbByteArray),
                   "text and byte arrays keep their type");
        FUZZ_CHECK(s.left.compare(0, count, r.data.Bytes()) == 0, "the front bytes");
    } else {
        const size_t size = static_cast<size_t>(wire::FixedSize(static_cast<uint16_t>(type)));
        if (s.left.size() < size) {
            FUZZ_CHECK(r.data.VarType() == before.VarType(), "too few bytes leave data unchanged");
        } else {
            count = size;
            std::string again;
            FUZZ_CHECK(r.data.VarType() == type && wire::EncodeFixed(r.data, again), "a value of the type");
            const bool singleNaN = type == VbVariant::vbSingle && std::isnan(r.data.SingleValue());
            FUZZ_CHECK(singleNaN || again == s.left.substr(0, size), "the value encodes the front bytes");
        }
    }
    if (!r.peek) {
        s.left.erase(0, count);
        s.taken += count;
    }
    FUZZ_CHECK(static_cast<size_t>(sock.BytesReceived()) == s.left.size(), "taken + left = received");
    FUZZ_CHECK(s.taken + s.left.size() == s.sent, "nothing lost or made up");
}

struct Rig {
    loopback::DiscardBox box;
    SocketLogBox sink{box};
    int listener = -1;
    int peer = -1;
    std::shared_ptr<CSocketKit> tcp;
    std::shared_ptr<CSocketKit> udp;
    int udpPeer = -1;
    Stream stream;

    Rig() {
        modSocketKit::SetSocketLogSink(&sink);
        CSocketKit::SetMessageBoxHandler([](const std::string&, const std::string&) {});
        listener = loopback::BoundSocket(SOCK_STREAM, true);
        tcp = CSocketKit::Create();
        tcp->Connect(VbVariant("127.0.0.1"), VbVariant::Long(loopback::PortOf(listener)));
        FUZZ_CHECK(loopback::PumpUntil([&] { return tcp->State() == sckConnected; }), "connected");
        peer = loopback::AcceptOne(listener);
        FUZZ_CHECK(peer >= 0, "accepted");
        udp = CSocketKit::Create();
        udp->SetProtocol(sckUDP);
        udp->Bind(VbVariant::Long(0), VbVariant("127.0.0.1"));
        FUZZ_CHECK(udp->State() == sckOpen, "UDP open");
        udpPeer = loopback::BoundSocket(SOCK_DGRAM, false);
    }

    void Arrive(const std::string& payload) {
        size_t sent = 0;
        const bool all = loopback::PumpUntil([&] {
            if (sent < payload.size()) {
                ssize_t n = ::send(peer, payload.data() + sent, payload.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
                if (n > 0) sent += static_cast<size_t>(n);
            }
            return sent == payload.size() && static_cast<size_t>(tcp->BytesReceived()) == stream.left.size() + sent;
        });
        FUZZ_CHECK(all && tcp->State() == sckConnected, "every byte arrives");
        stream.left += payload;
        stream.sent += payload.size();
    }

    void Drain() {
        VbVariant rest;
        tcp->GetData(rest);
        FUZZ_CHECK(rest.Bytes() == stream.left && tcp->BytesReceived() == 0, "the rest drains");
        stream.taken += stream.left.size();
        stream.left.clear();
    }

    // One datagram, read by whatever the reads ask, then whatever is left dropped.
    void Datagram(const std::string& payload, std::vector<Read>& reads) {
        sockaddr_in to = loopback::Address(static_cast<uint16_t>(udp->LocalPort()));
        FUZZ_CHECK(::sendto(udpPeer, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&to),
                            sizeof to) == static_cast<ssize_t>(payload.size()), "datagram sent");
        FUZZ_CHECK(loopback::Readable(udp->SocketHandle(), 1000), "datagram arrives");
        for (Read& r : reads) {
            const bool waiting = udp->BytesReceived() > 0;
            bool read = true;  // data was set from the datagram
            try {
                if (r.peek) {
                    udp->PeekData(r.data, r.varType, r.maxLen);
                } else {
                    udp->GetData(r.data, r.varType, r.maxLen);
                }
            } catch (const VbError& e) {
                read = e.Number == 10040;  // too long for the count asked: the front was read
            }
            const int32_t type = r.data.VarType();
            if (waiting && read && (type == VbVariant::vbString || type == VbVariant::vbByteArray)) {
                FUZZ_CHECK(payload.compare(0, r.data.Bytes().size(), r.data.Bytes()) == 0, "datagram front bytes");
            }
            FUZZ_CHECK(udp->BytesReceived() == 0 || udp->BytesReceived() == static_cast<int32_t>(payload.size()),
                       "a datagram is read whole or left whole");
        }
        FUZZ_CHECK(loopback::PumpUntil([&] { return !loopback::Readable(udp->SocketHandle(), 0); }),
                   "what is not read is dropped");
        FUZZ_CHECK(udp->State() == sckOpen, "still open");
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Rig* rig = new Rig;  // lives as long as the process
    FuzzedDataProvider p(data, size);
    std::vector<Read> reads(p.ConsumeIntegralInRange<size_t>(1, 4));
    for (Read& r : reads) r = AnyRead(p);
    const bool datagram = p.ConsumeIntegralInRange(0, 7) == 0;
    const std::string payload = p.ConsumeRemainingBytesAsString();

    if (datagram && !payload.empty() && payload.size() <= 65507) {
        rig->Datagram(payload, reads);
        return 0;
    }
    rig->Arrive(payload);
    for (const Read& r : reads) CheckedRead(*rig->tcp, r, rig->stream);
    rig->Drain();
    return 0;
}
