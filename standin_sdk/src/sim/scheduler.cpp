#include "sim/scheduler.hpp"

#include <algorithm>
#include <optional>

#include "sim/calendar.hpp"
#include "sim/formats.hpp"
#include "sim/text.hpp"

namespace standin::sim {

void Scheduler::set_timer(std::int64_t interval, std::int64_t now) {
    timer_interval_ = interval > 0 ? interval : 0;
    timer_next_ = now + timer_interval_;
}

Status Scheduler::add_user_timer(std::int64_t period, std::int64_t delay, std::int64_t now, std::int64_t& id) {
    if (period <= 0) return failure(kInvalidRequest, "period must be above 0 ms");
    if (delay < 0) return failure(kInvalidRequest, "start_delay must be at least 0 ms");
    id = next_user_timer_++;
    user_timers_[id] = UserTimer{period, delay, now + delay};
    return {};
}

Status Scheduler::add_schedule(const char* date_rule, const char* time_rule, std::int64_t now) {
    Schedule s;
    if (!date_rule) return failure(kInvalidRequest, "date_rule is null");
    const std::string_view rule = date_rule;
    if (rule == "1d") s.rule = DateRule::Daily;
    else if (rule == "1w") s.rule = DateRule::Weekly;
    else if (rule == "1m") s.rule = DateRule::Monthly;
    else return failure(kInvalidRequest, "date_rule " + quoted(rule) + " is not 1d, 1w or 1m");
    if (!time_rule || !parse_time_of_day(time_rule, s.time_of_day))
        return failure(kInvalidRequest,
                       "time_rule " + (time_rule ? quoted(time_rule) : std::string("null")) + " is not HH:MM:SS");
    s.date_rule = date_rule;
    s.time_rule = time_rule;
    s.next = next_time(s, now);
    schedules_.push_back(std::move(s));
    return {};
}

void Scheduler::restart(std::int64_t start) {
    if (timer_interval_ > 0) timer_next_ = start + timer_interval_;
    for (auto& entry : user_timers_) entry.second.next = start + entry.second.delay;
    for (Schedule& s : schedules_) s.next = next_time(s, start);
}

std::int64_t Scheduler::next_time(const Schedule& s, std::int64_t from) {
    std::int64_t day = day_of(from);
    for (int i = 0; i < 64; ++i, ++day) {  // the next first trading day of a month is at most 34 days away
        if (!is_trading_day(day)) continue;
        if (s.rule == DateRule::Weekly && weekday(day) != 0) continue;
        if (s.rule == DateRule::Monthly) {
            int y, m, d;
            civil_from_days(day, y, m, d);
            // The month's first weekday: the 1st, or the Monday after a weekend 1st.
            if (d != 1 && !(weekday(day) == 0 && d <= 3)) continue;
        }
        const std::int64_t t = day * kDayMs + s.time_of_day;
        if (t >= from) return t;
    }
    return kNever;
}

std::int64_t Scheduler::next_due() const {
    std::int64_t t = kNever;
    for (const Schedule& s : schedules_) t = std::min(t, s.next);
    if (timer_interval_ > 0) t = std::min(t, timer_next_);
    for (const auto& entry : user_timers_) t = std::min(t, entry.second.next);
    return t;
}

// The time is formatted only when something fires: these run at every price step.
void Scheduler::fire_schedules(std::int64_t instant, std::deque<Event>& out) {
    std::optional<TimeText> at;
    for (Schedule& s : schedules_) {
        if (s.next > instant) continue;
        if (!at) at = format_time(instant);
        push_event(out, "schedule", schedule_payload(s.date_rule, s.time_rule, at->view()));
        s.next = next_time(s, instant + 1);
    }
}

void Scheduler::fire_timer(std::int64_t instant, std::deque<Event>& out) {
    if (timer_interval_ <= 0 || timer_next_ > instant) return;
    push_event(out, "timer", timer_payload(0, format_time(instant).view()));
    timer_next_ = instant + timer_interval_;
}

void Scheduler::fire_user_timers(std::int64_t instant, std::deque<Event>& out) {
    std::optional<TimeText> at;
    for (auto& [id, timer] : user_timers_) {
        if (timer.next > instant) continue;
        if (!at) at = format_time(instant);
        push_event(out, "user_timer", timer_payload(id, at->view()));
        timer.next = instant + timer.period;
    }
}

}  // namespace standin::sim
