#include "sim/simulation.hpp"

#include <charconv>
#include <cmath>
#include <limits>
#include <string_view>
#include <utility>

#include "sim/calendar.hpp"
#include "sim/text.hpp"

namespace standin::sim {

int Simulation::fail(Fn fn, int code, const std::string& why) {
    last_error_ = std::string(info(fn).name) + ": " + why;
    return code;
}

bool Simulation::read_request(Fn fn, const Req& req, json::Value& request, int& status) {
    if (!req.data) {
        status = fail(fn, kInvalidRequest, "the request is a null pointer");
        return false;
    }
    if (req.length < 0) {
        status = fail(fn, kInvalidRequest, "negative request length");
        return false;
    }
    if (req.length == 0) {  // no bytes at all: an empty request object
        request = json::Value{};
        request.type = json::Value::Type::Object;
        return true;
    }
    std::string error;
    if (!json::parse(std::string_view(req.data, static_cast<std::size_t>(req.length)), request, error)) {
        status = fail(fn, kInvalidRequest, "malformed JSON: " + error);
        return false;
    }
    if (!request.is_object()) {
        status = fail(fn, kInvalidRequest, "the request must be a JSON object");
        return false;
    }
    return true;
}

int Simulation::report(Fn fn, const Status& status) { return status.ok() ? 0 : fail(fn, status.code, status.why); }

// ---- settings and configuration ----

void Simulation::set_serv_addr(const char* addr) {
    if (!addr) return;
    const std::string_view a = addr;
    if (a != "sim" && a.substr(0, 4) != "sim:") return;  // not ours: the plain stand-in
    // sim:key=value;key=value with the keys seed and data, each at most once.
    std::uint64_t seed = 1;
    std::string data;
    std::string error;
    bool seen_seed = false, seen_data = false;
    std::string_view rest = a.size() > 4 ? a.substr(4) : std::string_view();
    while (!rest.empty() && error.empty()) {
        const std::size_t semicolon = rest.find(';');
        const std::string_view item = rest.substr(0, semicolon);
        rest = semicolon == std::string_view::npos ? std::string_view() : rest.substr(semicolon + 1);
        const std::size_t eq = item.find('=');
        const std::string_view key = item.substr(0, eq);
        const std::string_view value = eq == std::string_view::npos ? std::string_view() : item.substr(eq + 1);
        if (eq == std::string_view::npos) {
            error = "setting " + quoted(item) + " is not key=value";
        } else if (key == "seed" && !seen_seed) {
            seen_seed = true;
            const auto res = std::from_chars(value.data(), value.data() + value.size(), seed);
            if (value.empty() || res.ec != std::errc() || res.ptr != value.data() + value.size())
                error = "seed " + quoted(value) + " is not a decimal integer from 0 to 18446744073709551615";
        } else if (key == "data" && !seen_data) {
            seen_data = true;
            data = std::string(value);
            if (data.empty()) error = "data is empty: give a CSV file or a folder of <SYMBOL>.csv files";
        } else if (key == "seed" || key == "data") {
            error = std::string(key) + " is given twice";
        } else {
            error = "unknown setting " + quoted(key) + " (the settings are seed and data)";
        }
    }
    enabled_ = true;
    if (!error.empty()) {
        address_error_ = "server address " + quoted(a) + ": " + error;
        return;
    }
    address_error_.clear();
    seed_ = seed;
    parts_.prices.set_data_path(std::move(data));
}

int Simulation::configure(const char* start_time, const char* end_time, double cash, double transaction,
                          double commission, double unit, double slippage, int adjust, int match_mode) {
    const Fn fn = Fn::zvi_set_backtest_config;
    std::int64_t start, end;
    const auto shown = [](const char* text) { return text ? quoted(text) : std::string("null"); };
    constexpr const char* kForms = " is not YYYY-MM-DD or YYYY-MM-DD HH:MM:SS";
    if (!start_time || !parse_time(start_time, false, start))
        return fail(fn, kInvalidRequest, "start_time " + shown(start_time) + kForms);
    if (!end_time || !parse_time(end_time, true, end))
        return fail(fn, kInvalidRequest, "end_time " + shown(end_time) + kForms);
    if (start > end) return fail(fn, kInvalidRequest, "start_time is after end_time");
    if (!std::isfinite(cash) || cash <= 0)
        return fail(fn, kInvalidRequest, "initial_cash must be a finite number above 0");
    const std::pair<const char*, double> ratios[] = {
        {"transaction_ratio", transaction}, {"commission_ratio", commission}, {"slippage_ratio", slippage}};
    for (const auto& [name, value] : ratios)
        if (!std::isfinite(value) || value < 0 || value > 1)
            return fail(fn, kInvalidRequest, std::string(name) + " must be within [0, 1]");
    if (!std::isfinite(unit) || unit < 0)
        return fail(fn, kInvalidRequest, "commission_unit must be a finite number of at least 0");
    if (adjust != 0 && adjust != 1)
        return fail(fn, kInvalidRequest, "adjust must be 0 (the prices as they are) or 1 (adjusted prices)");
    if (match_mode != 0 && match_mode != 1) return fail(fn, kInvalidRequest, "match_mode must be 0 or 1");
    if (!address_error_.empty()) return fail(fn, kInvalidRequest, address_error_);
    Parts& p = parts_;
    std::string why;
    if (!p.prices.open_data(why)) return fail(fn, kInvalidRequest, why);

    p.clock = start;
    p.prices.restart(seed_, start, adjust == 1);
    p.account.restart(cash, Costs{transaction, commission, unit, slippage, match_mode}, p.prices);
    replay_.restart(start, end);
    p.subscriptions.restart(p.prices);
    p.scheduler.restart(start);
    return 0;
}

// ---- the serialized calls ----

void Simulation::request(Fn fn, Needs needs, const Req& req, Outcome& out, std::deque<Event>& queue,
                         RequestHandler handler) {
    if (needs == Needs::Session && !active()) {
        out.number = fail(fn, kNoSession, "no active backtest session: call zvi_set_backtest_config first");
        return;
    }
    json::Value r;
    int code = 0;
    if (!read_request(fn, req, r, code)) {
        out.number = code;
        return;
    }
    std::string res;
    Status status = handler(*this, parts_, r, res, queue);
    if (status.ok() && res.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()))
        status = failure(kInvalidRequest, "the response would be more than 2147483647 bytes");
    out.number = report(fn, status);
    if (status.ok() && info(fn).outputs == Outputs::Response) {
        const int length = static_cast<int>(res.size());
        out.response = Response{false, std::move(res), length};
    }
}

}  // namespace standin::sim
