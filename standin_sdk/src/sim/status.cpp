#include "sim/status.hpp"

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

}  // namespace standin::sim
