#include "sim/bar_files.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <fstream>

#include "sim/calendar.hpp"
#include "sim/text.hpp"

namespace standin::sim {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kBlanks = " \t\r";

// The fields of a line into `fields` (its room reused from line to line).
void split_fields(std::string_view line, char separator, std::vector<std::string_view>& fields) {
    fields.clear();
    std::size_t at = 0;
    for (;;) {
        const std::size_t end = line.find(separator, at);
        fields.push_back(trim(line.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at), kBlanks));
        if (end == std::string_view::npos) return;
        at = end + 1;
    }
}

// A column name as matched: lower case, without spaces and underscores ("Adj Close" ->
// "adjclose").
std::string squeezed(std::string_view s) {
    std::string out;
    for (char c : s) {
        if (c == ' ' || c == '_') continue;
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        out += c;
    }
    return out;
}

// A plain decimal number; with `decimal_comma`, a comma stands for the decimal point.
bool parse_number(std::string_view text, bool decimal_comma, double& out) {
    std::string copy;
    if (decimal_comma && text.find(',') != std::string_view::npos) {
        copy.assign(text);
        std::replace(copy.begin(), copy.end(), ',', '.');
        text = copy;
    }
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    const auto res = std::from_chars(text.data(), text.data() + text.size(), out);
    return !text.empty() && res.ec == std::errc() && res.ptr == text.data() + text.size() && std::isfinite(out);
}

bool two_digits(std::string_view s, std::size_t at, int& out) {
    if (at + 2 > s.size() || s[at] < '0' || s[at] > '9' || s[at + 1] < '0' || s[at + 1] > '9') return false;
    out = (s[at] - '0') * 10 + (s[at + 1] - '0');
    return true;
}

enum class TimeForm { kBad, kFraction, kDate, kDateTime };

// A bar's time: YYYY-MM-DD, or YYYY-MM-DD[ T]HH:MM[:SS[.000...]][Z|+HH:MM|+HHMM|+HH].
// `ms` is the time in UTC when an offset is given (`offset` set), else the naive time.
TimeForm parse_bar_time(std::string_view s, std::int64_t& ms, bool& offset) {
    offset = false;
    if (s.size() < 10 || !parse_time(s.substr(0, 10), false, ms)) return TimeForm::kBad;
    if (s.size() == 10) return TimeForm::kDate;
    int h, mi, se = 0;
    if ((s[10] != ' ' && s[10] != 'T') || !two_digits(s, 11, h) || s.size() < 16 || s[13] != ':' ||
        !two_digits(s, 14, mi) || h > 23 || mi > 59)
        return TimeForm::kBad;
    std::size_t at = 16;
    if (at < s.size() && s[at] == ':') {
        if (!two_digits(s, at + 1, se) || se > 59) return TimeForm::kBad;
        at += 3;
        if (at < s.size() && s[at] == '.') {
            const std::size_t digits = s.find_first_not_of("0123456789", at + 1);
            const std::string_view fraction = s.substr(at + 1, digits == std::string_view::npos ? std::string_view::npos
                                                                                              : digits - at - 1);
            if (fraction.empty()) return TimeForm::kBad;
            if (fraction.find_first_not_of('0') != std::string_view::npos) return TimeForm::kFraction;
            at += 1 + fraction.size();
        }
    }
    ms += ((h * 60 + mi) * 60 + se) * kSecondMs;
    if (at == s.size()) return TimeForm::kDateTime;
    const std::string_view zone = s.substr(at);
    if (zone == "Z") {
        offset = true;
        return TimeForm::kDateTime;
    }
    int oh, om = 0;
    if ((zone[0] != '+' && zone[0] != '-') || !two_digits(zone, 1, oh)) return TimeForm::kBad;
    if (zone.size() == 6 && zone[3] == ':') {
        if (!two_digits(zone, 4, om)) return TimeForm::kBad;
    } else if (zone.size() == 5) {
        if (!two_digits(zone, 3, om)) return TimeForm::kBad;
    } else if (zone.size() != 3) {
        return TimeForm::kBad;
    }
    if (oh > 23 || om > 59) return TimeForm::kBad;
    const std::int64_t shift = (oh * 60 + om) * 60 * kSecondMs;
    ms -= zone[0] == '+' ? shift : -shift;
    offset = true;
    return TimeForm::kDateTime;
}

enum Column { kDate, kOpen, kHigh, kLow, kClose, kVolume, kAmount, kAdjClose, kColumns };
constexpr const char* kColumnNames[kColumns] = {"Date", "Open", "High", "Low", "Close", "Volume", "Amount",
                                                 "Adj Close"};
// How a message names a row's value.
constexpr const char* kValueNames[kColumns] = {"time", "open", "high", "low", "close", "volume", "amount",
                                                "adjusted close"};

int column_of(const std::string& name) {
    if (name == "date" || name == "datetime" || name == "time" || name == "timestamp") return kDate;
    if (name == "open") return kOpen;
    if (name == "high") return kHigh;
    if (name == "low") return kLow;
    if (name == "close") return kClose;
    if (name == "volume") return kVolume;
    if (name == "amount") return kAmount;
    if (name == "adjclose" || name == "adjustedclose") return kAdjClose;
    return -1;
}

std::string text_of(std::string_view s) { return std::string(s); }

}  // namespace

bool read_bar_file(const std::string& path, BarSeries& out, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + " cannot be opened for reading";
        return false;
    }
    const auto fail = [&](std::size_t line, const std::string& why) {
        error = path + ", line " + std::to_string(line) + ": " + why;
        return false;
    };
    // The rows are counted first, so that the bars get their room once: a vector grown
    // by doubling would hold up to twice what it needs, and copies of itself while it grows.
    std::size_t rows = 0;
    {
        char chunk[1 << 16];
        while (in.read(chunk, sizeof chunk) || in.gcount() > 0)
            rows += static_cast<std::size_t>(std::count(chunk, chunk + in.gcount(), '\n'));
        in.clear();
        in.seekg(0);
    }
    std::string line;
    std::size_t number = 0;
    if (!std::getline(in, line))
        return fail(1, "the file is empty; its first line must name the columns (Date, Open, High, Low, Close)");
    ++number;
    if (line.size() >= 3 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);  // a UTF-8 byte order mark

    // The separator: a semicolon when the header has more of them than commas.
    const char separator =
        std::count(line.begin(), line.end(), ';') > std::count(line.begin(), line.end(), ',') ? ';' : ',';
    const bool decimal_comma = separator == ';';

    int columns[kColumns];
    std::fill(std::begin(columns), std::end(columns), -1);
    std::vector<std::string_view> header;
    split_fields(line, separator, header);
    for (std::size_t i = 0; i < header.size(); ++i) {
        const int c = column_of(squeezed(header[i]));
        if (c < 0) continue;
        if (columns[c] >= 0)
            return fail(1, std::string("two columns name the ") + kValueNames[c] + ": " +
                               sim::quoted(header[static_cast<std::size_t>(columns[c])]) + " and " +
                               sim::quoted(header[i]) +
                               (c == kDate ? " (a date and its time of day go in one column)" : ""));
        columns[c] = static_cast<int>(i);
    }
    // An unnamed first column (a pandas index) is the time only when no column names it.
    if (columns[kDate] < 0 && !header.empty() && header[0].empty()) columns[kDate] = 0;
    for (int c = kDate; c <= kClose; ++c)
        if (columns[c] < 0)
            return fail(1, std::string("no ") + kColumnNames[c] +
                               " column: the first line must name the columns Date (or Datetime, Time, Timestamp), "
                               "Open, High, Low and Close (Volume, Amount and Adj Close are optional), separated by "
                               "commas or semicolons");
    int last_column = 0;
    for (int c = 0; c < kColumns; ++c)
        if (columns[c] > columns[last_column]) last_column = c;
    const std::size_t needed = static_cast<std::size_t>(columns[last_column]) + 1;

    out = BarSeries{};
    out.path = path;
    out.has_volume = columns[kVolume] >= 0;
    out.has_amount = columns[kAmount] >= 0;
    out.has_adj_close = columns[kAdjClose] >= 0;
    out.bars.reserve(rows);  // the header's newline stands for a last row without one
    bool all_dates = true;
    int direction = 0;  // 1 ascending, -1 descending, 0 not known yet
    std::size_t first_line = 0, previous_line = 0;
    std::string first_time, previous_time;
    std::vector<std::string_view> fields;
    while (std::getline(in, line)) {
        ++number;
        if (trim(line, kBlanks).empty()) continue;
        split_fields(line, separator, fields);
        if (fields.size() < needed)
            return fail(number, "the row has " + std::to_string(fields.size()) + " field" +
                                    (fields.size() == 1 ? "" : "s") + ", but the " + kColumnNames[last_column] +
                                    " column is field " + std::to_string(needed));
        const auto field = [&](int c) { return fields[static_cast<std::size_t>(columns[c])]; };
        FileBar bar{};
        bool offset = false;
        const std::string_view when = field(kDate);
        switch (parse_bar_time(when, bar.time, offset)) {
            case TimeForm::kBad:
                return fail(number, "the time " + sim::quoted(when) +
                                        " is not YYYY-MM-DD or YYYY-MM-DD HH:MM:SS (HH:MM, a T for the space and a UTC "
                                        "offset such as +00:00 or Z may be given)");
            case TimeForm::kFraction:
                return fail(number, "the time " + sim::quoted(when) +
                                        " has a fraction of a second: bar times are read in whole seconds; round "
                                        "them to the second");
            case TimeForm::kDate: break;
            case TimeForm::kDateTime: all_dates = false; break;
        }
        if (out.bars.empty()) {
            out.utc_offset = offset;
            first_line = number;
            first_time.assign(when);
        } else if (offset != out.utc_offset) {
            return fail(number, "the time " + sim::quoted(when) + (offset ? " has a UTC offset, but the time " : " has no UTC offset, but the time ") +
                                    sim::quoted(first_time) + " on line " + std::to_string(first_line) +
                                    (offset ? " has none" : " has one") +
                                    ": give every time of the file a UTC offset, or none");
        }
        double* const targets[kColumns] = {nullptr,     &bar.open,   &bar.high,   &bar.low,
                                           &bar.close,  &bar.volume, &bar.amount, &bar.adj_close};
        for (int c = kOpen; c < kColumns; ++c) {
            if (columns[c] < 0) continue;
            const std::string_view text = field(c);
            if (text.empty()) return fail(number, std::string("the ") + kValueNames[c] + " is missing (an empty field)");
            if (!parse_number(text, decimal_comma, *targets[c]))
                return fail(number, std::string("the ") + kValueNames[c] + " " + sim::quoted(text) + " is not a number");
        }
        for (int c : {kOpen, kHigh, kLow, kClose, kAdjClose})
            if (columns[c] >= 0 && !(*targets[c] > 0))
                return fail(number, std::string("the ") + kValueNames[c] + " " + text_of(field(c)) + " is not above 0");
        const auto bound = [&](int c, int limit, bool above) {
            return fail(number, std::string("the ") + kValueNames[c] + " " + text_of(field(c)) +
                                    (above ? " is above the " : " is below the ") + kValueNames[limit] + " " +
                                    text_of(field(limit)));
        };
        if (bar.high < bar.low) return bound(kHigh, kLow, false);
        if (bar.open > bar.high) return bound(kOpen, kHigh, true);
        if (bar.open < bar.low) return bound(kOpen, kLow, false);
        if (bar.close > bar.high) return bound(kClose, kHigh, true);
        if (bar.close < bar.low) return bound(kClose, kLow, false);
        for (int c : {kVolume, kAmount})
            if (columns[c] >= 0 && *targets[c] < 0)
                return fail(number, std::string("the ") + kValueNames[c] + " " + text_of(field(c)) + " is below 0");
        if (columns[kAmount] < 0) bar.amount = bar.close * bar.volume;

        if (!out.bars.empty()) {
            const std::int64_t before = out.bars.back().time;
            const auto then = [&] { return sim::quoted(previous_time) + " on line " + std::to_string(previous_line); };
            if (bar.time == before)
                return fail(number, "the time " + sim::quoted(when) + " repeats " + then() +
                                        ": a file holds one row per time");
            const int step = bar.time > before ? 1 : -1;
            if (direction == 0) direction = step;
            if (step != direction)
                return fail(number, "the time " + sim::quoted(when) + " comes " + (step > 0 ? "after " : "before ") +
                                        then() + ", but the rows above are in " +
                                        (direction > 0 ? "ascending" : "descending") +
                                        " time order: the rows must be all in ascending (or all in descending) "
                                        "time order");
        }
        previous_line = number;
        previous_time.assign(when);
        out.bars.push_back(bar);
    }
    if (in.bad()) return fail(number, "the file could not be read to its end");
    if (out.bars.empty()) {
        error = path + " holds no bars: no row follows the line that names the columns";
        return false;
    }
    if (direction < 0) {
        std::reverse(out.bars.begin(), out.bars.end());
        out.descending = true;
    }
    // The bar length: one a day (dates alone, or never two rows on one day), or the
    // smallest spacing of two rows on one day.
    std::int64_t spacing = 0;
    if (!all_dates)
        for (std::size_t i = 1; i < out.bars.size(); ++i) {
            if (day_of(out.bars[i].time) != day_of(out.bars[i - 1].time)) continue;
            const std::int64_t gap = out.bars[i].time - out.bars[i - 1].time;
            if (spacing == 0 || gap < spacing) spacing = gap;
        }
    out.bar_seconds = spacing == 0 ? kDailySeconds : static_cast<int>(spacing / kSecondMs);
    return true;
}

BarSeries adjusted_series(const BarSeries& raw) {
    BarSeries out = raw;
    for (FileBar& bar : out.bars) {
        const double factor = bar.adj_close / bar.close;
        // The scaled high and low still bound the scaled open and the adjusted close,
        // whatever the rounding.
        bar.high = std::max(bar.high * factor, bar.adj_close);
        bar.low = std::min(bar.low * factor, bar.adj_close);
        bar.open = std::min(std::max(bar.open * factor, bar.low), bar.high);
        bar.close = bar.adj_close;
        if (!out.has_amount) bar.amount = bar.close * bar.volume;
    }
    return out;
}

bool BarFiles::plausible_symbol(std::string_view symbol) {
    if (symbol.empty() || symbol.front() == '.') return false;
    for (const char c : symbol)
        if (c == '/' || c == '\\' || c == ',' || static_cast<unsigned char>(c) < 0x20) return false;
    return true;
}

bool BarFiles::open(const std::string& path, std::string& error) {
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    bool folder = false;
    if (!ec && fs::is_directory(status)) {
        folder = true;
    } else if (ec || !fs::is_regular_file(status)) {
        error = "data path \"" + path + "\" is neither a CSV file nor a folder";
        return false;
    }
    if (path != path_ || folder != folder_) {
        cache_.clear();
        adjusted_.clear();
    }
    path_ = path;
    folder_ = folder;
    single_symbol_ = folder ? std::string() : fs::path(path).stem().string();
    return true;
}

std::shared_ptr<const BarSeries> BarFiles::series(std::string_view symbol, std::string& error, bool adjusted) {
    if (adjusted) {
        const auto it = adjusted_.find(symbol);
        if (it != adjusted_.end()) return it->second;
        const std::shared_ptr<const BarSeries> raw = series(symbol, error, false);
        if (!raw) return nullptr;
        if (!raw->has_adj_close) {
            error = raw->path + " has no Adj Close column: adjust 1 trades on adjusted prices; add the column, or "
                                "configure with adjust 0 for the prices as they are";
            return nullptr;
        }
        return adjusted_.emplace(std::string(symbol), std::make_shared<BarSeries>(adjusted_series(*raw)))
            .first->second;
    }
    const auto it = cache_.find(symbol);
    if (it != cache_.end()) return it->second;
    std::string file;
    if (folder_) {
        if (plausible_symbol(symbol)) file = (fs::path(path_) / (std::string(symbol) + ".csv")).string();
        std::error_code ec;
        if (file.empty() || !fs::is_regular_file(file, ec)) {
            error = "no data for symbol \"" + std::string(symbol) + "\": no file " + std::string(symbol) +
                    ".csv in " + path_;
            return nullptr;
        }
    } else {
        if (symbol != single_symbol_) {
            error = "no data for symbol \"" + std::string(symbol) + "\": the data file " + path_ + " holds " +
                    single_symbol_;
            return nullptr;
        }
        file = path_;
    }
    auto loaded = std::make_shared<BarSeries>();
    if (!read_bar_file(file, *loaded, error)) return nullptr;
    cache_.emplace(std::string(symbol), loaded);
    return loaded;
}

}  // namespace standin::sim
