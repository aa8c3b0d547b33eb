#include "registry.hpp"

#include <string_view>
#include <unordered_map>

namespace standin {

namespace {

const FnInfo kTable[kFunctionCount] = {
#define SDK_OWN(name, result, outputs) {#name, Result::result, Outputs::outputs},
#define SDK_REQ_ONLY(name) {#name, Result::Int, Outputs::None},
#define SDK_REQ_RES(name) {#name, Result::Int, Outputs::Response},
#include "functions.def"
};

const std::unordered_map<std::string_view, Fn>& by_name() {
    static const std::unordered_map<std::string_view, Fn> map = [] {
        std::unordered_map<std::string_view, Fn> m;
        for (std::size_t i = 0; i < kFunctionCount; ++i) m.emplace(kTable[i].name, static_cast<Fn>(i));
        return m;
    }();
    return map;
}

}  // namespace

const FnInfo& info(Fn fn) { return kTable[index(fn)]; }

std::optional<Fn> find_function(const char* name) {
    if (!name) return std::nullopt;
    const auto& map = by_name();
    const auto it = map.find(name);
    if (it == map.end()) return std::nullopt;
    return it->second;
}

}  // namespace standin
