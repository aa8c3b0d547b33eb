#include "sim/bar_files.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <fstream>

#include "sim/calendar.hpp"
#include "sim/status.hpp"

namespace standin::sim {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kBlanks = " \t\r";

std::vector<std::string_view> split_fields(std::string_view line) { return split_list(line, kBlanks); }

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

bool parse_number(std::string_view text, double& out) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    const auto res = std::from_chars(text.data(), text.data() + text.size(), out);
    return !text.empty() && res.ec == std::errc() && res.ptr == text.data() + text.size() && std::isfinite(out);
}

bool parse_bar_time(std::string_view text, std::int64_t& ms, bool& dated_only) {
    dated_only = text.size() == 10;
    if (text.size() == 19 && text[10] == 'T') {
        std::string copy(text);
        copy[10] = ' ';
        return parse_time(copy, false, ms);
    }
    return parse_time(text, false, ms);
}

int frequency_of(const std::vector<FileBar>& bars, bool all_dates, std::string& why) {
    if (all_dates) return k1d;
    std::int64_t spacing = 0;
    for (std::size_t i = 1; i < bars.size(); ++i) {
        if (day_of(bars[i].time) != day_of(bars[i - 1].time)) continue;
        const std::int64_t gap = bars[i].time - bars[i - 1].time;
        if (spacing == 0 || gap < spacing) spacing = gap;
    }
    if (spacing == 0) return k1d;  // never two bars on one day
    for (int f = k60s; f <= k3600s; ++f)
        if (spacing == kBarSeconds[f] * kSecondMs) return f;
    why = "bars " + std::to_string(spacing / kSecondMs) +
          " seconds apart: the bar length must be 60, 300, 900, 1800 or 3600 seconds, or one bar a day";
    return -1;
}

}  // namespace

bool read_bar_file(const std::string& path, BarSeries& out, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": cannot be read";
        return false;
    }
    const auto fail = [&](std::size_t line, const std::string& why) {
        error = path + ":" + std::to_string(line) + ": " + why;
        return false;
    };
    std::string line;
    std::size_t number = 0;
    if (!std::getline(in, line)) return fail(1, "the file is empty: the first line must name the columns");
    ++number;
    if (line.size() >= 3 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);  // a UTF-8 byte order mark

    enum Column { kDate, kOpen, kHigh, kLow, kClose, kVolume, kAmount, kColumns };
    int columns[kColumns];
    std::fill(std::begin(columns), std::end(columns), -1);
    const std::vector<std::string_view> header = split_fields(line);
    for (std::size_t i = 0; i < header.size(); ++i) {
        const std::string name = lower(header[i]);
        int c = -1;
        if (name == "date" || name == "datetime" || name == "time" || name == "timestamp") c = kDate;
        else if (name == "open") c = kOpen;
        else if (name == "high") c = kHigh;
        else if (name == "low") c = kLow;
        else if (name == "close") c = kClose;
        else if (name == "volume") c = kVolume;
        else if (name == "amount") c = kAmount;
        if (c < 0) continue;
        if (columns[c] >= 0) return fail(1, "two columns named " + std::string(header[i]));
        columns[c] = static_cast<int>(i);
    }
    if (columns[kDate] < 0 && !header.empty() && header[0].empty()) columns[kDate] = 0;  // an unnamed index column
    static const char* const names[] = {"Date", "Open", "High", "Low", "Close", "Volume"};
    for (int c = kDate; c <= kVolume; ++c)
        if (columns[c] < 0)
            return fail(1, std::string("no ") + names[c] +
                               " column: the first line must name Date, Open, High, Low, Close and Volume");
    const std::size_t needed = static_cast<std::size_t>(*std::max_element(std::begin(columns), std::end(columns))) + 1;

    out = BarSeries{};
    out.path = path;
    bool all_dates = true;
    while (std::getline(in, line)) {
        ++number;
        if (trim(line, kBlanks).empty()) continue;
        const std::vector<std::string_view> fields = split_fields(line);
        if (fields.size() < needed)
            return fail(number, std::to_string(fields.size()) + " fields, " + std::to_string(needed) + " expected");
        FileBar bar{};
        bool dated_only = false;
        const std::string_view when = fields[static_cast<std::size_t>(columns[kDate])];
        if (!parse_bar_time(when, bar.time, dated_only))
            return fail(number, "time \"" + std::string(when) + "\" is not YYYY-MM-DD or YYYY-MM-DD HH:MM:SS");
        all_dates = all_dates && dated_only;
        double* const targets[] = {nullptr, &bar.open, &bar.high, &bar.low, &bar.close, &bar.volume, &bar.amount};
        for (int c = kOpen; c < kColumns; ++c) {
            if (columns[c] < 0) continue;
            const std::string_view text = fields[static_cast<std::size_t>(columns[c])];
            if (!parse_number(text, *targets[c]))
                return fail(number, std::string(c == kAmount ? "Amount" : names[c]) + " \"" + std::string(text) +
                                        "\" is not a finite number");
        }
        if (!(bar.open > 0 && bar.high > 0 && bar.low > 0 && bar.close > 0))
            return fail(number, "prices must be above 0");
        if (bar.low > std::min(bar.open, bar.close) || bar.high < std::max(bar.open, bar.close))
            return fail(number, "low and high must bound open and close");
        if (bar.volume < 0 || (columns[kAmount] >= 0 && bar.amount < 0))
            return fail(number, "volume and amount must be at least 0");
        if (columns[kAmount] < 0) bar.amount = bar.close * bar.volume;
        if (!out.bars.empty() && bar.time <= out.bars.back().time)
            return fail(number, "rows must be in ascending time order, one per time");
        out.bars.push_back(bar);
    }
    if (in.bad()) return fail(number, "read error");
    std::string why;
    out.frequency = frequency_of(out.bars, all_dates, why);
    if (out.frequency < 0) return fail(1, why);
    return true;
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
    if (path != path_ || folder != folder_) cache_.clear();
    path_ = path;
    folder_ = folder;
    single_symbol_ = folder ? std::string() : fs::path(path).stem().string();
    return true;
}

std::shared_ptr<const BarSeries> BarFiles::series(std::string_view symbol, std::string& error) {
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
