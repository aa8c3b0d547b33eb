// What the simulation's parts share: the statuses of failed calls, how a part says why
// a call failed, and the small text helpers its messages use.
#ifndef ZVSDK_STANDIN_SIM_STATUS_HPP
#define ZVSDK_STANDIN_SIM_STATUS_HPP

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

namespace standin::sim {

// Statuses of failed calls; zvi_strerror has a text for each while the simulation is on.
enum Error : int {
    kInvalidRequest = 1001,
    kInvalidSymbol = 1002,
    kUnknownOrder = 1003,
    kNoSession = 1004,
    kNotFound = 1005,
};
// The text of one of those codes, or null.
const char* error_text(int code);

// The result of a call: 0, or an Error and why (for zvi_get_ext_errormsg).
struct Status {
    int code = 0;
    std::string why;
    bool ok() const { return code == 0; }
};
inline Status failure(int code, std::string why) { return Status{code, std::move(why)}; }

constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();

// EXCHANGE.CODE: [A-Z]+ "." [A-Za-z0-9]+, the symbols of generated prices.
bool valid_symbol(std::string_view s);
// The bytes as a JSON string, so odd bytes in a message stay readable.
std::string quoted(std::string_view s);
// A double in the JSON writer's form.
std::string number_text(double v);
// s without the blanks at either end.
std::string_view trim(std::string_view s, std::string_view blanks = " ");
// A comma-separated list, the blanks around each item trimmed.
std::vector<std::string_view> split_list(std::string_view s, std::string_view blanks = " ");

}  // namespace standin::sim

#endif
