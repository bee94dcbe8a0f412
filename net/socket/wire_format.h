// The byte layouts of the tagged values on the wire: what SendData queues for
// each of the ten type codes and how a read turns bytes back into a value.
// Multi-byte values are least significant byte first.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "net/socket/vb_variant.h"

namespace wire {

// The size of a fixed-size type (2, 3, 4, 5, 6, 7, 11, 17); 0 for any other code.
int32_t FixedSize(uint16_t typeCode);
// The bytes of a value of a fixed-size type; false for any other code.
bool EncodeFixed(const VbVariant& value, std::string& out);
// A value of a fixed-size type from exactly FixedSize(typeCode) bytes.
VbVariant DecodeFixed(uint16_t typeCode, std::string_view bytes);

}  // namespace wire
