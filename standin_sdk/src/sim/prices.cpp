#include "sim/prices.hpp"

#include <algorithm>
#include <filesystem>

#include "sim/formats.hpp"


namespace standin::sim {

namespace {

// EXCHANGE.CODE: [A-Z]+ "." [A-Za-z0-9]+, the symbols of generated prices.
bool exchange_code(std::string_view s) {
    const std::size_t dot = s.find('.');
    if (dot == std::string_view::npos || dot == 0 || dot + 1 == s.size()) return false;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char c = s[i];
        if (i < dot) {
            if (c < 'A' || c > 'Z') return false;
        } else if (i > dot) {
            if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))) return false;
        }
    }
    return true;
}

}  // namespace

// ---- the address's data path ----

bool Prices::open_data(std::string& why) { return data_path_.empty() || files_.open(data_path_, why); }

BarFiles* Prices::described_files(std::string& why) {
    if (data_path_.empty()) {
        why = "symbol infos describe the bars of data files, and the server address names none "
              "(sim:data=<file or folder>)";
        return nullptr;
    }
    // A running file session keeps its own files until the next configuration: a new
    // address's files are read apart from them.
    BarFiles& files = started_ && file_mode_ && files_.path() != data_path_ ? next_files_ : files_;
    if (files.path() != data_path_ && !files.open(data_path_, why)) return nullptr;
    return &files;
}

std::shared_ptr<const BarSeries> Prices::subscribed_series(std::string_view symbol, std::string& why) {
    // A new data path takes effect at the next configuration: a running session keeps its files.
    if (!started_ && files_.path() != data_path_ && !files_.open(data_path_, why)) return nullptr;
    return files_.series(symbol, why, started_ && adjusted_);
}

void Prices::restart(std::uint64_t seed, std::int64_t start, bool adjusted) {
    seed_ = seed;
    started_ = true;
    file_mode_ = !data_path_.empty();
    adjusted_ = adjusted;
    start_ = start;
    // The path starts with the start date's first step (the next trading day's when the
    // start falls on a weekend); the steps before the start time are walked, not replayed.
    origin_ = day_of(start);
    while (!is_trading_day(origin_)) ++origin_;
    steps_done_ = steps_before(origin_, start);
    markets_.clear();
    file_markets_.clear();
    file_through_ = start - 1;
    file_mid_bar_ = false;
}

// ---- the symbol rule ----

bool Prices::names_symbol(std::string_view symbol) const {
    return file_symbols() ? BarFiles::plausible_symbol(symbol) : exchange_code(symbol);
}

Status Prices::check_form(std::string_view symbol) const {
    if (file_symbols() || exchange_code(symbol)) return {};
    return failure(kInvalidSymbol, "invalid symbol " + quoted(symbol));
}

Status Prices::check(std::string_view symbol) {
    if (!file_mode_) return check_form(symbol);
    std::string why;
    const FileMarket* m = file_market(symbol, why);
    if (!m) return failure(kInvalidSymbol, why);
    return {};
}

double Prices::price(const std::string& symbol) {
    if (!file_mode_) return static_cast<double>(market(symbol).price()) / 100.0;
    std::string unused;
    return file_market(symbol, unused)->price;
}

std::int64_t Prices::price_time(const std::string& symbol) {
    if (!file_mode_) return steps_done_ > 0 ? step_time(origin_, steps_done_ - 1) : start_;
    std::string unused;
    return file_market(symbol, unused)->price_time;
}

Step Prices::step(const std::string& symbol) {
    if (!file_mode_) {
        const Market& m = market(symbol);
        return Step{static_cast<double>(m.price()) / 100.0, 0.0, static_cast<double>(m.last_volume())};
    }
    std::string unused;
    const FileMarket& m = *file_market(symbol, unused);
    return Step{m.price, m.previous, m.volume, m.series->has_volume};
}

Status Prices::write_current(const json::Value& req, std::string& res) {
    std::vector<std::string> symbols;
    if (!json::string_list(req, "symbols", symbols)) return failure(kInvalidRequest, "symbols must be a list of strings");
    for (const std::string& s : symbols)
        if (Status status = check(s); !status.ok()) return status;
    json::Writer w(res);
    w.begin_object().key("prices").begin_array();
    for (const std::string& s : symbols) {
        w.begin_object().field("symbol", s).field("price", price(s));
        w.field("created_at", format_time(price_time(s)).view()).end_object();
    }
    w.end_array().end_object();
    return {};
}

Status Prices::write_symbol_infos(const json::Value& req, const std::string& address_error, std::string& res) {
    std::vector<std::string> symbols;
    if (!json::string_list(req, "symbols", symbols))
        return failure(kInvalidRequest, "symbols must be a list of strings");
    if (!address_error.empty()) return failure(kInvalidRequest, address_error);
    std::string why;
    BarFiles* files = described_files(why);
    if (!files) return failure(kInvalidRequest, why);
    std::vector<std::shared_ptr<const BarSeries>> found;
    for (const std::string& s : symbols) {
        found.push_back(files->series(s, why));
        if (!found.back()) return failure(kInvalidSymbol, why);
    }
    json::Writer w(res);
    w.begin_object().key("symbol_infos").begin_array();
    for (std::size_t i = 0; i < symbols.size(); ++i) {
        const BarSeries& b = *found[i];
        std::error_code ec;
        std::filesystem::path file = std::filesystem::absolute(b.path, ec);
        if (ec) file = b.path;
        w.begin_object().field("symbol", symbols[i]).field("file", file.lexically_normal().string());
        w.field("bars", static_cast<std::int64_t>(b.bars.size()));
        w.field("first_bar", format_time(b.bars.front().time).view());
        w.field("last_bar", format_time(b.bars.back().time).view());
        w.field("frequency", frequency_text(b.bar_seconds)).field("bar_seconds", b.bar_seconds);
        w.field("volume", b.has_volume).field("adj_close", b.has_adj_close);
        w.field("utc_offset", b.utc_offset).field("descending", b.descending).end_object();
    }
    w.end_array().end_object();
    return {};
}

// ---- generated paths ----

std::int64_t Prices::next_step_time(bool every_step, unsigned bars) const {
    if (every_step) return step_time(origin_, steps_done_);
    if (!bars) return kNever;
    return step_time(origin_, steps_done_ + steps_to_bar_end(static_cast<int>(steps_done_ % kStepsPerDay), bars));
}

void Prices::skip_to(std::int64_t time) {
    if (!file_mode_) steps_done_ = std::max(steps_done_, steps_before(origin_, time));
}

bool Prices::step_at(std::int64_t time) {
    if (step_time(origin_, steps_done_) != time) return false;
    ++steps_done_;
    return true;
}

const Market& Prices::market(const std::string& symbol) {
    auto it = markets_.find(symbol);
    if (it == markets_.end()) it = markets_.emplace(symbol, Market(seed_, symbol)).first;
    Market& m = it->second;
    while (m.steps() < steps_done_) m.step(static_cast<int>(m.steps() % kStepsPerDay));
    return m;
}

// ---- file bars ----

Prices::FileMarket* Prices::file_market(std::string_view symbol, std::string& error) {
    const auto it = file_markets_.find(symbol);
    if (it != file_markets_.end()) return &it->second;
    std::shared_ptr<const BarSeries> series = files_.series(symbol, error, adjusted_);
    if (!series) return nullptr;
    // A symbol first used in the middle of a session starts with the first bar not yet
    // replayed; its price is the last close before it (the first open when there is none).
    // First used between the open and the close of the bars of an instant, it joins them:
    // its price is its own bar's open, and the steps left replay the rest of that bar.
    FileMarket m;
    const auto& bars = series->bars;
    const auto first_not_replayed =
        file_mid_bar_ ? std::lower_bound(bars.begin(), bars.end(), file_through_,
                                         [](const FileBar& bar, std::int64_t t) { return bar.time < t; })
                      : std::upper_bound(bars.begin(), bars.end(), file_through_,
                                         [](std::int64_t t, const FileBar& bar) { return t < bar.time; });
    m.cursor = static_cast<std::size_t>(first_not_replayed - bars.begin());
    if (file_mid_bar_ && m.cursor < bars.size() && bars[m.cursor].time == file_through_) {
        m.price = bars[m.cursor].open;
        m.price_time = file_through_;
    } else if (m.cursor > 0) {
        m.price = bars[m.cursor - 1].close;
        m.price_time = bars[m.cursor - 1].time;
    } else {
        m.price = bars.empty() ? 0.0 : bars.front().open;
        m.price_time = start_;
    }
    m.series = std::move(series);
    return &file_markets_.emplace(std::string(symbol), std::move(m)).first->second;
}

void Prices::use(std::string_view symbol) {
    std::string unused;  // a symbol without data has no bars to replay
    if (file_mode_) file_market(symbol, unused);
}

std::int64_t Prices::next_bar_time() const {
    std::int64_t t = kNever;
    for (const auto& entry : file_markets_) {
        const FileMarket& m = entry.second;
        if (m.cursor < m.series->bars.size()) t = std::min(t, m.series->bars[m.cursor].time);
    }
    return t;
}

void Prices::file_step(int part, std::int64_t instant, std::vector<const std::string*>& stepped) {
    if (part == 0) file_through_ = instant;
    file_mid_bar_ = part < 3;
    for (auto& [symbol, m] : file_markets_) {
        if (m.cursor >= m.series->bars.size() || m.series->bars[m.cursor].time != instant) continue;
        const FileBar& bar = m.series->bars[m.cursor];
        const double path[4] = {bar.open, bar.high, bar.low, bar.close};
        m.previous = part == 0 ? 0.0 : path[part - 1];
        m.price = path[part];
        m.price_time = bar.time;
        m.volume = bar.volume / 4;
        if (part == 3) ++m.cursor;
        stepped.push_back(&symbol);
    }
}

const FileBar* Prices::bar_at(const std::string& symbol, std::int64_t instant, double& pre_close) {
    const auto it = file_markets_.find(symbol);
    if (it == file_markets_.end()) return nullptr;
    const FileMarket& m = it->second;
    if (m.cursor == 0 || m.series->bars[m.cursor - 1].time != instant) return nullptr;
    const FileBar& bar = m.series->bars[m.cursor - 1];
    pre_close = m.cursor >= 2 ? m.series->bars[m.cursor - 2].close : bar.open;
    return &bar;
}

void Prices::finish(std::int64_t end) {
    if (!file_mode_) steps_done_ = std::max(steps_done_, steps_before(origin_, end + 1));
    file_through_ = end;
    file_mid_bar_ = false;
}

}  // namespace standin::sim
