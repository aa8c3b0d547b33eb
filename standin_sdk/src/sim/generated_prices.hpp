// The simulated price path of one symbol.
//
// A path is a pure function of the seed and the symbol: its generator is seeded from the
// seed mixed with the symbol's FNV-1a hash, and the path is walked step by step from the
// first price step of the session's first trading day. The walk is a random walk on a
// fair value kept in millionths (about 2% volatility a day, all in integer arithmetic),
// quoted rounded to the 0.01 tick and never below 0.01; each step trades a volume of
// 100 to 5000 shares in lots of 100.
#ifndef ZVSDK_STANDIN_SIM_GENERATED_PRICES_HPP
#define ZVSDK_STANDIN_SIM_GENERATED_PRICES_HPP

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "sim/calendar.hpp"

namespace standin::sim {

std::uint64_t splitmix64(std::uint64_t& state);
std::uint64_t fnv1a64(std::string_view bytes);

// xoshiro256**, seeded through splitmix64.
class Rng {
public:
    explicit Rng(std::uint64_t seed);
    std::uint64_t next();

private:
    std::uint64_t s_[4];
};

// Open, high, low and close in cents; volume in shares; amount in cents x shares.
struct Aggregate {
    std::int64_t open = 0, high = 0, low = 0, close = 0;
    std::int64_t volume = 0, amount = 0;
    std::int64_t pre_close = 0;  // the price before the first step aggregated
};

class Market {
public:
    Market(std::uint64_t seed, std::string_view symbol);

    // Walks one price step, the one with that index within its day.
    void step(int index);

    std::int64_t steps() const { return steps_; }
    std::int64_t price() const { return price_; }  // cents
    std::int64_t last_volume() const { return last_volume_; }
    std::int64_t bid_volume() const { return bid_volume_; }
    std::int64_t ask_volume() const { return ask_volume_; }
    const Aggregate& day() const { return day_; }  // the current day so far
    const Aggregate& bar(int frequency) const { return bars_[frequency]; }  // the bar in progress, or just ended

private:
    Rng rng_;
    std::int64_t fair_;  // millionths
    std::int64_t price_;
    std::int64_t last_volume_ = 0, bid_volume_ = 0, ask_volume_ = 0;
    std::int64_t steps_ = 0;
    Aggregate day_;
    Aggregate bars_[kFrequencyCount];
};

}  // namespace standin::sim

#endif
