// The values the stand-in passes around: recorded calls, the outcome of a call, the
// scripts that override it and queued events.
#ifndef ZVSDK_STANDIN_TYPES_HPP
#define ZVSDK_STANDIN_TYPES_HPP

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "registry.hpp"

namespace standin {

// ---- the record ----

struct Bytes {  // a string or request buffer as received
    bool null = false;
    std::string data;
};
struct OutParam {  // an out-parameter: only whether the caller passed somewhere to write
    bool non_null = false;
};
struct Address {  // a function pointer, recorded as its address
    std::uintptr_t value = 0;
};
using Arg = std::variant<Bytes, long long, double, bool, OutParam, Address>;

struct Call {
    Fn fn;
    std::vector<Arg> args;
};

// ---- arguments of their own kind ----

// A serialized request: recorded as its bytes, then its length as an int of its own.
struct Req {
    const char* data;
    int length;
};
// The trailing (char** res, int* res_len) of functions with a response.
struct ResponseOut {
    char** res;
    int* res_len;
};
// The char** addr of zvi_get_serv_addr.
struct AddrOut {
    char** addr;
};

// ---- what a function hands back ----

struct Text {  // a returned string, or the *addr out-string
    bool null = false;
    std::string data;
};

struct Response {  // *res and *res_len
    bool null = false;
    std::string data;  // the buffer handed out is at least max(data size, length) bytes
    int length = 0;
};

// What one call produces. Every function starts from its own outcome (the defaults, or
// what the simulated session answers while it is on), then the script overrides each
// part it sets, so scripted values always win.
struct Outcome {
    long long number = 0;  // int and long long results
    double real = 0.0;
    Text text;
    Response response;
};

struct Script {
    std::optional<long long> number;
    std::optional<double> real;
    std::optional<Text> text;
    std::optional<Response> response;
};

// ---- events ----

struct Event {
    bool name_null = false;
    std::string name;
    bool data_null = false;
    std::string data;
    int reported_length = 0;
};

}  // namespace standin

#endif
