#include "net/socket/wire_format.h"

#include <bit>

namespace wire {

namespace {

void PutLittleEndian(std::string& out, uint64_t value, int size) {
    for (int i = 0; i < size; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

uint64_t GetLittleEndian(std::string_view bytes) {
    uint64_t value = 0;
    for (size_t i = 0; i < bytes.size(); ++i) {
        value |= static_cast<uint64_t>(static_cast<uint8_t>(bytes[i])) << (8 * i);
    }
    return value;
}

}  // namespace

int32_t FixedSize(uint16_t typeCode) {
    switch (typeCode) {
    case VbVariant::vbByte: return 1;
    case VbVariant::vbInteger:
    case VbVariant::vbBoolean: return 2;
    case VbVariant::vbLong:
    case VbVariant::vbSingle: return 4;
    case VbVariant::vbDouble:
    case VbVariant::vbCurrency:
    case VbVariant::vbDate: return 8;
    default: return 0;
    }
}

bool EncodeFixed(const VbVariant& value, std::string& out) {
    switch (value.VarType()) {
    case VbVariant::vbInteger:
        PutLittleEndian(out, static_cast<uint16_t>(value.IntegerValue()), 2);
        return true;
    case VbVariant::vbBoolean:
        PutLittleEndian(out, static_cast<uint16_t>(value.BooleanRawValue()), 2);
        return true;
    case VbVariant::vbLong:
        PutLittleEndian(out, static_cast<uint32_t>(value.LongValue()), 4);
        return true;
    case VbVariant::vbSingle:
        PutLittleEndian(out, std::bit_cast<uint32_t>(value.SingleValue()), 4);
        return true;
    case VbVariant::vbDouble:
        PutLittleEndian(out, std::bit_cast<uint64_t>(value.DoubleValue()), 8);
        return true;
    case VbVariant::vbDate:
        PutLittleEndian(out, std::bit_cast<uint64_t>(value.DateValue()), 8);
        return true;
    case VbVariant::vbCurrency:
        PutLittleEndian(out, static_cast<uint64_t>(value.CurrencyScaledValue()), 8);
        return true;
    case VbVariant::vbByte:
        out.push_back(static_cast<char>(value.ByteValue()));
        return true;
    default:
        return false;
    }
}

VbVariant DecodeFixed(uint16_t typeCode, std::string_view bytes) {
    uint64_t raw = GetLittleEndian(bytes);
    switch (typeCode) {
    case VbVariant::vbInteger: return VbVariant::Integer(static_cast<int16_t>(raw));
    case VbVariant::vbBoolean: return VbVariant::BooleanRaw(static_cast<int16_t>(raw));
    case VbVariant::vbLong: return VbVariant::Long(static_cast<int32_t>(raw));
    case VbVariant::vbSingle: return VbVariant::Single(std::bit_cast<float>(static_cast<uint32_t>(raw)));
    case VbVariant::vbDouble: return VbVariant::Double(std::bit_cast<double>(raw));
    case VbVariant::vbDate: return VbVariant::Date(std::bit_cast<double>(raw));
    case VbVariant::vbCurrency: return VbVariant::CurrencyScaled(static_cast<int64_t>(raw));
    case VbVariant::vbByte: return VbVariant::Byte(static_cast<uint8_t>(raw));
    default: return VbVariant::OfType(typeCode);
    }
}

}  // namespace wire
