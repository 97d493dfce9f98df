// Strict number conversions of option and settings texts, raising EConvertError with the
// run-time library's messages ("'abc' is not a valid integer value").
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

class EConvertError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Decimal, or hexadecimal with a leading "$" or "0x"; surrounding blanks are not allowed.
int StrToInt(const std::string& AText);
int64_t StrToInt64(const std::string& AText);
// A decimal number with "." as separator and an optional exponent.
double StrToFloat(const std::string& AText);
bool TryStrToInt(const std::string& AText, int& AValue);
bool TryStrToInt64(const std::string& AText, int64_t& AValue);
bool TryStrToFloat(const std::string& AText, double& AValue);

std::string LowerCase(std::string AText);
std::string UpperCase(std::string AText);
std::string Trim(const std::string& AText);
bool SameText(const std::string& A, const std::string& B);
