#include "sim/calendar.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <utility>

namespace standin::sim {

// Howard Hinnant's civil-calendar algorithms, exact for every proleptic Gregorian date.
std::int64_t days_from_civil(int year, int month, int day) {
    const std::int64_t y = static_cast<std::int64_t>(year) - (month <= 2);
    const std::int64_t era = floor_div(y, 400);
    const std::int64_t yoe = y - era * 400;
    const std::int64_t mp = (month + 9) % 12;
    const std::int64_t doy = (153 * mp + 2) / 5 + day - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void civil_from_days(std::int64_t days, int& year, int& month, int& day) {
    const std::int64_t z = days + 719468;
    const std::int64_t era = floor_div(z, 146097);
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = static_cast<int>(yoe + era * 400 + (month <= 2));
}

int weekday(std::int64_t days) {
    return static_cast<int>(days + 3 - floor_div(days + 3, 7) * 7);  // 1970-01-01 was a Thursday
}

namespace {

bool digits(std::string_view s, std::size_t at, std::size_t n, int& out) {
    if (at + n > s.size()) return false;
    out = 0;
    for (std::size_t i = at; i < at + n; ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        out = out * 10 + (s[i] - '0');
    }
    return true;
}

bool leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int days_in_month(int y, int m) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && leap(y) ? 29 : days[m - 1];
}

bool clock_of(std::string_view s, std::size_t at, std::int64_t& ms) {
    int h, mi, se;
    if (s.size() != at + 8 || !digits(s, at, 2, h) || s[at + 2] != ':' || !digits(s, at + 3, 2, mi) ||
        s[at + 5] != ':' || !digits(s, at + 6, 2, se))
        return false;
    if (h > 23 || mi > 59 || se > 59) return false;
    ms = ((h * 60 + mi) * 60 + se) * kSecondMs;
    return true;
}

char* two(char* out, int v) {
    out[0] = static_cast<char>('0' + v / 10 % 10);
    out[1] = static_cast<char>('0' + v % 10);
    return out + 2;
}

}  // namespace

bool parse_time(std::string_view s, bool end_of_day, std::int64_t& ms) {
    int y, m, d;
    if (s.size() < 10 || !digits(s, 0, 4, y) || s[4] != '-' || !digits(s, 5, 2, m) || s[7] != '-' ||
        !digits(s, 8, 2, d))
        return false;
    if (y < 1 || m < 1 || m > 12 || d < 1 || d > days_in_month(y, m)) return false;
    std::int64_t within = end_of_day ? kDayMs - kSecondMs : 0;
    if (s.size() > 10 && (s[10] != ' ' || !clock_of(s, 11, within))) return false;
    ms = days_from_civil(y, m, d) * kDayMs + within;
    return true;
}

bool parse_time_of_day(std::string_view text, std::int64_t& ms) { return clock_of(text, 0, ms); }

TimeText format_time(std::int64_t ms) {
    const std::int64_t days = day_of(ms);
    const int secs = static_cast<int>((ms - days * kDayMs) / kSecondMs);
    int y, m, d;
    civil_from_days(days, y, m, d);
    TimeText t;
    char* p = two(two(t.text, y / 100), y % 100);
    *p++ = '-';
    p = two(p, m);
    *p++ = '-';
    p = two(p, d);
    *p++ = ' ';
    p = two(p, secs / 3600);
    *p++ = ':';
    p = two(p, secs / 60 % 60);
    *p++ = ':';
    two(p, secs % 60);
    return t;
}

std::int64_t add_trading_days(std::int64_t origin, std::int64_t k) {
    const std::int64_t w = weekday(origin);  // 0..4
    const std::int64_t total = w + k;
    return origin - w + total / 5 * 7 + total % 5;
}

std::int64_t step_time(std::int64_t origin, std::int64_t step) {
    return add_trading_days(origin, step / kStepsPerDay) * kDayMs + step_offset_ms(static_cast<int>(step % kStepsPerDay));
}

namespace {

// The steps of one trading day before that many milliseconds after midnight.
std::int64_t steps_in_day_before(std::int64_t offset) {
    const auto session = [&](std::int64_t open) {
        if (offset <= open) return std::int64_t{0};
        return std::min<std::int64_t>(kStepsPerSession, (offset - open - 1) / (kStepSeconds * kSecondMs));
    };
    return session(kMorningOpenMs) + session(kAfternoonOpenMs);
}

// Trading days in [from, to), `from` a trading day.
std::int64_t trading_days_between(std::int64_t from, std::int64_t to) {
    if (to <= from) return 0;
    const std::int64_t weeks = (to - from) / 7;
    std::int64_t n = weeks * 5;
    for (std::int64_t d = from + weeks * 7; d < to; ++d) n += is_trading_day(d);
    return n;
}

}  // namespace

std::int64_t steps_before(std::int64_t origin, std::int64_t time) {
    const std::int64_t day = day_of(time);
    if (day < origin) return 0;
    std::int64_t n = trading_days_between(origin, day) * kStepsPerDay;
    if (is_trading_day(day)) n += steps_in_day_before(time - day * kDayMs);
    return n;
}

const char* frequency_name(int f) {
    static const char* const names[kFrequencyCount] = {"tick", "60s", "300s", "900s", "1800s", "3600s", "1d"};
    return f >= 0 && f < kFrequencyCount ? names[f] : "";
}

int parse_frequency(std::string_view name) {
    static const std::pair<std::string_view, int> table[] = {
        {"tick", kTick}, {"60s", k60s},   {"300s", k300s},   {"900s", k900s}, {"1800s", k1800s}, {"3600s", k3600s},
        {"1d", k1d},     {"1m", k60s},    {"5m", k300s},     {"15m", k900s},  {"30m", k1800s},   {"1h", k3600s},
    };
    for (const auto& [text, f] : table)
        if (name == text) return f;
    return -1;
}

int parse_frequency_seconds(std::string_view name) {
    const int f = parse_frequency(name);
    if (f >= 0) return frequency_seconds(f);
    if (name.size() < 2 || name.back() != 's' || name.front() == '0') return -1;
    int seconds = 0;
    const auto res = std::from_chars(name.data(), name.data() + name.size() - 1, seconds);
    if (res.ec != std::errc() || res.ptr != name.data() + name.size() - 1 || seconds < 1 || seconds >= kDailySeconds)
        return -1;
    return seconds;
}

std::string frequency_text(int seconds) {
    if (seconds == 0) return "tick";
    if (seconds == kDailySeconds) return "1d";
    return std::to_string(seconds) + "s";
}

int generated_frequency(int seconds) {
    for (int f = kTick; f < kFrequencyCount; ++f)
        if (frequency_seconds(f) == seconds) return f;
    return -1;
}

namespace {

std::array<unsigned char, kStepsPerDay> make_masks() {
    std::array<unsigned char, kStepsPerDay> masks{};
    for (int i = 0; i < kStepsPerDay; ++i) {
        // Seconds since the step's session opened; every bar length divides a session.
        const int since_open = (i % kStepsPerSession + 1) * kStepSeconds;
        unsigned mask = 0;
        for (int f = k60s; f <= k3600s; ++f)
            if (since_open % kBarSeconds[f] == 0) mask |= 1u << f;
        if (i == kStepsPerDay - 1) mask |= 1u << k1d;
        masks[i] = static_cast<unsigned char>(mask);
    }
    return masks;
}

}  // namespace

unsigned bar_end_mask(int index) {
    static const std::array<unsigned char, kStepsPerDay> masks = make_masks();
    return masks[index];
}

namespace {

// For each bar frequency and step index, the steps to the next step ending such a bar:
// walked backwards over two days, so that the day's last ends see the next day's first.
using EndDistances = std::array<std::array<std::uint16_t, kStepsPerDay>, kFrequencyCount>;

EndDistances make_end_distances() {
    EndDistances distances{};
    for (int f = k60s; f < kFrequencyCount; ++f) {
        int next = 2 * kStepsPerDay;
        for (int i = 2 * kStepsPerDay - 1; i >= 0; --i) {
            if (bar_end_mask(i % kStepsPerDay) & (1u << f)) next = i;
            if (i < kStepsPerDay) distances[f][i] = static_cast<std::uint16_t>(next - i);
        }
    }
    return distances;
}

}  // namespace

int steps_to_bar_end(int index, unsigned bars) {
    static const EndDistances distances = make_end_distances();
    int steps = kStepsPerDay;
    for (int f = k60s; f < kFrequencyCount; ++f)
        if (bars & (1u << f)) steps = std::min<int>(steps, distances[f][index]);
    return steps;
}

std::int64_t bar_begin_offset_ms(int frequency, int index) {
    if (frequency == k1d) return kMorningOpenMs;
    return step_offset_ms(index) - kBarSeconds[frequency] * kSecondMs;
}

}  // namespace standin::sim
