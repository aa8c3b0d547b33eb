// The parts of a simulated session, which the routing table (sim/routes.hpp) hands the
// calls to and the replay (sim/replay.hpp) walks. Each keeps its own state; the clock is
// the session's simulated time.
#ifndef ZVSDK_STANDIN_SIM_PARTS_HPP
#define ZVSDK_STANDIN_SIM_PARTS_HPP

#include <cstdint>

#include "sim/account.hpp"
#include "sim/prices.hpp"
#include "sim/scheduler.hpp"
#include "sim/stores.hpp"
#include "sim/subscriptions.hpp"

namespace standin::sim {

struct Parts {
    std::int64_t clock = 0;
    Prices prices;
    Account account;
    // what the strategy set up; survives reconfiguration
    Subscriptions subscriptions;
    Scheduler scheduler;
    Bus bus;
    Parameters parameters;
    Pools pools;
};

}  // namespace standin::sim

#endif
