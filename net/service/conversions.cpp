// The shared conversions of the socket service (Overview).
#include <string>

#include "net/service/mod_socket_kit.h"
#include "platform/vb_error.h"

namespace modSocketKit {

int32_t HiWord(int32_t value) { return static_cast<int32_t>((static_cast<uint32_t>(value) >> 16) & 0xFFFFu); }

int32_t LoWord(int32_t value) { return static_cast<int32_t>(static_cast<uint32_t>(value) & 0xFFFFu); }

int32_t IntegerToUnsigned(int32_t value) { return value < 0 ? (value + 65536) & 0xFFFF : value & 0xFFFF; }

int16_t UnsignedToInteger(int32_t value) {
    if (value < 0 || value > 65535) throw VbError(6, "modSocketKit.UnsignedToInteger", "Overflow");
    return static_cast<int16_t>(value > 32767 ? value - 65536 : value);
}

std::string StringFromPointer(const char* address) { return address != nullptr ? std::string(address) : std::string(); }

}  // namespace modSocketKit
