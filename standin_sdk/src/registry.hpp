// The table of SDK functions: an id per function, its name and the kinds of results it
// produces, so the control interface can check what a script sets.
#ifndef ZVSDK_STANDIN_REGISTRY_HPP
#define ZVSDK_STANDIN_REGISTRY_HPP

#include <cstddef>
#include <optional>

namespace standin {

enum class Fn : int {
#define SDK_OWN(name, result, outputs) name,
#define SDK_REQ_ONLY(name) name,
#define SDK_REQ_RES(name) name,
#include "functions.def"
};

enum class Result { Void, Int, LongLong, Real, Text };
enum class Outputs { None, Response, Addr };

struct FnInfo {
    const char* name;
    Result result;
    Outputs outputs;
};

constexpr std::size_t kFunctionCount = 0
#define SDK_OWN(name, result, outputs) +1
#define SDK_REQ_ONLY(name) +1
#define SDK_REQ_RES(name) +1
#include "functions.def"
    ;

const FnInfo& info(Fn fn);
inline std::size_t index(Fn fn) { return static_cast<std::size_t>(fn); }

// The function of that exact name (null and unknown names give nothing).
std::optional<Fn> find_function(const char* name);

}  // namespace standin

#endif
