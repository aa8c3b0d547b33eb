#include "sim/status.hpp"

#include "sim/json.hpp"

namespace standin::sim {

const char* error_text(int code) {
    switch (code) {
        case kInvalidRequest: return "invalid request";
        case kInvalidSymbol: return "invalid symbol";
        case kUnknownOrder: return "unknown or finished order";
        case kNoSession: return "no active backtest session";
        case kNotFound: return "not found";
        default: return nullptr;
    }
}

bool valid_symbol(std::string_view s) {
    const std::size_t dot = s.find('.');
    if (dot == std::string_view::npos || dot == 0 || dot + 1 == s.size()) return false;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char c = s[i];
        if (i < dot) {
            if (c < 'A' || c > 'Z') return false;
        } else if (i > dot) {
            if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))) return false;
        }
    }
    return true;
}

std::string quoted(std::string_view s) {
    std::string out;
    json::append_string(out, s);
    return out;
}

std::string number_text(double v) {
    std::string out;
    json::append_double(out, v);
    return out;
}

std::vector<std::string_view> split_list(std::string_view s) {
    std::vector<std::string_view> items;
    std::size_t at = 0;
    for (;;) {
        const std::size_t comma = s.find(',', at);
        std::string_view item = s.substr(at, comma == std::string_view::npos ? std::string_view::npos : comma - at);
        while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
        while (!item.empty() && item.back() == ' ') item.remove_suffix(1);
        items.push_back(item);
        if (comma == std::string_view::npos) return items;
        at = comma + 1;
    }
}

}  // namespace standin::sim
