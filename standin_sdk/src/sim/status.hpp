// What the simulation's parts share: the statuses of failed calls and how a part says
// why a call failed.
#ifndef ZVSDK_STANDIN_SIM_STATUS_HPP
#define ZVSDK_STANDIN_SIM_STATUS_HPP

#include <string>

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

}  // namespace standin::sim

#endif
