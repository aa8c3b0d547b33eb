#include "sim/simulation.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

namespace standin::sim {

const char* error_text(int code) {
    switch (code) {
        case kInvalidRequest: return "invalid request";
        case kInvalidSymbol: return "invalid symbol";
        case kUnknownOrder: return "unknown or finished order";
        case kNoSession: return "no active backtest session";
        case kNotFound: return "not found";
        default: return nullptr;
    }
}

namespace {

constexpr const char* kAccountId = "sim";

// A file's volume: an integer when it is a whole number a double holds exactly, else the
// number as read.
void write_volume(json::Writer& w, double volume) {
    if (volume == std::floor(volume) && std::fabs(volume) <= 9007199254740992.0)
        w.field("volume", static_cast<std::int64_t>(volume));
    else
        w.field("volume", volume);
}
constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMaxOrderVolume = 1000000000000LL;  // keeps every amount well inside a double's integers

enum Side { kBuy = 1, kSell = 2 };
enum OrderType { kLimit = 1, kMarket = 2 };
enum Status { kNew = 1, kPartiallyFilled = 2, kFilled = 3, kCanceled = 5, kRejected = 8 };
enum RejectReason { kNoReason = 0, kNoCash = 1, kNoPosition = 2 };

// ---- recorded arguments ----

const Bytes* bytes_arg(const std::vector<Arg>& args, std::size_t i) {
    return i < args.size() ? std::get_if<Bytes>(&args[i]) : nullptr;
}
long long int_arg(const std::vector<Arg>& args, std::size_t i) {
    const long long* v = i < args.size() ? std::get_if<long long>(&args[i]) : nullptr;
    return v ? *v : 0;
}
double real_arg(const std::vector<Arg>& args, std::size_t i) {
    const double* v = i < args.size() ? std::get_if<double>(&args[i]) : nullptr;
    return v ? *v : 0.0;
}
bool bool_arg(const std::vector<Arg>& args, std::size_t i) {
    const bool* v = i < args.size() ? std::get_if<bool>(&args[i]) : nullptr;
    return v && *v;
}

// ---- values ----

// EXCHANGE.CODE: [A-Z]+ "." [A-Za-z0-9]+
bool valid_symbol(std::string_view s) {
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

std::string quoted(std::string_view s) {
    std::string out;
    json::append_string(out, s);  // escapes, so odd bytes in a message stay readable
    return out;
}

std::string number_text(double v) {
    std::string out;
    json::append_double(out, v);
    return out;
}

// Splits a comma-separated list, trimming spaces around each item.
std::vector<std::string_view> split_list(std::string_view s) {
    std::vector<std::string_view> items;
    std::size_t at = 0;
    for (;;) {
        const std::size_t comma = s.find(',', at);
        std::string_view item = s.substr(at, comma == std::string_view::npos ? std::string_view::npos : comma - at);
        while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
        while (!item.empty() && item.back() == ' ') item.remove_suffix(1);
        items.push_back(item);
        if (comma == std::string_view::npos) return items;
        at = comma + 1;
    }
}

bool int_field(const json::Value& v, std::int64_t& out) {
    if (!v.is_number() || !v.integral) return false;
    out = v.integer;
    return true;
}

// A list of strings under `key`; false when it is missing or not one.
bool string_list(const json::Value& req, std::string_view key, std::vector<std::string>& out) {
    const json::Value* list = req.find(key);
    if (!list || !list->is_array()) return false;
    for (const json::Value& item : list->items) {
        if (!item.is_string()) return false;
        out.push_back(item.string);
    }
    return true;
}

}  // namespace

// ---- calls ----

int Simulation::fail(Fn fn, int code, const std::string& why) {
    last_error_ = std::string(info(fn).name) + ": " + why;
    return code;
}

bool Simulation::read_request(Fn fn, const std::vector<Arg>& args, json::Value& request, int& status) {
    const Bytes* req = bytes_arg(args, 0);
    if (!req || req->null) {
        status = fail(fn, kInvalidRequest, "the request is a null pointer");
        return false;
    }
    if (int_arg(args, 1) < 0) {
        status = fail(fn, kInvalidRequest, "negative request length");
        return false;
    }
    if (req->data.empty()) {  // no bytes at all: an empty request object
        request = json::Value{};
        request.type = json::Value::Type::Object;
        return true;
    }
    std::string error;
    if (!json::parse(req->data, request, error)) {
        status = fail(fn, kInvalidRequest, "malformed JSON: " + error);
        return false;
    }
    if (!request.is_object()) {
        status = fail(fn, kInvalidRequest, "the request must be a JSON object");
        return false;
    }
    return true;
}

void Simulation::set_serv_addr(const std::vector<Arg>& args) {
    const Bytes* addr = bytes_arg(args, 0);
    if (!addr || addr->null) return;
    const std::string_view a = addr->data;
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

int Simulation::configure(const std::vector<Arg>& args) {
    const Fn fn = Fn::zvi_set_backtest_config;
    const Bytes* start_text = bytes_arg(args, 0);
    const Bytes* end_text = bytes_arg(args, 1);
    const double cash = real_arg(args, 2), transaction = real_arg(args, 3), commission = real_arg(args, 4);
    const double unit = real_arg(args, 5), slippage = real_arg(args, 6);
    const long long match_mode = int_arg(args, 10);
    std::int64_t start, end;
    const auto shown = [](const Bytes* b) { return b && !b->null ? quoted(b->data) : std::string("null"); };
    constexpr const char* kForms = " is not YYYY-MM-DD or YYYY-MM-DD HH:MM:SS";
    if (!start_text || start_text->null || !parse_time(start_text->data, false, start))
        return fail(fn, kInvalidRequest, "start_time " + shown(start_text) + kForms);
    if (!end_text || end_text->null || !parse_time(end_text->data, true, end))
        return fail(fn, kInvalidRequest, "end_time " + shown(end_text) + kForms);
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
    if (match_mode != 0 && match_mode != 1) return fail(fn, kInvalidRequest, "match_mode must be 0 or 1");
    if (!address_error_.empty()) return fail(fn, kInvalidRequest, address_error_);
    std::string why;
    if (!data_path_.empty() && !files_.open(data_path_, why)) return fail(fn, kInvalidRequest, why);

    active_ = true;
    file_mode_ = !data_path_.empty();
    start_ = start;
    end_ = end;
    initial_cash_ = cash;
    transaction_ratio_ = transaction;
    commission_ratio_ = commission;
    commission_unit_ = unit;
    slippage_ = slippage;
    match_mode_ = static_cast<int>(match_mode);
    session_seed_ = seed_;

    // The path starts with the start date's first step (the next trading day's when the
    // start falls on a weekend); the steps before the start time are walked, not replayed.
    const std::int64_t start_day = day_of(start);
    origin_ = start_day;
    while (!is_trading_day(origin_)) ++origin_;
    steps_done_ = steps_before(start);
    clock_ = start;
    markets_.clear();
    file_markets_.clear();
    file_through_ = start - 1;
    file_part_ = 0;

    init_done_ = finished_ = false;
    phase_ = -1;
    stepped_ = false;
    batch_.clear();
    delivered_ = 0;

    for (auto& by_symbol : subscriptions_)
        for (auto& entry : by_symbol) {
            entry.second = 0;
            std::string unused;  // a subscribed symbol without data has no bars to replay
            if (file_mode_) file_market(entry.first, unused);
        }
    if (timer_interval_ > 0) timer_next_ = start + timer_interval_;
    for (auto& entry : user_timers_) entry.second.next = start + entry.second.delay;
    for (Schedule& s : schedules_) s.next = next_schedule_time(s, start);

    orders_.clear();
    open_orders_.clear();
    executions_.clear();
    positions_.clear();
    cash_ = cash;
    cum_commission_ = 0;
    return 0;
}

int Simulation::subscribe(const std::vector<Arg>& args) {
    const Fn fn = Fn::zvi_subscribe;
    const Bytes* symbols = bytes_arg(args, 0);
    const Bytes* frequency = bytes_arg(args, 1);
    if (!address_error_.empty()) return fail(fn, kInvalidRequest, address_error_);
    if (!frequency || frequency->null) return fail(fn, kInvalidRequest, "frequency is null");
    const int f = parse_frequency(frequency->data);
    if (f < 0) return fail(fn, kInvalidRequest, "unknown frequency " + quoted(frequency->data));
    if (!symbols || symbols->null) return fail(fn, kInvalidSymbol, "symbols is null");
    const std::vector<std::string_view> list = split_list(symbols->data);
    for (const std::string_view s : list) {
        if (!file_symbols()) {
            if (!valid_symbol(s)) return fail(fn, kInvalidSymbol, "invalid symbol " + quoted(s));
            continue;
        }
        std::string why;
        const std::shared_ptr<const BarSeries> series = series_of(s, why);
        if (!series) return fail(fn, kInvalidSymbol, why);
        const int data = series->frequency;
        if (f != data)
            return fail(fn, kInvalidRequest,
                        quoted(s) + " has " + frequency_name(data) + " bars in " + series->path + ": a " +
                            frequency_name(f) + " subscription is " + (f < data ? "finer than the data" : "not built from them") +
                            "; subscribe with " + frequency_name(data));
    }
    if (bool_arg(args, 2))
        for (auto& by_symbol : subscriptions_) by_symbol.clear();
    // Steps already walked are not replayed for a new subscription: it starts with the
    // next price step.
    for (const std::string_view s : list) {
        subscriptions_[f].emplace(std::string(s), steps_done_);
        std::string unused;  // checked above
        if (active_ && file_mode_) file_market(s, unused);
    }
    return 0;
}

int Simulation::unsubscribe(const std::vector<Arg>& args) {
    const Fn fn = Fn::zvi_unsubscribe;
    const Bytes* symbols = bytes_arg(args, 0);
    const Bytes* frequency = bytes_arg(args, 1);
    if (!frequency || frequency->null) return fail(fn, kInvalidRequest, "frequency is null");
    const bool every_frequency = frequency->data == "*";
    const int f = every_frequency ? 0 : parse_frequency(frequency->data);
    if (f < 0) return fail(fn, kInvalidRequest, "unknown frequency " + quoted(frequency->data));
    if (!symbols || symbols->null) return fail(fn, kInvalidSymbol, "symbols is null");
    const bool every_symbol = symbols->data == "*";
    std::vector<std::string_view> list;
    if (!every_symbol) {
        list = split_list(symbols->data);
        for (const std::string_view s : list)
            if (!valid_symbol(s)) return fail(fn, kInvalidSymbol, "invalid symbol " + quoted(s));
    }
    for (int g = 0; g < kFrequencyCount; ++g) {
        if (!every_frequency && g != f) continue;
        if (every_symbol) {
            subscriptions_[g].clear();
        } else {
            for (const std::string_view s : list) subscriptions_[g].erase(std::string(s));
        }
    }
    return 0;
}

void Simulation::set_timer(const std::vector<Arg>& args) {
    const long long interval = int_arg(args, 0);
    timer_interval_ = interval > 0 ? interval : 0;
    timer_next_ = clock_ + timer_interval_;
}

int Simulation::user_timer(const std::vector<Arg>& args) {
    const Fn fn = Fn::zvi_user_timer;
    const long long period = int_arg(args, 0), delay = int_arg(args, 1);
    if (period <= 0) return -fail(fn, kInvalidRequest, "period must be above 0 ms");
    if (delay < 0) return -fail(fn, kInvalidRequest, "start_delay must be at least 0 ms");
    const std::int64_t id = next_user_timer_++;
    user_timers_[id] = UserTimer{period, delay, clock_ + delay};
    return static_cast<int>(id);
}

int Simulation::schedule(const std::vector<Arg>& args) {
    const Fn fn = Fn::zvi_schedule;
    const Bytes* date_rule = bytes_arg(args, 0);
    const Bytes* time_rule = bytes_arg(args, 1);
    Schedule s;
    if (!date_rule || date_rule->null) return fail(fn, kInvalidRequest, "date_rule is null");
    if (date_rule->data == "1d") s.rule = DateRule::Daily;
    else if (date_rule->data == "1w") s.rule = DateRule::Weekly;
    else if (date_rule->data == "1m") s.rule = DateRule::Monthly;
    else return fail(fn, kInvalidRequest, "date_rule " + quoted(date_rule->data) + " is not 1d, 1w or 1m");
    if (!time_rule || time_rule->null || !parse_time_of_day(time_rule->data, s.time_of_day))
        return fail(fn, kInvalidRequest,
                    "time_rule " + (time_rule && !time_rule->null ? quoted(time_rule->data) : std::string("null")) +
                        " is not HH:MM:SS");
    s.date_rule = date_rule->data;
    s.time_rule = time_rule->data;
    s.next = next_schedule_time(s, clock_);
    schedules_.push_back(std::move(s));
    return 0;
}

int Simulation::send_to_bus(const std::vector<Arg>& args, std::deque<Event>& queue) {
    const Fn fn = Fn::zvi_send_msg_to_bus;
    const Bytes* topic = bytes_arg(args, 0);
    const Bytes* msg = bytes_arg(args, 1);
    if (!topic || topic->null || topic->data.empty()) return fail(fn, kInvalidRequest, "the topic is empty");
    if (!msg || msg->null) return fail(fn, kInvalidRequest, "msg is null");
    if (topics_.count(topic->data)) {
        std::string data;
        json::Writer w(data);
        w.begin_object().field("topic", topic->data).field("msg", msg->data);
        w.key("created_at").str(format_time(clock_).view()).end_object();
        push(queue, "bus_message", std::move(data));
    }
    return 0;
}

// ---- trading ----

Market& Simulation::market(const std::string& symbol) {
    auto it = markets_.find(symbol);
    if (it == markets_.end()) it = markets_.emplace(symbol, Market(session_seed_, symbol)).first;
    Market& m = it->second;
    while (m.steps() < steps_done_) m.step(static_cast<int>(m.steps() % kStepsPerDay));
    return m;
}

std::shared_ptr<const BarSeries> Simulation::series_of(std::string_view symbol, std::string& error) {
    if (files_.path() != data_path_ && !files_.open(data_path_, error)) return nullptr;
    return files_.series(symbol, error);
}

Simulation::FileMarket* Simulation::file_market(std::string_view symbol, std::string& error) {
    const auto it = file_markets_.find(symbol);
    if (it != file_markets_.end()) return &it->second;
    std::shared_ptr<const BarSeries> series = series_of(symbol, error);
    if (!series) return nullptr;
    // A symbol first used in the middle of a session starts with the first bar not yet
    // replayed; its price is the last close before it (the first open when there is none).
    FileMarket m;
    const auto& bars = series->bars;
    m.cursor = static_cast<std::size_t>(
        std::upper_bound(bars.begin(), bars.end(), file_through_,
                         [](std::int64_t t, const FileBar& bar) { return t < bar.time; }) -
        bars.begin());
    if (m.cursor > 0) {
        m.price = bars[m.cursor - 1].close;
        m.price_time = bars[m.cursor - 1].time;
    } else {
        m.price = bars.empty() ? 0.0 : bars.front().open;
        m.price_time = start_;
    }
    m.series = std::move(series);
    return &file_markets_.emplace(std::string(symbol), std::move(m)).first->second;
}

bool Simulation::symbol_form(std::string_view symbol) const {
    return file_symbols() ? BarFiles::plausible_symbol(symbol) : valid_symbol(symbol);
}

int Simulation::check_symbol(Fn fn, std::string_view symbol) {
    if (!file_mode_) {
        if (!valid_symbol(symbol)) return fail(fn, kInvalidSymbol, "invalid symbol " + quoted(symbol));
        return 0;
    }
    std::string why;
    if (!file_market(symbol, why)) return fail(fn, kInvalidSymbol, why);
    if (file_markets_.find(symbol)->second.series->bars.empty())
        return fail(fn, kInvalidSymbol, "no bars for symbol " + quoted(symbol));
    return 0;
}

// Only symbols check_symbol passed get here.
double Simulation::price_of(const std::string& symbol) {
    if (!file_mode_) return static_cast<double>(market(symbol).price()) / 100.0;
    std::string unused;
    return file_market(symbol, unused)->price;
}

std::int64_t Simulation::price_time_of(const std::string& symbol) {
    if (!file_mode_) return steps_done_ > 0 ? step_time(steps_done_ - 1) : start_;
    std::string unused;
    return file_market(symbol, unused)->price_time;
}

std::int64_t Simulation::step_time(std::int64_t step) const {
    return add_trading_days(origin_, step / kStepsPerDay) * kDayMs +
           step_offset_ms(static_cast<int>(step % kStepsPerDay));
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

std::int64_t Simulation::steps_before(std::int64_t time) const {
    const std::int64_t day = day_of(time);
    if (day < origin_) return 0;
    std::int64_t n = trading_days_between(origin_, day) * kStepsPerDay;
    if (is_trading_day(day)) n += steps_in_day_before(time - day * kDayMs);
    return n;
}

bool Simulation::any_open_orders() const {
    for (const auto& entry : open_orders_)
        if (!entry.second.empty()) return true;
    return false;
}

// Steps nothing depends on (no open order to match, no tick to deliver, no bar of a
// subscribed frequency ending) are not replayed one by one: the symbols' paths are walked
// through them when next used.
std::int64_t Simulation::next_step() const {
    if (any_open_orders() || !subscriptions_[kTick].empty()) return steps_done_;
    unsigned wanted = 0;
    for (int f = k60s; f < kFrequencyCount; ++f)
        if (!subscriptions_[f].empty()) wanted |= 1u << f;
    if (!wanted) return -1;
    for (std::int64_t step = steps_done_;; ++step)  // a subscribed bar ends at least once a day
        if (bar_end_mask(static_cast<int>(step % kStepsPerDay)) & wanted) return step;
}

std::int64_t Simulation::next_file_bar() const {
    std::int64_t t = kNever;
    for (const auto& entry : file_markets_) {
        const FileMarket& m = entry.second;
        if (m.cursor < m.series->bars.size()) t = std::min(t, m.series->bars[m.cursor].time);
    }
    return t;
}

double Simulation::frozen_cash() const {
    double frozen = 0;
    for (const auto& entry : open_orders_)
        for (const std::size_t i : entry.second) frozen += orders_[i].frozen_cash;
    return frozen;
}

std::int64_t Simulation::frozen_volume(const std::string& symbol) const {
    const auto it = open_orders_.find(symbol);
    if (it == open_orders_.end()) return 0;
    std::int64_t frozen = 0;
    for (const std::size_t i : it->second)
        if (orders_[i].side == kSell) frozen += orders_[i].remaining();
    return frozen;
}

void Simulation::write_order(json::Writer& w, const Order& o) const {
    w.begin_object();
    w.key("order_id").str("sim-" + std::to_string(o.seq));
    w.field("cl_ord_id", o.cl_ord_id).field("account_id", kAccountId).field("symbol", o.symbol);
    w.field("side", o.side).field("order_type", o.type).field("price", o.price);
    w.field("volume", o.volume).field("status", o.status).field("filled_volume", o.filled_volume);
    w.field("filled_amount", o.filled_amount);
    w.field("filled_vwap", o.filled_volume ? o.filled_amount / static_cast<double>(o.filled_volume) : 0.0);
    w.field("filled_commission", o.filled_commission);
    w.field("ord_rej_reason", o.rej_reason).field("ord_rej_reason_detail", o.rej_detail);
    w.key("created_at").str(format_time(o.created_at).view());
    w.key("updated_at").str(format_time(o.updated_at).view());
    w.end_object();
}

Event Simulation::order_event(const Order& o) const {
    Event e;
    e.name = "order_status";
    json::Writer w(e.data);
    write_order(w, o);
    e.reported_length = static_cast<int>(e.data.size());
    return e;
}

void Simulation::push(std::deque<Event>& queue, const char* name, std::string data) const {
    Event e;
    e.name = name;
    e.reported_length = static_cast<int>(data.size());
    e.data = std::move(data);
    queue.push_back(std::move(e));
}

// Fills what it can of one open order against a price step.
void Simulation::match(std::size_t index, double price, double previous, double step_volume,
                       std::deque<Event>& out) {
    Order& o = orders_[index];
    if (!o.open()) return;
    const bool buy = o.side == kBuy;
    if (o.type == kLimit && (buy ? price > o.price : price < o.price)) return;
    std::int64_t volume = o.remaining();
    if (transaction_ratio_ > 0)
        volume = std::min(volume, static_cast<std::int64_t>(std::floor(step_volume * transaction_ratio_)));
    double fill = buy ? price * (1 + slippage_) : price * (1 - slippage_);
    if (o.type == kLimit) {
        // Inside a file bar the price moves continuously from one step to the next: a
        // limit it crossed on the way fills at the limit.
        if (previous > 0 && (buy ? previous > o.price : previous < o.price)) fill = o.price;
        fill = buy ? std::min(fill, o.price) : std::max(fill, o.price);
    }
    const auto cost_of = [&](std::int64_t n) {
        const double amount = fill * static_cast<double>(n);
        return amount + amount * commission_ratio_ + static_cast<double>(n) * commission_unit_;
    };
    std::string short_of;  // why the rest of the order is canceled after this fill
    if (buy) {
        // The order's frozen cash and the free cash pay for the fill. A market buy they
        // cannot cover at its fill price is cut to the whole units they cover; the rest
        // is canceled. (A limit buy froze enough at its limit.)
        const double budget = o.frozen_cash + std::max(0.0, cash_ - frozen_cash());
        if (cost_of(volume) > budget) {
            const double unit_cost = fill * (1 + commission_ratio_) + commission_unit_;
            std::int64_t affordable =
                static_cast<std::int64_t>(std::min(std::floor(budget / unit_cost), static_cast<double>(volume)));
            while (affordable > 0 && cost_of(affordable) > budget) --affordable;
            short_of = "insufficient cash: " + number_text(budget) + " available, " +
                       number_text(cost_of(volume)) + " required for " + std::to_string(volume) + " at " +
                       number_text(fill) + "; the rest is canceled";
            volume = affordable;
        }
    } else if (volume > 0) {
        // A sale whose commission is more than its proceeds pays the difference from the
        // free cash; when that does not cover it either, the order is canceled unfilled.
        const double amount = fill * static_cast<double>(volume);
        const double net = amount - (amount * commission_ratio_ + static_cast<double>(volume) * commission_unit_);
        if (net < 0 && cash_ - frozen_cash() + net < 0) {
            short_of = "insufficient cash: the commission of " + number_text(amount - net) + " exceeds the proceeds " +
                       number_text(amount) + " and the available cash";
            volume = 0;
        }
    }
    if (volume > 0) fill_order(index, fill, volume, out);
    if (!short_of.empty()) {
        o.rej_reason = kNoCash;
        o.rej_detail = std::move(short_of);
        cancel(index, out);
    }
}

void Simulation::fill_order(std::size_t index, double fill, std::int64_t volume, std::deque<Event>& out) {
    Order& o = orders_[index];
    const double amount = fill * static_cast<double>(volume);
    const double commission = amount * commission_ratio_ + static_cast<double>(volume) * commission_unit_;
    Position& position = positions_[o.symbol];
    if (o.side == kBuy) {
        const double release = volume == o.remaining()
                                   ? o.frozen_cash
                                   : o.frozen_cash * static_cast<double>(volume) / static_cast<double>(o.remaining());
        o.frozen_cash -= release;
        cash_ -= amount + commission;
        position.volume += volume;
        position.cost += amount;
        // What the order still freezes never exceeds the cash there is.
        const double shortfall = frozen_cash() - cash_;
        if (shortfall > 0) o.frozen_cash = std::max(0.0, o.frozen_cash - shortfall);
    } else {
        cash_ += amount - commission;
        position.cost -= position.cost * static_cast<double>(volume) / static_cast<double>(position.volume);
        position.volume -= volume;
        if (position.volume == 0) positions_.erase(o.symbol);
    }
    cum_commission_ += commission;
    o.filled_volume += volume;
    o.filled_amount += amount;
    o.filled_commission += commission;
    o.status = o.remaining() == 0 ? kFilled : kPartiallyFilled;
    if (o.status == kFilled) o.frozen_cash = 0;
    o.updated_at = clock_;

    const Execution& x = executions_.emplace_back(Execution{static_cast<std::int64_t>(executions_.size()) + 1, index,
                                                            fill, volume, amount, commission, clock_});
    std::string data;
    json::Writer w(data);
    w.begin_object();
    w.key("exec_id").str("sim-exec-" + std::to_string(x.seq));
    w.key("order_id").str("sim-" + std::to_string(o.seq));
    w.field("cl_ord_id", o.cl_ord_id).field("account_id", kAccountId).field("symbol", o.symbol);
    w.field("side", o.side).field("price", x.price).field("volume", x.volume).field("amount", x.amount);
    w.field("commission", x.commission);
    w.key("created_at").str(format_time(x.created_at).view());
    w.end_object();
    push(out, "execution_report", std::move(data));
    out.push_back(order_event(o));
}

void Simulation::finish_order(std::size_t index) {
    std::vector<std::size_t>& open = open_orders_[orders_[index].symbol];
    open.erase(std::remove(open.begin(), open.end(), index), open.end());
}

void Simulation::cancel(std::size_t index, std::deque<Event>& out) {
    Order& o = orders_[index];
    o.status = kCanceled;
    o.frozen_cash = 0;
    o.updated_at = clock_;
    finish_order(index);
    out.push_back(order_event(o));
}

int Simulation::place_order(const json::Value& req, std::string& res, std::deque<Event>& queue) {
    const Fn fn = Fn::zvi_place_order_pb;
    const json::Value* symbol = req.find("symbol");
    const json::Value* side = req.find("side");
    const json::Value* type = req.find("order_type");
    const json::Value* volume = req.find("volume");
    const json::Value* price = req.find("price");
    const json::Value* cl_ord_id = req.find("cl_ord_id");
    std::int64_t side_v, type_v, volume_v;
    if (!symbol || !symbol->is_string()) return fail(fn, kInvalidRequest, "symbol must be a string");
    if (!file_mode_ && !valid_symbol(symbol->string))
        return fail(fn, kInvalidSymbol, "invalid symbol " + quoted(symbol->string));
    if (!side || !int_field(*side, side_v) || (side_v != kBuy && side_v != kSell))
        return fail(fn, kInvalidRequest, "side must be 1 (buy) or 2 (sell)");
    if (!type || !int_field(*type, type_v) || (type_v != kLimit && type_v != kMarket))
        return fail(fn, kInvalidRequest, "order_type must be 1 (limit) or 2 (market)");
    if (!volume || !int_field(*volume, volume_v) || volume_v <= 0 || volume_v > kMaxOrderVolume)
        return fail(fn, kInvalidRequest, "volume must be a positive integer");
    double price_v = 0;
    if (type_v == kLimit) {
        if (!price || !price->is_number() || price->number <= 0)
            return fail(fn, kInvalidRequest, "a limit order needs a price above 0");
        price_v = price->number;
    } else if (price && !price->is_null()) {
        if (!price->is_number() || price->number < 0)
            return fail(fn, kInvalidRequest, "price must be a number of at least 0");
        price_v = price->number;
    }
    if (cl_ord_id && !cl_ord_id->is_null() && !cl_ord_id->is_string())
        return fail(fn, kInvalidRequest, "cl_ord_id must be a string");
    if (const int status = check_symbol(fn, symbol->string)) return status;

    const double current = price_of(symbol->string);
    Order o;
    o.seq = static_cast<std::int64_t>(orders_.size()) + 1;
    o.cl_ord_id = cl_ord_id && cl_ord_id->is_string() ? cl_ord_id->string : std::string();
    o.symbol = symbol->string;
    o.side = static_cast<int>(side_v);
    o.type = static_cast<int>(type_v);
    o.price = price_v;
    o.volume = volume_v;
    o.status = kNew;
    o.created_at = o.updated_at = clock_;
    const double shares = static_cast<double>(volume_v);
    if (o.side == kBuy) {
        const double reference = o.type == kLimit ? o.price : current;
        const double turnover = shares * reference * (1 + slippage_);
        const double required = turnover + turnover * commission_ratio_ + shares * commission_unit_;
        const double available = cash_ - frozen_cash();
        if (o.type == kMarket && available > 0) {
            // A market buy freezes what it is expected to cost, or all the free cash; the
            // fill is cut to what the cash covers at the fill price.
            o.frozen_cash = std::min(required, available);
        } else if (required > available) {
            o.status = kRejected;
            o.rej_reason = kNoCash;
            o.rej_detail = "insufficient cash: " + number_text(available) + " available, " + number_text(required) +
                           " required";
        } else {
            o.frozen_cash = required;
        }
    } else {
        const auto held = positions_.find(o.symbol);
        const std::int64_t available = (held == positions_.end() ? 0 : held->second.volume) - frozen_volume(o.symbol);
        if (volume_v > available) {
            o.status = kRejected;
            o.rej_reason = kNoPosition;
            o.rej_detail = "insufficient position: " + std::to_string(available) + " available, " +
                           std::to_string(volume_v) + " to sell";
        }
    }
    const std::size_t index = orders_.size();
    orders_.push_back(std::move(o));
    if (orders_[index].open()) open_orders_[orders_[index].symbol].push_back(index);
    queue.push_back(order_event(orders_[index]));
    if (orders_[index].open() && match_mode_ == 1) {
        const double step_volume = file_mode_ ? file_markets_.find(orders_[index].symbol)->second.volume
                                              : static_cast<double>(market(orders_[index].symbol).last_volume());
        match(index, current, 0.0, step_volume, queue);
        if (!orders_[index].open()) finish_order(index);
    }
    json::Writer w(res);
    write_order(w, orders_[index]);
    return 0;
}

namespace {

// "sim-<n>" -> n - 1 when it names one of `count` orders.
bool order_index(std::string_view id, std::size_t count, std::size_t& index) {
    if (id.substr(0, 4) != "sim-" || id.size() == 4 || id[4] == '0') return false;
    std::uint64_t n = 0;
    const auto res = std::from_chars(id.data() + 4, id.data() + id.size(), n);
    if (res.ec != std::errc() || res.ptr != id.data() + id.size() || n > count) return false;
    index = static_cast<std::size_t>(n - 1);
    return true;
}

}  // namespace

int Simulation::cancel_orders(const json::Value& req, std::deque<Event>& queue) {
    const Fn fn = Fn::zvi_cancel_orders_pb;
    std::vector<std::string> ids;
    if (!string_list(req, "order_ids", ids)) return fail(fn, kInvalidRequest, "order_ids must be a list of strings");
    std::string refused;
    for (const std::string& id : ids) {
        std::size_t index;
        if (order_index(id, orders_.size(), index) && orders_[index].open()) {
            cancel(index, queue);
        } else {
            if (!refused.empty()) refused += ", ";
            refused += quoted(id);
        }
    }
    if (!refused.empty()) return fail(fn, kUnknownOrder, "unknown or finished orders: " + refused);
    return 0;
}

int Simulation::cancel_all(std::deque<Event>& queue) {
    for (std::size_t i = 0; i < orders_.size(); ++i)
        if (orders_[i].open()) cancel(i, queue);
    return 0;
}

int Simulation::get_orders(const json::Value&, bool open_only, std::string& res) {
    json::Writer w(res);
    w.begin_object().key("orders").begin_array();
    for (const Order& o : orders_)
        if (!open_only || o.open()) write_order(w, o);
    w.end_array().end_object();
    return 0;
}

int Simulation::get_execution_reports(const json::Value& req, std::string& res) {
    const json::Value* filter = req.find("order_id");
    if (filter && !filter->is_null() && !filter->is_string())
        return fail(Fn::zvi_get_execution_reports_pb, kInvalidRequest, "order_id must be a string");
    json::Writer w(res);
    w.begin_object().key("execution_reports").begin_array();
    for (const Execution& x : executions_) {
        const Order& o = orders_[x.order];
        const std::string order_id = "sim-" + std::to_string(o.seq);
        if (filter && filter->is_string() && filter->string != order_id) continue;
        w.begin_object();
        w.key("exec_id").str("sim-exec-" + std::to_string(x.seq));
        w.field("order_id", order_id).field("cl_ord_id", o.cl_ord_id).field("account_id", kAccountId);
        w.field("symbol", o.symbol).field("side", o.side).field("price", x.price).field("volume", x.volume);
        w.field("amount", x.amount).field("commission", x.commission);
        w.key("created_at").str(format_time(x.created_at).view());
        w.end_object();
    }
    w.end_array().end_object();
    return 0;
}

int Simulation::get_cash(std::string& res) {
    double market_value = 0;
    for (const auto& [symbol, position] : positions_)
        market_value += static_cast<double>(position.volume) * price_of(symbol);
    const double frozen = frozen_cash();
    const double nav = cash_ + market_value;
    json::Writer w(res);
    w.begin_object().field("account_id", kAccountId).field("nav", nav).field("available", cash_ - frozen);
    w.field("frozen", frozen).field("market_value", market_value).field("balance", cash_);
    w.field("pnl", nav - initial_cash_).field("cum_commission", cum_commission_).field("initial_cash", initial_cash_);
    w.end_object();
    return 0;
}

int Simulation::get_positions(std::string& res) {
    json::Writer w(res);
    w.begin_object().key("positions").begin_array();
    for (const auto& [symbol, position] : positions_) {
        const double price = price_of(symbol);
        const double volume = static_cast<double>(position.volume);
        const double value = volume * price;
        w.begin_object().field("symbol", symbol).field("side", 1).field("volume", position.volume);
        w.field("available", position.volume - frozen_volume(symbol)).field("vwap", position.cost / volume);
        w.field("price", price).field("market_value", value).field("cost", position.cost);
        w.field("fpnl", value - position.cost).end_object();
    }
    w.end_array().end_object();
    return 0;
}

int Simulation::current_price(const json::Value& req, std::string& res) {
    const Fn fn = Fn::zvi_current_price_pb;
    std::vector<std::string> symbols;
    if (!string_list(req, "symbols", symbols)) return fail(fn, kInvalidRequest, "symbols must be a list of strings");
    for (const std::string& s : symbols)
        if (const int status = check_symbol(fn, s)) return status;
    json::Writer w(res);
    w.begin_object().key("prices").begin_array();
    for (const std::string& s : symbols) {
        w.begin_object().field("symbol", s).field("price", price_of(s));
        w.field("created_at", format_time(price_time_of(s)).view()).end_object();
    }
    w.end_array().end_object();
    return 0;
}

// ---- parameters and pools ----

namespace {

const char* read_parameter(const json::Value& item, bool adding, std::string& key, double& value,
                           std::optional<double>& min, std::optional<double>& max) {
    if (!item.is_object()) return "each parameter must be an object";
    const json::Value* k = item.find("key");
    const json::Value* v = item.find("value");
    if (!k || !k->is_string() || k->string.empty()) return "key must be a non-empty string";
    if (!v || !v->is_number()) return "value must be a number";
    key = k->string;
    value = v->number;
    if (!adding) return nullptr;
    const json::Value* low = item.find("min");
    const json::Value* high = item.find("max");
    if ((low && !low->is_null() && !low->is_number()) || (high && !high->is_null() && !high->is_number()))
        return "min and max must be numbers";
    if (low && low->is_number()) min = low->number;
    if (high && high->is_number()) max = high->number;
    for (const char* text : {"name", "intro", "group"}) {
        const json::Value* t = item.find(text);
        if (t && !t->is_null() && !t->is_string()) return "name, intro and group must be strings";
    }
    const json::Value* readonly = item.find("readonly");
    if (readonly && !readonly->is_null() && !readonly->is_bool()) return "readonly must be true or false";
    return nullptr;
}

std::string text_member(const json::Value& item, std::string_view key) {
    const json::Value* t = item.find(key);
    return t && t->is_string() ? t->string : std::string();
}

}  // namespace

int Simulation::add_parameters(const json::Value& req) {
    const Fn fn = Fn::zvi_add_parameters_pb;
    const json::Value* list = req.find("parameters");
    if (!list || !list->is_array()) return fail(fn, kInvalidRequest, "parameters must be a list");
    std::vector<Parameter> added;
    for (const json::Value& item : list->items) {
        Parameter p;
        if (const char* why = read_parameter(item, true, p.key, p.value, p.min, p.max))
            return fail(fn, kInvalidRequest, why);
        if (p.min && p.max && *p.min > *p.max)
            return fail(fn, kInvalidRequest, "min is above max for " + quoted(p.key));
        if ((p.min && p.value < *p.min) || (p.max && p.value > *p.max))
            return fail(fn, kInvalidRequest, "value is outside [min, max] for " + quoted(p.key));
        p.name = text_member(item, "name");
        p.intro = text_member(item, "intro");
        p.group = text_member(item, "group");
        const json::Value* readonly = item.find("readonly");
        p.readonly = readonly && readonly->is_bool() && readonly->boolean;
        added.push_back(std::move(p));
    }
    for (Parameter& p : added) parameters_[p.key] = std::move(p);
    return 0;
}

namespace {

void write_parameter(json::Writer& w, const std::string& key, double value, const std::optional<double>& min,
                     const std::optional<double>& max, const std::string& name, const std::string& intro,
                     const std::string& group, bool readonly) {
    w.begin_object().field("key", key).field("value", value);
    if (min) w.field("min", *min); else w.key("min").null();
    if (max) w.field("max", *max); else w.key("max").null();
    w.field("name", name).field("intro", intro).field("group", group).field("readonly", readonly).end_object();
}

}  // namespace

int Simulation::set_parameters(const json::Value& req, std::deque<Event>& queue) {
    const Fn fn = Fn::zvi_set_parameters_pb;
    const json::Value* list = req.find("parameters");
    if (!list || !list->is_array()) return fail(fn, kInvalidRequest, "parameters must be a list");
    std::vector<std::pair<std::string, double>> changes;
    for (const json::Value& item : list->items) {
        std::string key;
        double value;
        std::optional<double> unused_min, unused_max;
        if (const char* why = read_parameter(item, false, key, value, unused_min, unused_max))
            return fail(fn, kInvalidRequest, why);
        const auto it = parameters_.find(key);
        if (it == parameters_.end()) return fail(fn, kNotFound, "no parameter " + quoted(key));
        const Parameter& p = it->second;
        if (p.readonly) return fail(fn, kInvalidRequest, "parameter " + quoted(key) + " is read-only");
        if ((p.min && value < *p.min) || (p.max && value > *p.max))
            return fail(fn, kInvalidRequest,
                        "value " + number_text(value) + " is outside [min, max] for " + quoted(key));
        changes.emplace_back(std::move(key), value);
    }
    std::string data;
    json::Writer w(data);
    w.begin_object().key("parameters").begin_array();
    for (const auto& [key, value] : changes) {
        Parameter& p = parameters_[key];
        p.value = value;
        write_parameter(w, p.key, p.value, p.min, p.max, p.name, p.intro, p.group, p.readonly);
    }
    w.end_array().end_object();
    push(queue, "parameter", std::move(data));
    return 0;
}

int Simulation::get_parameters(const json::Value& req, std::string& res) {
    const json::Value* keys = req.find("keys");
    std::set<std::string> wanted;
    if (keys && !keys->is_null()) {
        std::vector<std::string> list;
        if (!string_list(req, "keys", list))
            return fail(Fn::zvi_get_parameters_pb, kInvalidRequest, "keys must be a list of strings");
        wanted.insert(list.begin(), list.end());
    }
    const bool every = !keys || keys->is_null();
    json::Writer w(res);
    w.begin_object().key("parameters").begin_array();
    for (const auto& [key, p] : parameters_)
        if (every || wanted.count(key))
            write_parameter(w, key, p.value, p.min, p.max, p.name, p.intro, p.group, p.readonly);
    w.end_array().end_object();
    return 0;
}

namespace {

bool pool_name(const json::Value& req, std::string& name) {
    const json::Value* n = req.find("name");
    if (!n || !n->is_string() || n->string.empty()) return false;
    name = n->string;
    return true;
}

void write_pool(json::Writer& w, const std::string& name, const std::vector<std::string>& symbols) {
    w.begin_object().field("name", name).key("symbols").begin_array();
    for (const std::string& s : symbols) w.str(s);
    w.end_array().end_object();
}

}  // namespace

int Simulation::set_pool(const json::Value& req) {
    const Fn fn = Fn::zvi_set_instrument_pool_symbols_pb;
    std::string name;
    std::vector<std::string> symbols;
    if (!pool_name(req, name)) return fail(fn, kInvalidRequest, "name must be a non-empty string");
    if (!string_list(req, "symbols", symbols)) return fail(fn, kInvalidRequest, "symbols must be a list of strings");
    for (const std::string& s : symbols)
        if (!symbol_form(s)) return fail(fn, kInvalidSymbol, "invalid symbol " + quoted(s));
    pools_[name] = std::move(symbols);
    return 0;
}

int Simulation::get_pools(std::string& res) {
    json::Writer w(res);
    w.begin_object().key("pools").begin_array();
    for (const auto& [name, symbols] : pools_) write_pool(w, name, symbols);
    w.end_array().end_object();
    return 0;
}

int Simulation::get_pool(const json::Value& req, std::string& res) {
    const Fn fn = Fn::zvi_get_instrument_pool_by_name_pb;
    std::string name;
    if (!pool_name(req, name)) return fail(fn, kInvalidRequest, "name must be a non-empty string");
    const auto it = pools_.find(name);
    if (it == pools_.end()) return fail(fn, kNotFound, "no pool " + quoted(name));
    json::Writer w(res);
    write_pool(w, it->first, it->second);
    return 0;
}

int Simulation::del_pool(const json::Value& req) {
    const Fn fn = Fn::zvi_del_instrument_pool_by_name_pb;
    std::string name;
    if (!pool_name(req, name)) return fail(fn, kInvalidRequest, "name must be a non-empty string");
    if (!pools_.erase(name)) return fail(fn, kNotFound, "no pool " + quoted(name));
    return 0;
}

// ---- dispatch ----

void Simulation::answer(Fn fn, const std::vector<Arg>& args, Outcome& out, std::deque<Event>& queue) {
    if (fn == Fn::zvi_set_serv_addr) {
        set_serv_addr(args);  // the address that turns the simulation on
        return;
    }
    if (!enabled_) return;
    switch (fn) {
        case Fn::zvi_set_backtest_config: out.number = configure(args); return;
        case Fn::zvi_now:
            if (active_) out.number = clock_;
            return;
        case Fn::zvi_now_plus:
            if (active_) out.real = static_cast<double>(clock_) / 1000.0;
            return;
        case Fn::zvi_get_ext_errormsg: out.text = Text{false, last_error_}; return;
        case Fn::zvi_subscribe: out.number = subscribe(args); return;
        case Fn::zvi_unsubscribe: out.number = unsubscribe(args); return;
        case Fn::zvi_set_timer: set_timer(args); return;
        case Fn::zvi_user_timer: out.number = user_timer(args); return;
        case Fn::zvi_user_timer_stop: user_timers_.erase(int_arg(args, 0)); return;
        case Fn::zvi_schedule: out.number = schedule(args); return;
        case Fn::zvi_add_bus_topic:
            if (const Bytes* topic = bytes_arg(args, 0); topic && !topic->null) topics_.insert(topic->data);
            return;
        case Fn::zvi_send_msg_to_bus: out.number = send_to_bus(args, queue); return;
        case Fn::zvi_get_account_info_pb: {
            std::string res;
            json::Writer w(res);
            w.begin_object().key("accounts").begin_array().begin_object();
            w.field("account_id", kAccountId).field("account_name", "simulated").end_object().end_array().end_object();
            out.response = Response{false, res, static_cast<int>(res.size())};
            return;
        }
        default: break;
    }

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
        case Fn::zvi_del_instrument_pool_by_name_pb: break;
        default: return;  // not one the simulation answers: the defaults stand
    }
    if (needs_session && !active_) {
        out.number = fail(fn, kNoSession, "no active backtest session: call zvi_set_backtest_config first");
        return;
    }
    json::Value req;
    int status = 0;
    if (!read_request(fn, args, req, status)) {
        out.number = status;
        return;
    }
    std::string res;
    switch (fn) {
        case Fn::zvi_place_order_pb: status = place_order(req, res, queue); break;
        case Fn::zvi_cancel_orders_pb: status = cancel_orders(req, queue); break;
        case Fn::zvi_cancel_all_orders_pb: status = cancel_all(queue); break;
        case Fn::zvi_get_orders_pb: status = get_orders(req, false, res); break;
        case Fn::zvi_get_unfinished_orders_pb: status = get_orders(req, true, res); break;
        case Fn::zvi_get_execution_reports_pb: status = get_execution_reports(req, res); break;
        case Fn::zvi_get_cash_pb: status = get_cash(res); break;
        case Fn::zvi_get_positions_pb: status = get_positions(res); break;
        case Fn::zvi_current_price_pb: status = current_price(req, res); break;
        case Fn::zvi_add_parameters_pb: status = add_parameters(req); break;
        case Fn::zvi_set_parameters_pb: status = set_parameters(req, queue); break;
        case Fn::zvi_get_parameters_pb: status = get_parameters(req, res); break;
        case Fn::zvi_set_instrument_pool_symbols_pb: status = set_pool(req); break;
        case Fn::zvi_get_instrument_pools_pb: status = get_pools(res); break;
        case Fn::zvi_get_instrument_pool_by_name_pb: status = get_pool(req, res); break;
        case Fn::zvi_del_instrument_pool_by_name_pb: status = del_pool(req); break;
        default: break;
    }
    out.number = status;
    if (status == 0 && info(fn).outputs == Outputs::Response) {
        const int length = static_cast<int>(res.size());
        out.response = Response{false, std::move(res), length};
    }
}

// ---- the replay ----

std::int64_t Simulation::next_schedule_time(const Schedule& s, std::int64_t from) const {
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

std::int64_t Simulation::next_instant() const {
    std::int64_t t = kNever;
    if (file_mode_) {
        t = next_file_bar();
    } else if (const std::int64_t step = next_step(); step >= 0) {
        t = step_time(step);
    }
    for (const Schedule& s : schedules_) t = std::min(t, s.next);
    if (timer_interval_ > 0) t = std::min(t, timer_next_);
    for (const auto& entry : user_timers_) t = std::min(t, entry.second.next);
    return t;
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
        std::string data;
        json::Writer(data).begin_object().key("created_at").str(format_time(start_).view()).end_object();
        push(batch_, "init", std::move(data));
        return;
    }
    if (phase_ < 0) {
        const std::int64_t t = next_instant();
        if (t > end_) {
            finished_ = true;
            clock_ = end_;
            if (!file_mode_) steps_done_ = std::max(steps_done_, steps_before(end_ + 1));
            file_through_ = end_;
            std::string data;
            json::Writer w(data);
            w.begin_object().key("created_at").str(format_time(end_).view()).field("events", delivered_).end_object();
            push(batch_, "backtest_finished", std::move(data));
            return;
        }
        instant_ = clock_ = t;
        phase_ = 0;
        stepped_ = false;
        // The steps skipped on the way are walked when a symbol is next used.
        if (!file_mode_) steps_done_ = std::max(steps_done_, steps_before(t));
    }
    const TimeText at = format_time(instant_);
    const std::string_view now = at.view();
    switch (phase_++) {
        case 0:
            for (Schedule& s : schedules_) {
                if (s.next > instant_) continue;
                std::string data;
                json::Writer w(data);
                w.begin_object().field("date_rule", s.date_rule).field("time_rule", s.time_rule);
                w.field("created_at", now).end_object();
                push(batch_, "schedule", std::move(data));
                s.next = next_schedule_time(s, instant_ + 1);
            }
            break;
        case 1:
            if (timer_interval_ > 0 && timer_next_ <= instant_) {
                std::string data;
                json::Writer(data).begin_object().field("timer_id", 0).field("created_at", now).end_object();
                push(batch_, "timer", std::move(data));
                timer_next_ = instant_ + timer_interval_;
            }
            break;
        case 2:
            for (auto& [id, timer] : user_timers_) {
                if (timer.next > instant_) continue;
                std::string data;
                json::Writer(data).begin_object().field("timer_id", id).field("created_at", now).end_object();
                push(batch_, "user_timer", std::move(data));
                timer.next = instant_ + timer.period;
            }
            break;
        case 3:
            if (file_mode_) {
                // A file bar is four price steps at its time, each matched in turn: open,
                // high, low, close.
                if (file_part_ == 0) file_through_ = instant_;
                run_file_step(file_part_);
                if (++file_part_ < 4) {
                    --phase_;
                } else {
                    file_part_ = 0;
                }
            } else if (step_time(steps_done_) == instant_) {
                run_step();
                stepped_ = true;
            }
            break;
        case 4:
            if (stepped_) emit_ticks();
            break;
        default:
            if (stepped_ || file_mode_) emit_bars();
            phase_ = -1;
            break;
    }
}

void Simulation::run_step() {
    ++steps_done_;
    // Symbols ascending, each symbol's orders oldest first; market() walks the path up to
    // this step.
    for (auto& [symbol, open] : open_orders_) {
        if (open.empty()) continue;
        const Market& m = market(symbol);
        const double price = static_cast<double>(m.price()) / 100.0;
        for (const std::size_t i : open) match(i, price, 0.0, static_cast<double>(m.last_volume()), batch_);
        open.erase(std::remove_if(open.begin(), open.end(), [&](std::size_t i) { return !orders_[i].open(); }),
                   open.end());
    }
}

void Simulation::run_file_step(int part) {
    for (auto& [symbol, m] : file_markets_) {
        if (m.cursor >= m.series->bars.size() || m.series->bars[m.cursor].time != instant_) continue;
        const FileBar& bar = m.series->bars[m.cursor];
        const double path[4] = {bar.open, bar.high, bar.low, bar.close};
        const double previous = part == 0 ? 0.0 : path[part - 1];
        m.price = path[part];
        m.price_time = bar.time;
        m.volume = bar.volume / 4;
        if (part == 3) ++m.cursor;
        const auto it = open_orders_.find(symbol);
        if (it == open_orders_.end() || it->second.empty()) continue;
        std::vector<std::size_t>& open = it->second;
        for (const std::size_t i : std::vector<std::size_t>(open)) match(i, m.price, previous, m.volume, batch_);
        open.erase(std::remove_if(open.begin(), open.end(), [&](std::size_t i) { return !orders_[i].open(); }),
                   open.end());
    }
}

void Simulation::emit_ticks() {
    const std::int64_t step = steps_done_ - 1;
    const TimeText at = format_time(instant_);
    const std::string_view now = at.view();
    for (const auto& [symbol, from] : subscriptions_[kTick]) {
        if (from > step) continue;
        const Market& m = market(symbol);
        const Aggregate& day = m.day();
        const auto yuan = [](std::int64_t cents) { return static_cast<double>(cents) / 100.0; };
        std::string data;
        json::Writer w(data);
        w.begin_object().field("symbol", symbol).field("created_at", now).field("price", yuan(m.price()));
        w.field("open", yuan(day.open)).field("high", yuan(day.high)).field("low", yuan(day.low));
        w.field("cum_volume", day.volume).field("cum_amount", yuan(day.amount));
        w.field("last_volume", m.last_volume()).field("last_amount", yuan(m.price() * m.last_volume()));
        w.key("quotes").begin_array().begin_object();
        w.field("bid_p", yuan(std::max<std::int64_t>(m.price() - 1, 1))).field("bid_v", m.bid_volume());
        w.field("ask_p", yuan(m.price() + 1)).field("ask_v", m.ask_volume());
        w.end_object().end_array().end_object();
        push(batch_, "tick", std::move(data));
    }
}

void Simulation::emit_bars() {
    if (file_mode_) {
        const TimeText at = format_time(instant_);
        for (int f = k60s; f < kFrequencyCount; ++f) {
            for (const auto& entry : subscriptions_[f]) {
                const auto it = file_markets_.find(entry.first);
                if (it == file_markets_.end()) continue;
                const FileMarket& m = it->second;
                if (m.cursor == 0 || m.series->bars[m.cursor - 1].time != instant_) continue;
                const FileBar& bar = m.series->bars[m.cursor - 1];
                const double pre_close = m.cursor >= 2 ? m.series->bars[m.cursor - 2].close : bar.open;
                std::string data;
                json::Writer w(data);
                w.begin_object().field("symbol", entry.first).field("frequency", frequency_name(f));
                w.field("bob", at.view()).field("eob", at.view());
                w.field("open", bar.open).field("high", bar.high).field("low", bar.low).field("close", bar.close);
                write_volume(w, bar.volume);
                w.field("amount", bar.amount).field("pre_close", pre_close).end_object();
                push(batch_, "bar", std::move(data));
            }
        }
        return;
    }
    const std::int64_t step = steps_done_ - 1;
    const int index = static_cast<int>(step % kStepsPerDay);
    const unsigned ends = bar_end_mask(index);
    if (!ends) return;
    const std::int64_t midnight = day_of(instant_) * kDayMs;
    const TimeText eob_text = format_time(instant_);
    const std::string_view eob = eob_text.view();
    for (int f = k60s; f < kFrequencyCount; ++f) {
        if (!(ends & (1u << f)) || subscriptions_[f].empty()) continue;
        const TimeText bob_text = format_time(midnight + bar_begin_offset_ms(f, index));
        const std::string_view bob = bob_text.view();
        for (const auto& [symbol, from] : subscriptions_[f]) {
            if (from > step) continue;
            const Aggregate& bar = market(symbol).bar(f);
            const auto yuan = [](std::int64_t cents) { return static_cast<double>(cents) / 100.0; };
            std::string data;
            json::Writer w(data);
            w.begin_object().field("symbol", symbol).field("frequency", frequency_name(f));
            w.field("bob", bob).field("eob", eob);
            w.field("open", yuan(bar.open)).field("high", yuan(bar.high)).field("low", yuan(bar.low));
            w.field("close", yuan(bar.close)).field("volume", bar.volume).field("amount", yuan(bar.amount));
            w.field("pre_close", yuan(bar.pre_close)).end_object();
            push(batch_, "bar", std::move(data));
        }
    }
}

}  // namespace standin::sim
