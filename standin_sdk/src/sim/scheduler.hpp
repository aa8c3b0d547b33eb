// Timers and schedules in simulated time: the session's timer, the user timers and the
// date/time-rule schedules, each with the next time it falls due.
#ifndef ZVSDK_STANDIN_SIM_SCHEDULER_HPP
#define ZVSDK_STANDIN_SIM_SCHEDULER_HPP

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "sim/calendar.hpp"
#include "sim/status.hpp"
#include "types.hpp"

namespace standin::sim {

class Scheduler {
public:
    // zvi_set_timer: every `interval` ms from now; 0 or less turns it off.
    void set_timer(std::int64_t interval, std::int64_t now);
    // zvi_user_timer: the new id, or a failure when the period or delay is out of range.
    Status add_user_timer(std::int64_t period, std::int64_t delay, std::int64_t now, std::int64_t& id);
    void stop_user_timer(std::int64_t id) { user_timers_.erase(id); }
    // zvi_schedule with its rules as received (null pointers included).
    Status add_schedule(const char* date_rule, const char* time_rule, std::int64_t now);

    // A new session: everything falls due again from its start.
    void restart(std::int64_t start);
    // The earliest time anything falls due, or kNever.
    std::int64_t next_due() const;

    // The events of each group that fall due at `instant`, in delivery order; what fired
    // is re-armed.
    void fire_schedules(std::int64_t instant, std::deque<Event>& out);
    void fire_timer(std::int64_t instant, std::deque<Event>& out);
    void fire_user_timers(std::int64_t instant, std::deque<Event>& out);

private:
    enum class DateRule { Daily, Weekly, Monthly };
    struct Schedule {
        DateRule rule;
        std::string date_rule, time_rule;
        std::int64_t time_of_day;
        std::int64_t next;
    };
    struct UserTimer {
        std::int64_t period, delay, next;
    };
    static std::int64_t next_time(const Schedule& s, std::int64_t from);

    std::int64_t timer_interval_ = 0, timer_next_ = 0;
    std::map<std::int64_t, UserTimer> user_timers_;
    std::int64_t next_user_timer_ = 1;
    std::vector<Schedule> schedules_;
};

}  // namespace standin::sim

#endif
