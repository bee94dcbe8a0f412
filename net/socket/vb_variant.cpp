#include "net/socket/vb_variant.h"

#include <charconv>
#include <cmath>
#include <algorithm>
#include <cstdio>

VbVariant VbVariant::FromInteger(uint16_t type, int64_t value) {
    VbVariant v;
    v.type_ = type;
    v.integer_ = value;
    return v;
}

VbVariant VbVariant::FromReal(uint16_t type, double value) {
    VbVariant v;
    v.type_ = type;
    v.real_ = value;
    return v;
}

VbVariant VbVariant::Currency(double value) {
    return CurrencyScaled(static_cast<int64_t>(std::nearbyint(value * 10000.0)));
}

VbVariant VbVariant::String(std::string text) {
    VbVariant v;
    v.type_ = vbString;
    v.bytes_ = std::move(text);
    return v;
}

VbVariant VbVariant::ByteArray(std::string bytes) {
    VbVariant v;
    v.type_ = vbByteArray;
    v.bytes_ = std::move(bytes);
    return v;
}

VbVariant VbVariant::ByteArray(const std::vector<uint8_t>& bytes) {
    return ByteArray(std::string(bytes.begin(), bytes.end()));
}

VbVariant VbVariant::OfType(uint16_t typeCode) {
    VbVariant v;
    v.type_ = typeCode;
    return v;
}

std::optional<double> VbVariant::ParseNumber(const std::string& text) {
    size_t begin = text.find_first_not_of(' ');
    if (begin == std::string::npos) return std::nullopt;
    size_t end = text.find_last_not_of(' ') + 1;
    std::string core = text.substr(begin, end - begin);

    // Check the form by hand: [sign] digits [. digits] [e [sign] digits],
    // with at least one digit in the mantissa. from_chars alone would also
    // take "inf", "nan" and hexadecimal forms.
    size_t i = 0;
    bool negative = false;
    if (core[i] == '+' || core[i] == '-') negative = core[i++] == '-';
    size_t mantissaStart = i;
    size_t digits = 0;
    while (i < core.size() && core[i] >= '0' && core[i] <= '9') { ++i; ++digits; }
    if (i < core.size() && core[i] == '.') {
        ++i;
        while (i < core.size() && core[i] >= '0' && core[i] <= '9') { ++i; ++digits; }
    }
    if (digits == 0) return std::nullopt;
    if (i < core.size() && (core[i] == 'e' || core[i] == 'E')) {
        ++i;
        if (i < core.size() && (core[i] == '+' || core[i] == '-')) ++i;
        size_t expDigits = 0;
        while (i < core.size() && core[i] >= '0' && core[i] <= '9') { ++i; ++expDigits; }
        if (expDigits == 0) return std::nullopt;
    }
    if (i != core.size()) return std::nullopt;

    double value = 0.0;
    const char* first = core.data() + mantissaStart;
    const char* last = core.data() + core.size();
    auto [ptr, ec] = std::from_chars(first, last, value);
    if (ec == std::errc::result_out_of_range) {
        // Too large or too small for a double: still a number, far outside any range.
        bool tiny = false;
        size_t e = core.find_first_of("eE");
        if (e != std::string::npos && core.find('-', e) != std::string::npos) tiny = true;
        value = tiny ? 0.0 : HUGE_VAL;
    } else if (ec != std::errc() || ptr != last) {
        return std::nullopt;
    }
    return negative ? -value : value;
}

std::optional<int32_t> VbVariant::RoundToLong(double value) {
    if (std::isnan(value)) return std::nullopt;
    double rounded = std::nearbyint(value);   // default rounding: to nearest, halves to even
    if (rounded < -2147483648.0 || rounded > 2147483647.0) return std::nullopt;
    return static_cast<int32_t>(rounded);
}

std::optional<double> VbVariant::NumericValue() const {
    switch (type_) {
    case vbInteger:
    case vbLong:
    case vbBoolean:
    case vbByte:
        return static_cast<double>(integer_);
    case vbCurrency:
        return static_cast<double>(integer_) / 10000.0;
    case vbSingle:
    case vbDouble:
        return real_;
    case vbString:
        return ParseNumber(bytes_);
    default:
        return std::nullopt;
    }
}

namespace {

// Up to the given significant digits, without trailing zeros; exponent as "E+20".
std::string RealToText(double value, int digits = 15) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-Infinity" : "Infinity";
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "%.*G", digits, value);
    std::string text = buffer;
    size_t e = text.find('E');
    std::string mantissa = text.substr(0, e);
    std::string exponent = e == std::string::npos ? "" : text.substr(e);
    if (mantissa.find('.') != std::string::npos) {
        mantissa.erase(mantissa.find_last_not_of('0') + 1);
        if (mantissa.back() == '.') mantissa.pop_back();
    }
    if (!exponent.empty()) {
        // "E+05" -> "E+5"
        std::string sign = exponent.substr(1, 1);
        std::string expDigits = exponent.substr(2);
        expDigits.erase(0, std::min(expDigits.find_first_not_of('0'), expDigits.size() - 1));
        exponent = "E" + sign + expDigits;
    }
    return mantissa + exponent;
}

}  // namespace

std::string VbVariant::ToText() const {
    switch (type_) {
    case vbInteger:
    case vbLong:
    case vbByte:
        return std::to_string(integer_);
    case vbBoolean:
        return integer_ != 0 ? "True" : "False";
    case vbCurrency:
        return RealToText(static_cast<double>(integer_) / 10000.0);
    case vbSingle:
        return RealToText(real_, 7);
    case vbDouble:
    case vbDate:
        return RealToText(real_);
    case vbString:
    case vbByteArray:
        return bytes_;
    default:
        return "";
    }
}
