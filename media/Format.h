// printf-style formatting into a std::string; std::string arguments are accepted for %s.
#pragma once

#include <cstdio>
#include <string>
#include <type_traits>

namespace format_detail {
template <typename T>
decltype(auto) Arg(const T& AValue) {
    if constexpr (std::is_same_v<T, std::string>)
        return AValue.c_str();
    else
        return AValue;
}
}  // namespace format_detail

template <typename... Args>
std::string Format(const char* AFormat, const Args&... AArgs) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
    const int n = std::snprintf(nullptr, 0, AFormat, format_detail::Arg(AArgs)...);
    if (n <= 0) return n == 0 ? std::string() : std::string(AFormat);
    std::string out(static_cast<size_t>(n), '\0');
    std::snprintf(out.data(), out.size() + 1, AFormat, format_detail::Arg(AArgs)...);
#pragma GCC diagnostic pop
    return out;
}
