// The replay: the events of a session, produced on demand from its parts. After init,
// each instant where something happens (a schedule or timer due, a price step something
// needs, a file bar) is replayed in phases, one group of events each, then
// backtest_finished at the end.
#ifndef ZVSDK_STANDIN_SIM_REPLAY_HPP
#define ZVSDK_STANDIN_SIM_REPLAY_HPP

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "sim/parts.hpp"
#include "types.hpp"

namespace standin::sim {

class Replay {
public:
    // A new session from `start` to `end`.
    void restart(std::int64_t start, std::int64_t end);
    // The next event; false when the session has finished.
    bool next_event(Event& event, Parts& parts);
    // Counts one event handed out by zvi_run/zvi_poll (for backtest_finished).
    void delivered() { ++delivered_; }

private:
    // The groups of one instant, in the order they are produced.
    enum class Phase {
        Between,     // no instant under way: the next one is looked for
        Schedules,   // schedules due
        Timer,       // the timer
        UserTimers,  // user timers due
        Match,       // the price step (a file bar's four, one per pass) and order matching
        Ticks,       // ticks of the step
        Bars,        // bars ending with it
    };

    std::int64_t next_instant(const Parts& parts) const;
    void produce(Parts& parts);
    void match_step(Parts& parts);
    void match_file_step(Parts& parts);
    void emit_ticks(Parts& parts);
    void emit_bars(Parts& parts);

    std::int64_t start_ = 0, end_ = 0;
    bool init_done_ = false, finished_ = false;
    std::int64_t instant_ = 0;
    Phase phase_ = Phase::Between;
    bool stepped_ = false;  // a generated price step happened at this pass over the instant
    int file_part_ = 0;     // the next of a file bar's four price steps
    std::deque<Event> batch_;
    std::int64_t delivered_ = 0;
    std::vector<const std::string*> file_stepped_;  // the symbols of a file step (keys of the price map)
};

}  // namespace standin::sim

#endif
