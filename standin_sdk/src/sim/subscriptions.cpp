#include "sim/subscriptions.hpp"

#include <iterator>
#include <vector>

#include "sim/calendar.hpp"
#include "sim/text.hpp"

namespace standin::sim {

// A data file replays its own bars: other frequencies are refused.
Status Subscriptions::check(std::string_view symbol, int seconds, Prices& prices) {
    if (!prices.file_symbols()) return prices.check_form(symbol);
    std::string why;
    const std::shared_ptr<const BarSeries> series = prices.subscribed_series(symbol, why);
    if (!series) return failure(kInvalidSymbol, why);
    const int data = series->bar_seconds;
    if (seconds == data) return {};
    return failure(kInvalidRequest, quoted(symbol) + " has " + frequency_text(data) + " bars in " + series->path +
                                        ": a " + frequency_text(seconds) + " subscription is " +
                                        (seconds < data ? "finer than the data" : "not built from them") +
                                        "; subscribe with " + frequency_text(data));
}

const Subscriptions::Symbols* Subscriptions::subscribed(int seconds) const {
    const auto it = subscriptions_.find(seconds);
    return it == subscriptions_.end() || it->second.empty() ? nullptr : &it->second;
}

Status Subscriptions::subscribe(const char* symbols, const char* frequency, bool unsubscribe_previous,
                                Prices& prices) {
    if (!frequency) return failure(kInvalidRequest, "frequency is null");
    const int f = parse_frequency_seconds(frequency);
    if (f < 0 || (!prices.file_symbols() && generated_frequency(f) < 0))
        return failure(kInvalidRequest, "unknown frequency " + quoted(frequency));
    if (!symbols) return failure(kInvalidSymbol, "symbols is null");
    const std::vector<std::string_view> list = split_list(symbols);
    for (const std::string_view s : list)
        if (Status status = check(s, f, prices); !status.ok()) return status;
    if (unsubscribe_previous) subscriptions_.clear();
    // Steps already walked are not replayed for a new subscription: it starts with the
    // next price step.
    for (const std::string_view s : list) {
        subscriptions_[f].emplace(std::string(s), prices.steps_done());
        if (prices.started()) prices.use(s);
    }
    return {};
}

Status Subscriptions::unsubscribe(const char* symbols, const char* frequency, const Prices& prices) {
    if (!frequency) return failure(kInvalidRequest, "frequency is null");
    const bool every_frequency = std::string_view(frequency) == "*";
    const int f = every_frequency ? 0 : parse_frequency_seconds(frequency);
    if (f < 0 || (!every_frequency && !prices.file_symbols() && generated_frequency(f) < 0))
        return failure(kInvalidRequest, "unknown frequency " + quoted(frequency));
    if (!symbols) return failure(kInvalidSymbol, "symbols is null");
    const bool every_symbol = std::string_view(symbols) == "*";
    std::vector<std::string_view> list;
    if (!every_symbol) {
        list = split_list(symbols);
        for (const std::string_view s : list)
            if (!prices.names_symbol(s)) return failure(kInvalidSymbol, "invalid symbol " + quoted(s));
    }
    for (auto it = subscriptions_.begin(); it != subscriptions_.end();) {
        if (every_frequency || it->first == f) {
            if (every_symbol) {
                it->second.clear();
            } else {
                for (const std::string_view s : list) it->second.erase(std::string(s));
            }
        }
        it = it->second.empty() ? subscriptions_.erase(it) : std::next(it);
    }
    return {};
}

void Subscriptions::restart(Prices& prices) {
    for (auto& [seconds, by_symbol] : subscriptions_)
        for (auto& entry : by_symbol) {
            entry.second = 0;
            prices.use(entry.first);
        }
}

}  // namespace standin::sim
