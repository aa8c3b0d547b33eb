// The strategy's subscriptions: by bar length in seconds (0 ticks, kDailySeconds daily
// bars), each symbol with the first generated price step replayed for it. They survive
// reconfiguration.
#ifndef ZVSDK_STANDIN_SIM_SUBSCRIPTIONS_HPP
#define ZVSDK_STANDIN_SIM_SUBSCRIPTIONS_HPP

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "sim/prices.hpp"
#include "sim/status.hpp"

namespace standin::sim {

class Subscriptions {
public:
    using Symbols = std::map<std::string, std::int64_t>;  // symbol -> its first replayed step

    // The calls, with their arguments as received. Symbols and frequencies follow the
    // price source: any whole number of seconds names the bars of a data file, which
    // replays only its own; generated prices have their fixed set.
    Status subscribe(const char* symbols, const char* frequency, bool unsubscribe_previous, Prices& prices);
    Status unsubscribe(const char* symbols, const char* frequency, const Prices& prices);

    // A new session: every subscription starts with its first step, its symbol in use.
    void restart(Prices& prices);
    // The subscribed symbols of a bar length (seconds, 0 for ticks), or null when there are none.
    const Symbols* subscribed(int seconds) const;
    // All of them, by bar length ascending.
    const std::map<int, Symbols>& by_length() const { return subscriptions_; }

private:
    static Status check(std::string_view symbol, int seconds, Prices& prices);

    std::map<int, Symbols> subscriptions_;
};

}  // namespace standin::sim

#endif
