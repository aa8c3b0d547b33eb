#include "sim/replay.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "sim/calendar.hpp"
#include "sim/formats.hpp"

namespace standin::sim {

namespace {

double yuan(std::int64_t cents) { return static_cast<double>(cents) / 100.0; }

}  // namespace

void Replay::restart(std::int64_t start, std::int64_t end) {
    start_ = start;
    end_ = end;
    init_done_ = finished_ = false;
    phase_ = Phase::Between;
    stepped_ = false;
    file_part_ = 0;
    batch_.clear();
    delivered_ = 0;
}

bool Replay::next_event(Event& event, Parts& parts) {
    while (batch_.empty()) {
        if (finished_) return false;
        produce(parts);
    }
    event = std::move(batch_.front());
    batch_.pop_front();
    return true;
}

std::int64_t Replay::next_instant(const Parts& parts) const {
    const Prices& prices = parts.prices;
    const Subscriptions& subscriptions = parts.subscriptions;
    std::int64_t t;
    if (prices.file_mode()) {
        t = prices.next_bar_time();
    } else {
        // Steps nothing depends on (no open order to match, no tick to deliver, no bar of
        // a subscribed frequency ending) are skipped.
        unsigned bars = 0;
        for (int f = k60s; f < kFrequencyCount; ++f)
            if (subscriptions.subscribed(frequency_seconds(f))) bars |= 1u << f;
        // A short needs every step too: its margin is checked at each.
        t = prices.next_step_time(
            parts.account.any_open() || parts.account.has_short() || subscriptions.subscribed(0), bars);
    }
    return std::min(t, parts.scheduler.next_due());
}

// Produces one group of events: init, one group of the current instant, or the end.
void Replay::produce(Parts& parts) {
    Prices& prices = parts.prices;
    if (!init_done_) {
        init_done_ = true;
        push_event(batch_, "init", init_payload(start_));
        return;
    }
    if (phase_ == Phase::Between) {
        const std::int64_t t = next_instant(parts);
        if (t > end_) {
            finished_ = true;
            parts.clock = end_;
            prices.finish(end_);
            push_event(batch_, "backtest_finished", finished_payload(end_, delivered_));
            return;
        }
        instant_ = parts.clock = t;
        phase_ = Phase::Schedules;
        stepped_ = false;
        prices.skip_to(t);  // the paths are walked through skipped steps when next used
    }
    switch (phase_) {
        case Phase::Between: break;  // not reached: an instant was opened above
        case Phase::Schedules:
            parts.scheduler.fire_schedules(instant_, batch_);
            phase_ = Phase::Timer;
            break;
        case Phase::Timer:
            parts.scheduler.fire_timer(instant_, batch_);
            phase_ = Phase::UserTimers;
            break;
        case Phase::UserTimers:
            parts.scheduler.fire_user_timers(instant_, batch_);
            phase_ = Phase::Match;
            break;
        case Phase::Match:
            if (prices.file_mode()) {
                // A file bar is four price steps at its time, each matched in turn.
                match_file_step(parts);
                if (++file_part_ < 4) break;
                file_part_ = 0;
            } else if (prices.step_at(instant_)) {
                match_step(parts);
                stepped_ = true;
            }
            phase_ = Phase::Ticks;
            break;
        case Phase::Ticks:
            if (stepped_) emit_ticks(parts);
            phase_ = Phase::Bars;
            break;
        case Phase::Bars:
            if (stepped_ || prices.file_mode()) emit_bars(parts);
            phase_ = Phase::Between;
            break;
    }
}

// Symbols ascending, each symbol's orders oldest first.
void Replay::match_step(Parts& parts) {
    for (const std::string& symbol : parts.account.open_symbols())
        parts.account.match_symbol(symbol, parts.prices.step(symbol), parts.clock, batch_);
    parts.account.check_margin(parts.clock, batch_);
}

void Replay::match_file_step(Parts& parts) {
    file_stepped_.clear();  // kept between steps: its room is reused
    parts.prices.file_step(file_part_, instant_, file_stepped_);
    for (const std::string* symbol : file_stepped_)
        if (parts.account.has_open(*symbol))
            parts.account.match_symbol(*symbol, parts.prices.step(*symbol), parts.clock, batch_);
    parts.account.check_margin(parts.clock, batch_);
}

void Replay::emit_ticks(Parts& parts) {
    Prices& prices = parts.prices;
    const std::int64_t step = prices.steps_done() - 1;
    const TimeText at = format_time(instant_);
    const auto* ticks = parts.subscriptions.subscribed(0);
    if (!ticks) return;
    for (const auto& [symbol, from] : *ticks) {
        if (from > step) continue;
        const Market& m = prices.market(symbol);
        const Aggregate& day = m.day();
        push_event(batch_, "tick",
                   tick_payload(TickFields{symbol, at.view(), yuan(m.price()), yuan(day.open), yuan(day.high),
                                           yuan(day.low), day.volume, yuan(day.amount), m.last_volume(),
                                           yuan(m.price() * m.last_volume()),
                                           yuan(std::max<std::int64_t>(m.price() - 1, 1)), m.bid_volume(),
                                           yuan(m.price() + 1), m.ask_volume()}));
    }
}

void Replay::emit_bars(Parts& parts) {
    Prices& prices = parts.prices;
    const TimeText at = format_time(instant_);
    if (prices.file_mode()) {
        // A file bar's time is both its bob and its eob: the file says when the bar is.
        // By bar length ascending (daily bars last), then symbol.
        for (const auto& [seconds, symbols] : parts.subscriptions.by_length()) {
            if (seconds == 0) continue;
            const std::string frequency = frequency_text(seconds);
            for (const auto& entry : symbols) {
                double pre_close = 0;
                const FileBar* bar = prices.bar_at(entry.first, instant_, pre_close);
                if (!bar) continue;
                push_event(batch_, "bar",
                           bar_payload(BarFields{entry.first, frequency, at.view(), at.view(), bar->open, bar->high,
                                                 bar->low, bar->close, bar->volume, bar->amount, pre_close}));
            }
        }
        return;
    }
    const std::int64_t step = prices.steps_done() - 1;
    const int index = prices.last_step_index();
    const unsigned ends = bar_end_mask(index);
    if (!ends) return;
    const std::int64_t midnight = day_of(instant_) * kDayMs;
    for (int f = k60s; f < kFrequencyCount; ++f) {
        const auto* symbols = parts.subscriptions.subscribed(frequency_seconds(f));
        if (!(ends & (1u << f)) || !symbols) continue;
        const TimeText bob = format_time(midnight + bar_begin_offset_ms(f, index));
        for (const auto& [symbol, from] : *symbols) {
            if (from > step) continue;
            const Aggregate& bar = prices.market(symbol).bar(f);
            push_event(batch_, "bar",
                       bar_payload(BarFields{symbol, frequency_name(f), bob.view(), at.view(), yuan(bar.open),
                                             yuan(bar.high), yuan(bar.low), yuan(bar.close),
                                             static_cast<double>(bar.volume), yuan(bar.amount),
                                             yuan(bar.pre_close)}));
        }
    }
}

}  // namespace standin::sim
