// Receiving. TCP: bytes move from the platform socket into the receive buffer
// on every FD_READ (RecvDataToBuffer), and GetData/PeekData take or look at
// them there. UDP: GetData/PeekData read the waiting datagram straight from
// the platform socket and record its sender.
#include <string>
#include <string_view>

#include "net/socket/csocket_kit.h"
#include "net/socket/wire_format.h"
#include "platform/vb_error.h"

using modSocketKit::LogScroll;

void CSocketKit::GetData(VbVariant& data, std::optional<int32_t> varType, std::optional<VbVariant> maxLen) {
    ReadData(data, varType, std::move(maxLen), false, "CSocketKit.GetData");
}

void CSocketKit::PeekData(VbVariant& data, std::optional<int32_t> varType, std::optional<VbVariant> maxLen) {
    ReadData(data, varType, std::move(maxLen), true, "CSocketKit.PeekData");
}

void CSocketKit::ReadData(VbVariant& data, std::optional<int32_t> varType, std::optional<VbVariant> maxLen,
                          bool peek, const std::string& source) {
    if (!IsUDP()) {
        // An accept holder hands its data over with GetData in any state.
        // What arrived before the peer closed can still be read while closing.
        bool allowed = state_ == sckConnected || (state_ == sckClosing && !receiveBuffer_.Empty()) ||
                       (!peek && isAcceptHolder_);
        if (!allowed) Fail(ErrWrongState, source, kDescWrongState);
    } else {
        if (state_ != sckOpen) Fail(ErrWrongState, source, kDescWrongState);
        if (GetBytesPending() == 0) return;
    }
    if (maxLen) {
        std::optional<double> limit = maxLen->NumericValue();
        if (limit && *limit < 0) Fail(ErrBadArgument, source, kDescBadArgument);
        if (!limit) maxLen = VbVariant::Long(BytesReceived());
    }
    int32_t taken = RecvData(data, peek, varType, std::move(maxLen));
    Log("OK Bytes obtained from buffer: " + std::to_string(taken), LogScroll::TwoLines);
}

int32_t CSocketKit::RecvData(VbVariant& data, bool peek, std::optional<int32_t> varType,
                             std::optional<VbVariant> maxLen) {
    const int32_t available = BytesReceived();
    int32_t type = VbVariant::vbByteArray;
    if (!data.IsEmpty()) {
        type = data.VarType();
    } else if (varType) {
        type = *varType;
    }
    int32_t errorCode = 0;
    int32_t count = 0;
    if (type == VbVariant::vbString || type == VbVariant::vbByteArray) {
        if (!maxLen) {
            if (available == 0) {
                data = VbVariant::ByteArray(std::string());
                return 0;
            }
            count = available;
        } else {
            double limit = maxLen->NumericValue().value_or(0.0);
            if (limit == 0 || available == 0) {
                data = VbVariant::ByteArray(std::string());
                if (!IsUDP()) return 0;
                DiscardDatagram();
                FailWithCode(10040, "CSocketKit.RecvData");
            }
            count = limit > available ? available : VbVariant::RoundToLong(limit).value_or(available);
        }
        // The variable's own storage is reused, so that a reader taking the
        // data in every DataArrival does not allocate anew each time.
        std::string bytes = data.TakeBytes();
        TakeReceivedBytes(count, peek, errorCode, bytes);
        data = type == VbVariant::vbString ? VbVariant::String(std::move(bytes))
                                           : VbVariant::ByteArray(std::move(bytes));
    } else {
        // Only a 16-bit value is a type code: 65539 is not 3.
        int32_t size = type >= 0 && type <= 0xFFFF ? wire::FixedSize(static_cast<uint16_t>(type)) : 0;
        if (size == 0) Fail(ErrUnsupportedType, "CSocketKit.RecvData", kDescUnsupportedType);
        if (available < size) return 0;
        std::string bytes;
        TakeReceivedBytes(size, peek, errorCode, bytes);
        data = wire::DecodeFixed(static_cast<uint16_t>(type), bytes);
        count = size;
    }
    if (errorCode != 0) FailWithCode(errorCode, "CSocketKit.RecvData");
    return count;
}

// The first count bytes (TCP: of the receive buffer; UDP: of the waiting
// datagram, recording its sender) into out; the error code of a UDP read.
void CSocketKit::TakeReceivedBytes(int32_t count, bool peek, int32_t& errorCode, std::string& out) {
    errorCode = 0;
    if (!IsUDP()) {
        if (peek) {
            out.assign(receiveBuffer_.Front(static_cast<size_t>(count)));
        } else {
            receiveBuffer_.TakeInto(static_cast<size_t>(count), out);
        }
        return;
    }
    out.assign(static_cast<size_t>(count), '\0');
    win::SOCKADDR_IN sender{};
    int length = sizeof sender;
    if (win::recvfrom(socketHandle_, out.data(), count, peek ? win::MSG_PEEK_WS : 0, &sender, &length) ==
        win::SOCKET_ERROR) {
        errorCode = win::WSAGetLastError();
    }
    if (!peek) ++datagramsTaken_;
    ReadSocketAddress(sender, remotePort_, remoteHostIP_);
}

// One receive call into the receive buffer; the number of bytes received.
int32_t CSocketKit::RecvDataToBuffer() {
    // A reported size of 0 is never used as the size of a receive call.
    const size_t size = receiveBufferSize_ > 0 ? static_cast<size_t>(receiveBufferSize_) : 65536;
    // Into the buffer's own storage when it has the room; otherwise through
    // one scratch block shared by all objects, so that a connection that only
    // ever receives a few bytes at a time holds a few bytes, not the storage
    // of a whole receive call (a server with many idle sessions).
    static std::string scratch;
    const bool direct = !receiveBuffer_.Empty() || receiveBuffer_.Capacity() >= size;
    if (!direct && scratch.size() < size) scratch.resize(size);
    char* into = direct ? receiveBuffer_.Room(size) : scratch.data();
    int received = win::recv(socketHandle_, into, static_cast<int>(size), 0);
    if (received > 0 && !direct) {
        receiveBuffer_.Append(std::string_view(scratch.data(), static_cast<size_t>(received)));
        return received;
    }
    if (received == win::SOCKET_ERROR) {
        int32_t code = win::WSAGetLastError();
        if (code == 10035) return 0;   // a notification whose data has already been read
        SetState(sckError);
        FailWithCode(code, "CSocketKit.RecvDataToBuffer");
    }
    if (received > 0) receiveBuffer_.Commit(static_cast<size_t>(received));
    return received;
}

void CSocketKit::DiscardDatagram() {
    ++datagramsTaken_;
    char scratch = 0;
    win::recv(socketHandle_, &scratch, 1, 0);
}
