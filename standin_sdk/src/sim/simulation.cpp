#include "sim/simulation.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <limits>

namespace standin::sim {

int Simulation::fail(Fn fn, int code, const std::string& why) {
    last_error_ = std::string(info(fn).name) + ": " + why;
    return code;
}

bool Simulation::read_request(Fn fn, const Req& req, json::Value& request, int& status) {
    if (!req.data) {
        status = fail(fn, kInvalidRequest, "the request is a null pointer");
        return false;
    }
    if (req.length < 0) {
        status = fail(fn, kInvalidRequest, "negative request length");
        return false;
    }
    if (req.length == 0) {  // no bytes at all: an empty request object
        request = json::Value{};
        request.type = json::Value::Type::Object;
        return true;
    }
    std::string error;
    if (!json::parse(std::string_view(req.data, static_cast<std::size_t>(req.length)), request, error)) {
        status = fail(fn, kInvalidRequest, "malformed JSON: " + error);
        return false;
    }
    if (!request.is_object()) {
        status = fail(fn, kInvalidRequest, "the request must be a JSON object");
        return false;
    }
    return true;
}

// ---- settings and configuration ----

void Simulation::set_serv_addr(const char* addr) {
    if (!addr) return;
    const std::string_view a = addr;
    if (a != "sim" && a.substr(0, 4) != "sim:") return;  // not ours: the plain stand-in
    // sim:key=value;key=value with the keys seed and data, each at most once.
    std::uint64_t seed = 1;
    std::string data;
    std::string error;
    bool seen_seed = false, seen_data = false;
    std::string_view rest = a.size() > 4 ? a.substr(4) : std::string_view();
    while (!rest.empty() && error.empty()) {
        const std::size_t semicolon = rest.find(';');
        const std::string_view item = rest.substr(0, semicolon);
        rest = semicolon == std::string_view::npos ? std::string_view() : rest.substr(semicolon + 1);
        const std::size_t eq = item.find('=');
        const std::string_view key = item.substr(0, eq);
        const std::string_view value = eq == std::string_view::npos ? std::string_view() : item.substr(eq + 1);
        if (eq == std::string_view::npos) {
            error = "setting " + quoted(item) + " is not key=value";
        } else if (key == "seed" && !seen_seed) {
            seen_seed = true;
            const auto res = std::from_chars(value.data(), value.data() + value.size(), seed);
            if (value.empty() || res.ec != std::errc() || res.ptr != value.data() + value.size())
                error = "seed " + quoted(value) + " is not a decimal integer from 0 to 18446744073709551615";
        } else if (key == "data" && !seen_data) {
            seen_data = true;
            data = std::string(value);
            if (data.empty()) error = "data is empty: give a CSV file or a folder of <SYMBOL>.csv files";
        } else if (key == "seed" || key == "data") {
            error = std::string(key) + " is given twice";
        } else {
            error = "unknown setting " + quoted(key) + " (the settings are seed and data)";
        }
    }
    enabled_ = true;
    if (!error.empty()) {
        address_error_ = "server address " + quoted(a) + ": " + error;
        return;
    }
    address_error_.clear();
    seed_ = seed;
    data_path_ = std::move(data);
}

int Simulation::configure(const char* start_time, const char* end_time, double cash, double transaction,
                          double commission, double unit, double slippage, int adjust, int match_mode) {
    const Fn fn = Fn::zvi_set_backtest_config;
    std::int64_t start, end;
    const auto shown = [](const char* text) { return text ? quoted(text) : std::string("null"); };
    constexpr const char* kForms = " is not YYYY-MM-DD or YYYY-MM-DD HH:MM:SS";
    if (!start_time || !parse_time(start_time, false, start))
        return fail(fn, kInvalidRequest, "start_time " + shown(start_time) + kForms);
    if (!end_time || !parse_time(end_time, true, end))
        return fail(fn, kInvalidRequest, "end_time " + shown(end_time) + kForms);
    if (start > end) return fail(fn, kInvalidRequest, "start_time is after end_time");
    if (!std::isfinite(cash) || cash <= 0)
        return fail(fn, kInvalidRequest, "initial_cash must be a finite number above 0");
    const std::pair<const char*, double> ratios[] = {
        {"transaction_ratio", transaction}, {"commission_ratio", commission}, {"slippage_ratio", slippage}};
    for (const auto& [name, value] : ratios)
        if (!std::isfinite(value) || value < 0 || value > 1)
            return fail(fn, kInvalidRequest, std::string(name) + " must be within [0, 1]");
    if (!std::isfinite(unit) || unit < 0)
        return fail(fn, kInvalidRequest, "commission_unit must be a finite number of at least 0");
    if (adjust != 0 && adjust != 1)
        return fail(fn, kInvalidRequest, "adjust must be 0 (the prices as they are) or 1 (adjusted prices)");
    if (match_mode != 0 && match_mode != 1) return fail(fn, kInvalidRequest, "match_mode must be 0 or 1");
    if (!address_error_.empty()) return fail(fn, kInvalidRequest, address_error_);
    std::string why;
    if (!data_path_.empty() && !files_.open(data_path_, why)) return fail(fn, kInvalidRequest, why);

    active_ = true;
    start_ = start;
    end_ = end;
    clock_ = start;
    prices_.restart(seed_, data_path_.empty() ? nullptr : &files_, start, adjust == 1);
    account_.restart(cash, Costs{transaction, commission, unit, slippage, match_mode});

    init_done_ = finished_ = false;
    phase_ = -1;
    stepped_ = false;
    file_part_ = 0;
    batch_.clear();
    delivered_ = 0;

    for (auto& [seconds, by_symbol] : subscriptions_)
        for (auto& entry : by_symbol) {
            entry.second = 0;
            prices_.use(entry.first);
        }
    scheduler_.restart(start);
    return 0;
}

// ---- subscriptions ----

// A data file replays its own bars: other frequencies are refused.
Status Simulation::check_subscription(std::string_view symbol, int seconds) {
    if (!file_symbols()) {
        if (!valid_symbol(symbol)) return failure(kInvalidSymbol, "invalid symbol " + quoted(symbol));
        return {};
    }
    std::string why;
    // A new data path takes effect at the next configuration: a running session keeps its files.
    if (!active_ && files_.path() != data_path_ && !files_.open(data_path_, why))
        return failure(kInvalidSymbol, why);
    const std::shared_ptr<const BarSeries> series = files_.series(symbol, why, active_ && prices_.adjusted());
    if (!series) return failure(kInvalidSymbol, why);
    const int data = series->bar_seconds;
    if (seconds == data) return {};
    return failure(kInvalidRequest, quoted(symbol) + " has " + frequency_text(data) + " bars in " + series->path +
                                        ": a " + frequency_text(seconds) + " subscription is " +
                                        (seconds < data ? "finer than the data" : "not built from them") +
                                        "; subscribe with " + frequency_text(data));
}

const std::map<std::string, std::int64_t>* Simulation::subscribed(int seconds) const {
    const auto it = subscriptions_.find(seconds);
    return it == subscriptions_.end() || it->second.empty() ? nullptr : &it->second;
}

int Simulation::subscribe(const char* symbols, const char* frequency, bool unsubscribe_previous) {
    const Fn fn = Fn::zvi_subscribe;
    if (!address_error_.empty()) return fail(fn, kInvalidRequest, address_error_);
    if (!frequency) return fail(fn, kInvalidRequest, "frequency is null");
    // Any whole number of seconds names the bars of a data file; generated prices have
    // their fixed set.
    const int f = parse_frequency_seconds(frequency);
    if (f < 0 || (!file_symbols() && generated_frequency(f) < 0))
        return fail(fn, kInvalidRequest, "unknown frequency " + quoted(frequency));
    if (!symbols) return fail(fn, kInvalidSymbol, "symbols is null");
    const std::vector<std::string_view> list = split_list(symbols);
    for (const std::string_view s : list)
        if (const int status = report(fn, check_subscription(s, f))) return status;
    if (unsubscribe_previous) subscriptions_.clear();
    // Steps already walked are not replayed for a new subscription: it starts with the
    // next price step.
    for (const std::string_view s : list) {
        subscriptions_[f].emplace(std::string(s), prices_.steps_done());
        if (active_) prices_.use(s);
    }
    return 0;
}

int Simulation::unsubscribe(const char* symbols, const char* frequency) {
    const Fn fn = Fn::zvi_unsubscribe;
    if (!frequency) return fail(fn, kInvalidRequest, "frequency is null");
    const bool every_frequency = std::string_view(frequency) == "*";
    const int f = every_frequency ? 0 : parse_frequency_seconds(frequency);
    if (f < 0 || (!every_frequency && !file_symbols() && generated_frequency(f) < 0))
        return fail(fn, kInvalidRequest, "unknown frequency " + quoted(frequency));
    if (!symbols) return fail(fn, kInvalidSymbol, "symbols is null");
    const bool every_symbol = std::string_view(symbols) == "*";
    std::vector<std::string_view> list;
    if (!every_symbol) {
        list = split_list(symbols);
        for (const std::string_view s : list) {
            const bool ok = file_symbols() ? BarFiles::plausible_symbol(s) : valid_symbol(s);
            if (!ok) return fail(fn, kInvalidSymbol, "invalid symbol " + quoted(s));
        }
    }
    for (auto it = subscriptions_.begin(); it != subscriptions_.end();) {
        if (every_frequency || it->first == f) {
            if (every_symbol) {
                it->second.clear();
            } else {
                for (const std::string_view s : list) it->second.erase(std::string(s));
            }
        }
        it = it->second.empty() ? subscriptions_.erase(it) : std::next(it);
    }
    return 0;
}

// ---- timers, the bus, the clock ----

int Simulation::user_timer(int period, int start_delay) {
    std::int64_t id = 0;
    const Status status = scheduler_.add_user_timer(period, start_delay, clock_, id);
    if (!status.ok()) return -fail(Fn::zvi_user_timer, status.code, status.why);
    return static_cast<int>(id);
}

int Simulation::schedule(const char* date_rule, const char* time_rule) {
    return report(Fn::zvi_schedule, scheduler_.add_schedule(date_rule, time_rule, clock_));
}

int Simulation::send_to_bus(const char* topic, const char* msg, std::deque<Event>& queue) {
    return report(Fn::zvi_send_msg_to_bus, bus_.send(topic, msg, clock_, queue));
}

void Simulation::now(Outcome& out) const {
    if (active_) out.number = clock_;
}

void Simulation::now_plus(Outcome& out) const {
    if (active_) out.real = static_cast<double>(clock_) / 1000.0;
}

void Simulation::account_info(Outcome& out) const {
    std::string res;
    json::Writer w(res);
    w.begin_object().key("accounts").begin_array().begin_object();
    w.field("account_id", kAccountId).field("account_name", "simulated").end_object().end_array().end_object();
    out.response = Response{false, res, static_cast<int>(res.size())};
}

// ---- the serialized calls ----

void Simulation::request(Fn fn, const Req& req, Outcome& out, std::deque<Event>& queue) {
    bool needs_session = false;
    switch (fn) {
        case Fn::zvi_place_order_pb:
        case Fn::zvi_cancel_orders_pb:
        case Fn::zvi_cancel_all_orders_pb:
        case Fn::zvi_get_orders_pb:
        case Fn::zvi_get_unfinished_orders_pb:
        case Fn::zvi_get_execution_reports_pb:
        case Fn::zvi_get_cash_pb:
        case Fn::zvi_get_positions_pb:
        case Fn::zvi_current_price_pb: needs_session = true; break;
        case Fn::zvi_add_parameters_pb:
        case Fn::zvi_set_parameters_pb:
        case Fn::zvi_get_parameters_pb:
        case Fn::zvi_set_instrument_pool_symbols_pb:
        case Fn::zvi_get_instrument_pools_pb:
        case Fn::zvi_get_instrument_pool_by_name_pb:
        case Fn::zvi_del_instrument_pool_by_name_pb:
        case Fn::zvi_get_symbol_infos: break;
        default: return;  // not one the simulation answers: the defaults stand
    }
    if (needs_session && !active_) {
        out.number = fail(fn, kNoSession, "no active backtest session: call zvi_set_backtest_config first");
        return;
    }
    json::Value r;
    int code = 0;
    if (!read_request(fn, req, r, code)) {
        out.number = code;
        return;
    }
    std::string res;
    Status status;
    switch (fn) {
        case Fn::zvi_place_order_pb: status = account_.place(r, prices_, clock_, res, queue); break;
        case Fn::zvi_cancel_orders_pb: status = account_.cancel_orders(r, clock_, queue); break;
        case Fn::zvi_cancel_all_orders_pb: account_.cancel_all(clock_, queue); break;
        case Fn::zvi_get_orders_pb: account_.write_orders(false, res); break;
        case Fn::zvi_get_unfinished_orders_pb: account_.write_orders(true, res); break;
        case Fn::zvi_get_execution_reports_pb: status = account_.write_executions(r, res); break;
        case Fn::zvi_get_cash_pb: account_.write_cash(prices_, res); break;
        case Fn::zvi_get_positions_pb: account_.write_positions(prices_, res); break;
        case Fn::zvi_current_price_pb: {
            std::vector<std::string> symbols;
            if (!json::string_list(r, "symbols", symbols)) {
                status = failure(kInvalidRequest, "symbols must be a list of strings");
                break;
            }
            for (const std::string& s : symbols)
                if (status = prices_.check(s); !status.ok()) break;
            if (!status.ok()) break;
            json::Writer w(res);
            w.begin_object().key("prices").begin_array();
            for (const std::string& s : symbols) {
                w.begin_object().field("symbol", s).field("price", prices_.price(s));
                w.field("created_at", format_time(prices_.price_time(s)).view()).end_object();
            }
            w.end_array().end_object();
            break;
        }
        case Fn::zvi_add_parameters_pb: status = parameters_.add(r); break;
        case Fn::zvi_set_parameters_pb: status = parameters_.set(r, queue); break;
        case Fn::zvi_get_parameters_pb: status = parameters_.get(r, res); break;
        case Fn::zvi_set_instrument_pool_symbols_pb:
            status = pools_.set(r, [&](std::string_view s) {
                return file_symbols() ? BarFiles::plausible_symbol(s) : valid_symbol(s);
            });
            break;
        case Fn::zvi_get_instrument_pools_pb: pools_.get_all(res); break;
        case Fn::zvi_get_instrument_pool_by_name_pb: status = pools_.get(r, res); break;
        case Fn::zvi_del_instrument_pool_by_name_pb: status = pools_.del(r); break;
        case Fn::zvi_get_symbol_infos: status = write_symbol_infos(r, res); break;
        default: break;
    }
    if (status.ok() && res.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()))
        status = failure(kInvalidRequest, "the response would be more than 2147483647 bytes");
    out.number = report(fn, status);
    if (status.ok() && info(fn).outputs == Outputs::Response) {
        const int length = static_cast<int>(res.size());
        out.response = Response{false, std::move(res), length};
    }
}

// ---- what the session knows about data files ----

BarFiles* Simulation::described_files(std::string& why) {
    // The files of the address's data path: the ones the next configuration replays.
    if (!address_error_.empty()) {
        why = address_error_;
        return nullptr;
    }
    if (data_path_.empty()) {
        why = "symbol infos describe the bars of data files, and the server address names none "
              "(sim:data=<file or folder>)";
        return nullptr;
    }
    // A running file session keeps its own files until the next configuration: a new
    // address's files are read apart from them.
    BarFiles& files = active_ && prices_.file_mode() && files_.path() != data_path_ ? next_files_ : files_;
    if (files.path() != data_path_ && !files.open(data_path_, why)) return nullptr;
    return &files;
}

Status Simulation::write_symbol_infos(const json::Value& req, std::string& res) {
    std::vector<std::string> symbols;
    if (!json::string_list(req, "symbols", symbols))
        return failure(kInvalidRequest, "symbols must be a list of strings");
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

// ---- the replay ----

std::int64_t Simulation::next_instant() const {
    std::int64_t t;
    if (prices_.file_mode()) {
        t = prices_.next_bar_time();
    } else {
        // Steps nothing depends on (no open order to match, no tick to deliver, no bar of
        // a subscribed frequency ending) are skipped.
        unsigned bars = 0;
        for (int f = k60s; f < kFrequencyCount; ++f)
            if (subscribed(frequency_seconds(f))) bars |= 1u << f;
        t = prices_.next_step_time(account_.any_open() || subscribed(0), bars);
    }
    return std::min(t, scheduler_.next_due());
}

bool Simulation::next_event(Event& event) {
    if (!active_) return false;
    while (batch_.empty()) {
        if (finished_) return false;
        produce();
    }
    event = std::move(batch_.front());
    batch_.pop_front();
    return true;
}

// Produces one group of events: init, one group of the current instant, or the end.
void Simulation::produce() {
    if (!init_done_) {
        init_done_ = true;
        push_event(batch_, "init", init_payload(start_));
        return;
    }
    if (phase_ < 0) {
        const std::int64_t t = next_instant();
        if (t > end_) {
            finished_ = true;
            clock_ = end_;
            prices_.finish(end_);
            push_event(batch_, "backtest_finished", finished_payload(end_, delivered_));
            return;
        }
        instant_ = clock_ = t;
        phase_ = 0;
        stepped_ = false;
        prices_.skip_to(t);  // the paths are walked through skipped steps when next used
    }
    switch (phase_++) {
        case 0: scheduler_.fire_schedules(instant_, batch_); break;
        case 1: scheduler_.fire_timer(instant_, batch_); break;
        case 2: scheduler_.fire_user_timers(instant_, batch_); break;
        case 3:
            if (prices_.file_mode()) {
                // A file bar is four price steps at its time, each matched in turn.
                match_file_step(file_part_);
                if (++file_part_ < 4) --phase_;
                else file_part_ = 0;
            } else if (prices_.step_at(instant_)) {
                match_step();
                stepped_ = true;
            }
            break;
        case 4:
            if (stepped_) emit_ticks();
            break;
        default:
            if (stepped_ || prices_.file_mode()) emit_bars();
            phase_ = -1;
            break;
    }
}

// Symbols ascending, each symbol's orders oldest first.
void Simulation::match_step() {
    for (const std::string& symbol : account_.open_symbols())
        account_.match_symbol(symbol, prices_.step(symbol), clock_, batch_);
}

void Simulation::match_file_step(int part) {
    std::vector<std::string> stepped;
    prices_.file_step(part, instant_, stepped);
    for (const std::string& symbol : stepped)
        if (account_.has_open(symbol)) account_.match_symbol(symbol, prices_.step(symbol), clock_, batch_);
}

void Simulation::emit_ticks() {
    const std::int64_t step = prices_.steps_done() - 1;
    const TimeText at = format_time(instant_);
    const auto yuan = [](std::int64_t cents) { return static_cast<double>(cents) / 100.0; };
    const auto* ticks = subscribed(0);
    if (!ticks) return;
    for (const auto& [symbol, from] : *ticks) {
        if (from > step) continue;
        const Market& m = prices_.market(symbol);
        const Aggregate& day = m.day();
        push_event(batch_, "tick",
                   tick_payload(TickFields{symbol, at.view(), yuan(m.price()), yuan(day.open), yuan(day.high),
                                           yuan(day.low), day.volume, yuan(day.amount), m.last_volume(),
                                           yuan(m.price() * m.last_volume()),
                                           yuan(std::max<std::int64_t>(m.price() - 1, 1)), m.bid_volume(),
                                           yuan(m.price() + 1), m.ask_volume()}));
    }
}

void Simulation::emit_bars() {
    const TimeText at = format_time(instant_);
    if (prices_.file_mode()) {
        // A file bar's time is both its bob and its eob: the file says when the bar is.
        // By bar length ascending (daily bars last), then symbol.
        for (const auto& [seconds, symbols] : subscriptions_) {
            if (seconds == 0) continue;
            const std::string frequency = frequency_text(seconds);
            for (const auto& entry : symbols) {
                double pre_close = 0;
                const FileBar* bar = prices_.bar_at(entry.first, instant_, pre_close);
                if (!bar) continue;
                push_event(batch_, "bar",
                           bar_payload(BarFields{entry.first, frequency, at.view(), at.view(), bar->open, bar->high,
                                                 bar->low, bar->close, bar->volume, bar->amount, pre_close}));
            }
        }
        return;
    }
    const std::int64_t step = prices_.steps_done() - 1;
    const int index = prices_.last_step_index();
    const unsigned ends = bar_end_mask(index);
    if (!ends) return;
    const std::int64_t midnight = day_of(instant_) * kDayMs;
    const auto yuan = [](std::int64_t cents) { return static_cast<double>(cents) / 100.0; };
    for (int f = k60s; f < kFrequencyCount; ++f) {
        const auto* symbols = subscribed(frequency_seconds(f));
        if (!(ends & (1u << f)) || !symbols) continue;
        const TimeText bob = format_time(midnight + bar_begin_offset_ms(f, index));
        for (const auto& [symbol, from] : *symbols) {
            if (from > step) continue;
            const Aggregate& bar = prices_.market(symbol).bar(f);
            push_event(batch_, "bar",
                       bar_payload(BarFields{symbol, frequency_name(f), bob.view(), at.view(), yuan(bar.open),
                                             yuan(bar.high), yuan(bar.low), yuan(bar.close),
                                             static_cast<double>(bar.volume), yuan(bar.amount),
                                             yuan(bar.pre_close)}));
        }
    }
}

}  // namespace standin::sim
