#include "sim/text.hpp"

#include "sim/json.hpp"

namespace standin::sim {

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

std::string_view trim(std::string_view s, std::string_view blanks) {
    while (!s.empty() && blanks.find(s.front()) != std::string_view::npos) s.remove_prefix(1);
    while (!s.empty() && blanks.find(s.back()) != std::string_view::npos) s.remove_suffix(1);
    return s;
}

std::vector<std::string_view> split_list(std::string_view s, std::string_view blanks) {
    std::vector<std::string_view> items;
    std::size_t at = 0;
    for (;;) {
        const std::size_t comma = s.find(',', at);
        items.push_back(trim(s.substr(at, comma == std::string_view::npos ? std::string_view::npos : comma - at), blanks));
        if (comma == std::string_view::npos) return items;
        at = comma + 1;
    }
}

}  // namespace standin::sim
