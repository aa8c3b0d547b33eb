// Dates, times and the trading calendar of the simulated market.
//
// Times are naive (no time zone) and kept as milliseconds since 1970-01-01 00:00:00, read
// as if UTC. Trading days are Monday to Friday, with no holidays; each has two sessions,
// 09:30-11:30 and 13:00-15:00, and a price step every 3 seconds: 09:30:03 ... 11:30:00
// and 13:00:03 ... 15:00:00, 4800 steps a day.
#ifndef ZVSDK_STANDIN_SIM_CALENDAR_HPP
#define ZVSDK_STANDIN_SIM_CALENDAR_HPP

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

namespace standin::sim {

// A time that never comes: nothing falls due.
constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();

constexpr std::int64_t kSecondMs = 1000;
constexpr std::int64_t kDayMs = 86400 * kSecondMs;
constexpr int kStepSeconds = 3;
constexpr int kStepsPerSession = 2400;
constexpr int kStepsPerDay = 2 * kStepsPerSession;
constexpr std::int64_t kMorningOpenMs = (9 * 3600 + 30 * 60) * kSecondMs;  // 09:30:00
constexpr std::int64_t kAfternoonOpenMs = 13 * 3600 * kSecondMs;           // 13:00:00

// Days since 1970-01-01 of a proleptic Gregorian date, and back.
std::int64_t days_from_civil(int year, int month, int day);
void civil_from_days(std::int64_t days, int& year, int& month, int& day);
// 0 = Monday ... 6 = Sunday.
int weekday(std::int64_t days);
inline bool is_trading_day(std::int64_t days) { return weekday(days) < 5; }
// Floor division, for times before 1970 as well.
inline std::int64_t floor_div(std::int64_t a, std::int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }
inline std::int64_t day_of(std::int64_t ms) { return floor_div(ms, kDayMs); }

// "YYYY-MM-DD" or "YYYY-MM-DD HH:MM:SS" (year 0001-9999). A date alone is the start of
// that day, or its last second when end_of_day.
bool parse_time(std::string_view text, bool end_of_day, std::int64_t& ms);
// "HH:MM:SS" as milliseconds after midnight.
bool parse_time_of_day(std::string_view text, std::int64_t& ms);
// "YYYY-MM-DD HH:MM:SS" (milliseconds are dropped), kept in place: no allocation.
struct TimeText {
    char text[19];
    std::string_view view() const { return {text, sizeof text}; }
};
TimeText format_time(std::int64_t ms);

// Milliseconds after midnight of the step with that index within its day (0..4799).
inline std::int64_t step_offset_ms(int index) {
    return index < kStepsPerSession ? kMorningOpenMs + (index + 1) * kStepSeconds * kSecondMs
                                    : kAfternoonOpenMs + (index - kStepsPerSession + 1) * kStepSeconds * kSecondMs;
}

// The trading day k trading days after `origin` (itself a trading day).
std::int64_t add_trading_days(std::int64_t origin, std::int64_t k);

// Price steps are numbered from 0, the first step of the trading day `origin`.
// The time of a step, and how many steps come before a time.
std::int64_t step_time(std::int64_t origin, std::int64_t step);
std::int64_t steps_before(std::int64_t origin, std::int64_t time);

// Bar frequencies, in the order bars of one instant are delivered.
enum Frequency : int { kTick = 0, k60s, k300s, k900s, k1800s, k3600s, k1d, kFrequencyCount };
constexpr int kBarSeconds[kFrequencyCount] = {0, 60, 300, 900, 1800, 3600, 0};
const char* frequency_name(int frequency);
// The canonical frequency of a name ("60s", "1m", ...), or -1.
int parse_frequency(std::string_view name);

// Subscriptions name a bar length in seconds: 0 for ticks, kDailySeconds for daily bars,
// and for the bars of data files any whole number of seconds in between.
constexpr int kDailySeconds = 86400;
inline int frequency_seconds(int frequency) { return frequency == k1d ? kDailySeconds : kBarSeconds[frequency]; }
// The seconds of a name: "tick", "1d", "<N>s" with N from 1 to 86399 written without
// leading zeros, or an alias ("1m", "5m", "15m", "30m", "1h"); -1 for anything else.
int parse_frequency_seconds(std::string_view name);
// The canonical name of a length in seconds: "tick", "<N>s" or "1d".
std::string frequency_text(int seconds);
// The generated-price Frequency of a length in seconds, or -1 when generated prices have none.
int generated_frequency(int seconds);
// Bit f set: the bar of frequency f ends with the step of that index.
unsigned bar_end_mask(int index);
// Steps from the step of that index (0 when it is one) to the next step that ends a bar
// of a frequency in the mask (bars of 60s to 1d; one of them ends every day).
int steps_to_bar_end(int index, unsigned bars);
// Milliseconds after midnight where the bar ending with the step of that index began.
std::int64_t bar_begin_offset_ms(int frequency, int index);

}  // namespace standin::sim

#endif
