// The error triple every failing operation carries: a number, the source
// (module or class and operation, "CSocketKit.Connect") and a description.
// Operations throw it; error reports catch it and read the three fields.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

struct VbError : std::runtime_error {
    VbError(int32_t number, std::string source, std::string description)
        : std::runtime_error(description), Number(number), Source(std::move(source)),
          Description(std::move(description)) {}
    int32_t Number;
    std::string Source;
    std::string Description;
};
