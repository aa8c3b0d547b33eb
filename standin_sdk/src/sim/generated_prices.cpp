#include "sim/generated_prices.hpp"

#include <algorithm>

namespace standin::sim {

std::uint64_t splitmix64(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

std::uint64_t fnv1a64(std::string_view bytes) {
    std::uint64_t h = 0xcbf29ce484222325ULL;
    for (const char c : bytes) {
        h ^= static_cast<unsigned char>(c);
        h *= 0x100000001b3ULL;
    }
    return h;
}

Rng::Rng(std::uint64_t seed) {
    for (auto& word : s_) word = splitmix64(seed);
}

std::uint64_t Rng::next() {
    const auto rotl = [](std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); };
    const std::uint64_t result = rotl(s_[1] * 5, 7) * 9;
    const std::uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = rotl(s_[3], 45);
    return result;
}

namespace {

constexpr std::int64_t kMicroPerCent = 10000;
constexpr std::int64_t kMinFair = kMicroPerCent;            // 0.01
constexpr std::int64_t kMaxFair = 1000000000000000LL / 100;  // 10 million: keeps fair x move in range
constexpr std::int64_t kMoveScale = 1LL << 27;               // a step moves about 0.028% (one sigma)

void start(Aggregate& a, std::int64_t price, std::int64_t volume, std::int64_t pre_close) {
    a = Aggregate{price, price, price, price, volume, price * volume, pre_close};
}

void add(Aggregate& a, std::int64_t price, std::int64_t volume) {
    a.high = std::max(a.high, price);
    a.low = std::min(a.low, price);
    a.close = price;
    a.volume += volume;
    a.amount += price * volume;
}

}  // namespace

Market::Market(std::uint64_t seed, std::string_view symbol) : rng_(splitmix64(seed) ^ fnv1a64(symbol)) {
    const std::int64_t cents = 500 + static_cast<std::int64_t>(rng_.next() % 9501);  // 5.00 .. 100.00
    fair_ = cents * kMicroPerCent;
    price_ = cents;
}

void Market::step(int index) {
    // The bars that ended with the previous step start again; the last step of a day
    // ends every bar, so the first step of a day restarts them all.
    const unsigned restart = bar_end_mask(index == 0 ? kStepsPerDay - 1 : index - 1);
    const std::int64_t before = price_;

    // A sum of four uniform 16-bit draws: close enough to a normal move, and exact.
    const std::uint64_t draw = rng_.next();
    std::int64_t z = 0;
    for (int k = 0; k < 4; ++k) z += static_cast<std::int16_t>(static_cast<std::uint16_t>(draw >> (16 * k)));
    fair_ = std::clamp(fair_ + fair_ * z / kMoveScale, kMinFair, kMaxFair);
    price_ = std::max<std::int64_t>(1, (fair_ + kMicroPerCent / 2) / kMicroPerCent);

    const std::uint64_t sizes = rng_.next();
    last_volume_ = static_cast<std::int64_t>(sizes % 50 + 1) * 100;
    bid_volume_ = static_cast<std::int64_t>((sizes >> 20) % 50 + 1) * 100;
    ask_volume_ = static_cast<std::int64_t>((sizes >> 40) % 50 + 1) * 100;

    if (index == 0) start(day_, price_, last_volume_, before);
    else add(day_, price_, last_volume_);
    for (int f = k60s; f < kFrequencyCount; ++f) {
        if (restart & (1u << f)) start(bars_[f], price_, last_volume_, before);
        else add(bars_[f], price_, last_volume_);
    }
    ++steps_;
}

}  // namespace standin::sim
