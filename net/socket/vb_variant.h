// VbVariant: the tagged value that crosses the socket object's interface. It
// carries an OLE Automation type code and a value of that type. The socket
// object sends and receives ten of these codes; any other code can be held so
// that it can be recognised and refused. A default-constructed value is Empty
// (code 0).
//
// Text and byte arrays both hold bytes, one char per byte.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class VbVariant {
public:
    // The type codes (VARTYPE numbers).
    static constexpr uint16_t vbEmpty = 0;
    static constexpr uint16_t vbNull = 1;
    static constexpr uint16_t vbInteger = 2;     // 16-bit signed
    static constexpr uint16_t vbLong = 3;        // 32-bit signed
    static constexpr uint16_t vbSingle = 4;
    static constexpr uint16_t vbDouble = 5;
    static constexpr uint16_t vbCurrency = 6;    // 64-bit integer, value x 10,000
    static constexpr uint16_t vbDate = 7;        // days since 30 December 1899
    static constexpr uint16_t vbString = 8;
    static constexpr uint16_t vbBoolean = 11;    // 16-bit, True = -1
    static constexpr uint16_t vbByte = 17;
    static constexpr uint16_t vbArray = 8192;    // array flag
    static constexpr uint16_t vbByteArray = vbArray | vbByte;   // 8209

    VbVariant() = default;
    // Convenience conversions, so that callers can pass plain values.
    VbVariant(int32_t value) : type_(vbLong), integer_(value) {}
    VbVariant(std::string text) : type_(vbString), bytes_(std::move(text)) {}
    VbVariant(const char* text) : type_(vbString), bytes_(text ? text : "") {}

    static VbVariant Null() { return OfType(vbNull); }
    static VbVariant Integer(int16_t value) { return FromInteger(vbInteger, value); }
    static VbVariant Long(int32_t value) { return FromInteger(vbLong, value); }
    static VbVariant Single(float value) { return FromReal(vbSingle, value); }
    static VbVariant Double(double value) { return FromReal(vbDouble, value); }
    // Currency from its 64-bit scaled form (value x 10,000).
    static VbVariant CurrencyScaled(int64_t scaled) { return FromInteger(vbCurrency, scaled); }
    // Currency from a number, rounded to 4 decimals (halves to even).
    static VbVariant Currency(double value);
    static VbVariant Date(double oleDate) { return FromReal(vbDate, oleDate); }
    static VbVariant String(std::string text);
    // A Boolean from its raw 16-bit value (as received); True is -1.
    static VbVariant BooleanRaw(int16_t raw) { return FromInteger(vbBoolean, raw); }
    static VbVariant Boolean(bool value) { return BooleanRaw(value ? -1 : 0); }
    static VbVariant Byte(uint8_t value) { return FromInteger(vbByte, value); }
    static VbVariant ByteArray(std::string bytes);
    static VbVariant ByteArray(const std::vector<uint8_t>& bytes);
    // A value of any other type code, with no usable content (so it can be refused).
    static VbVariant OfType(uint16_t typeCode);

    uint16_t VarType() const { return type_; }
    bool IsEmpty() const { return type_ == vbEmpty; }

    // Typed reads; each gives the stored value converted the way the type allows.
    int16_t IntegerValue() const { return static_cast<int16_t>(integer_); }
    int32_t LongValue() const { return static_cast<int32_t>(integer_); }
    float SingleValue() const { return static_cast<float>(real_); }
    double DoubleValue() const { return real_; }
    int64_t CurrencyScaledValue() const { return integer_; }
    double DateValue() const { return real_; }
    int16_t BooleanRawValue() const { return static_cast<int16_t>(integer_); }
    bool BooleanValue() const { return integer_ != 0; }
    uint8_t ByteValue() const { return static_cast<uint8_t>(integer_); }
    // The bytes of a text or a byte array.
    const std::string& Bytes() const { return bytes_; }
    std::string TakeBytes() { return std::move(bytes_); }

    // The value as a number, if it is numeric: a number type (integers, reals,
    // currency, Boolean, byte) or text that reads as a decimal number (optional
    // surrounding spaces, sign, fraction and exponent). Empty, Null, dates,
    // byte arrays and every other type are not numeric.
    std::optional<double> NumericValue() const;
    // The value as text: text and byte arrays as their bytes, numbers in
    // decimal, Booleans as "True"/"False", Empty and Null as "".
    std::string ToText() const;

    // Reads a decimal number from text (see NumericValue); nullopt if it is not one.
    static std::optional<double> ParseNumber(const std::string& text);
    // Rounds to the nearest integer, halves to even; nullopt outside the 32-bit range.
    static std::optional<int32_t> RoundToLong(double value);

private:
    static VbVariant FromInteger(uint16_t type, int64_t value);
    static VbVariant FromReal(uint16_t type, double value);

    uint16_t type_ = vbEmpty;
    int64_t integer_ = 0;
    double real_ = 0.0;
    std::string bytes_;
};
