#include "sim/account.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "sim/calendar.hpp"
#include "sim/numbers.hpp"
#include "sim/text.hpp"

namespace standin::sim {

namespace {

constexpr std::int64_t kMaxOrderVolume = 1000000000000LL;  // keeps every amount well inside a double's integers

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

void Account::write_info(std::string& res) {
    json::Writer w(res);
    w.begin_object().key("accounts").begin_array().begin_object();
    w.field("account_id", kAccountId).field("account_name", "simulated").end_object().end_array().end_object();
}

void Account::restart(double cash, const Costs& costs, Prices& prices) {
    prices_ = &prices;
    costs_ = costs;
    initial_cash_ = cash_ = cash;
    cum_commission_ = 0;
    orders_.clear();
    open_.clear();
    executions_.clear();
    positions_.clear();
}

double Account::frozen_cash() const {
    double frozen = 0;
    for (const auto& entry : open_)
        for (const std::size_t i : entry.second) frozen += orders_[i].frozen_cash;
    return frozen;
}

std::int64_t Account::frozen_volume(const std::string& symbol, int side) const {
    const auto it = open_.find(symbol);
    if (it == open_.end()) return 0;
    std::int64_t frozen = 0;
    for (const std::size_t i : it->second) {
        const Order& o = orders_[i];
        // Exits hold nothing: they only ever reduce what is there when they fill, and are
        // canceled when the position closes, so the position stays free to be sold.
        if (o.side != side || (side == kBuy && o.effect != kClose) || o.parent >= 0) continue;
        frozen += o.remaining();
    }
    return frozen;
}

std::int64_t Account::net(const std::string& symbol) const {
    const auto it = positions_.find(symbol);
    return it == positions_.end() ? 0 : it->second.volume;
}

bool Account::has_short() const {
    for (const auto& entry : positions_)
        if (entry.second.volume < 0) return true;
    return false;
}

double Account::short_value() const {
    double value = 0;
    for (const auto& [symbol, position] : positions_)
        if (position.volume < 0) value += static_cast<double>(-position.volume) * prices_->price(symbol);
    return value;
}

// nav - sum |position values| - frozen: a long's value is in the nav and held, so it
// cancels out; a short's proceeds are in the balance (they pay its buy-back) and as much
// again is held as margin.
double Account::available() const {
    const double free = cash_ - frozen_cash();
    return has_short() ? free - 2 * short_value() : free;
}

double Account::unit_cost(double price) const {
    return price * (1 + costs_.commission_ratio) + costs_.commission_unit;
}

double Account::cost_of(double price, std::int64_t volume) const {
    const double amount = price * static_cast<double>(volume);
    return amount + amount * costs_.commission_ratio + static_cast<double>(volume) * costs_.commission_unit;
}

bool Account::any_open() const {
    for (const auto& entry : open_)
        if (!entry.second.empty()) return true;
    return false;
}

bool Account::has_open(const std::string& symbol) const {
    const auto it = open_.find(symbol);
    return it != open_.end() && !it->second.empty();
}

std::vector<std::string> Account::open_symbols() const {
    std::vector<std::string> symbols;
    for (const auto& entry : open_)
        if (!entry.second.empty()) symbols.push_back(entry.first);
    return symbols;
}

void Account::match_symbol(const std::string& symbol, const Step& step, std::int64_t now, std::deque<Event>& out) {
    const auto it = open_.find(symbol);
    if (it == open_.end()) return;
    // A copy: a canceled order leaves the list while it is walked, and exits placed by a
    // fill join it (they are matched from the next step on).
    for (const std::size_t i : std::vector<std::size_t>(it->second)) match(i, step, now, out);
    std::vector<std::size_t>& open = it->second;
    open.erase(std::remove_if(open.begin(), open.end(), [&](std::size_t i) { return !orders_[i].open(); }),
               open.end());
}

// Fills what it can of one open order against a price step.
void Account::match(std::size_t index, const Step& step, std::int64_t now, std::deque<Event>& out) {
    if (!orders_[index].open()) return;
    Step at = step;
    {
        Order& o = orders_[index];
        if ((o.type == kStopMarket || o.type == kStopLimit) && !o.triggered) {
            const bool buy = o.side == kBuy;
            if (buy ? step.price < o.stop_price : step.price > o.stop_price) return;
            o.triggered = true;
            // Reached between two steps of a file bar, the path met the stop on the way: the
            // order starts from the stop. At a step that is already through it (a bar that
            // opens through it), from the step's price.
            if (step.previous > 0 && (buy ? step.previous < o.stop_price : step.previous > o.stop_price))
                at.price = o.stop_price;
            at.previous = 0;
        }
        const bool limit = o.type == kLimit || o.type == kStopLimit;
        if (limit && (o.side == kBuy ? at.price > o.price : at.price < o.price)) return;
        if (!o.sized) {
            // Sized at its first fill: not at a step where nothing can fill.
            if (costs_.transaction_ratio > 0 && at.capped && at.volume * costs_.transaction_ratio < 1) return;
            if (!size_order(index, at.price, now, out)) return;
        }
    }
    Order& o = orders_[index];
    const bool buy = o.side == kBuy;
    std::int64_t volume = o.remaining();
    if (costs_.transaction_ratio > 0 && at.capped)
        volume = std::min(volume, clamped_int64(std::floor(at.volume * costs_.transaction_ratio)));
    double price = buy ? at.price * (1 + costs_.slippage) : at.price * (1 - costs_.slippage);
    if (o.type == kLimit || o.type == kStopLimit) {
        // Inside a file bar the price moves continuously from one step to the next: a
        // limit it crossed on the way fills at the limit.
        if (at.previous > 0 && (buy ? at.previous > o.price : at.previous < o.price)) price = o.price;
        price = buy ? std::min(price, o.price) : std::max(price, o.price);
    }
    // The part that closes the opposite position comes first, then the part that opens.
    const std::int64_t held = net(o.symbol);
    std::int64_t closing = std::min(volume, buy ? std::max<std::int64_t>(0, -held) : std::max<std::int64_t>(0, held));
    std::int64_t opening = volume - closing;
    std::string short_of;  // why the rest of the order is canceled after this fill
    int reason = kNoCash;
    if (opening > 0 && (o.effect == kClose || (!buy && o.effect == kEffectDefault))) {
        // It may only close, and what it closes has shrunk since it was placed.
        reason = kNoPosition;
        short_of = "insufficient position: " + std::to_string(closing) + std::string(buy ? " short" : "") +
                   " held, " + std::to_string(volume) + (buy ? " to buy back" : " to sell") +
                   "; the rest is canceled";
        opening = 0;
    }
    if (closing > 0) {
        if (buy) {
            // Buying back a short is paid from the balance other orders do not freeze.
            const double budget = cash_ - (frozen_cash() - o.frozen_cash);
            if (cost_of(price, closing) > budget) {
                std::int64_t affordable =
                    clamped_int64(std::min(std::floor(std::max(budget, 0.0) / unit_cost(price)),
                                           static_cast<double>(closing)));
                while (affordable > 0 && cost_of(price, affordable) > budget) --affordable;
                reason = kNoCash;
                short_of = "insufficient cash: " + number_text(budget) + " to buy back, " +
                           number_text(cost_of(price, closing)) + " required for " + std::to_string(closing) +
                           " at " + number_text(price) + "; the rest is canceled";
                closing = affordable;
                opening = 0;
            }
        } else {
            const double amount = price * static_cast<double>(closing);
            const double net_proceeds =
                amount - (amount * costs_.commission_ratio + static_cast<double>(closing) * costs_.commission_unit);
            if (net_proceeds < 0 && available() + net_proceeds < 0) {
                reason = kNoCash;
                short_of = "insufficient cash: the commission of " + number_text(amount - net_proceeds) +
                           " exceeds the proceeds " + number_text(amount) + " and the available cash";
                closing = opening = 0;
            }
        }
        if (closing > 0) fill(index, price, closing, true, now, out);
    }
    if (opening > 0) {
        // What opens (or adds to) a position is paid from the order's frozen cash and the
        // available margin; a market order they do not cover is cut to the whole units
        // they cover. (A limit order froze enough.)
        const Order& p = orders_[index];
        const double budget = p.frozen_cash + std::max(0.0, available());
        if (cost_of(price, opening) > budget) {
            std::int64_t affordable =
                clamped_int64(std::min(std::floor(budget / unit_cost(price)), static_cast<double>(opening)));
            while (affordable > 0 && cost_of(price, affordable) > budget) --affordable;
            reason = kNoCash;
            short_of = std::string(buy ? "insufficient cash: " : "insufficient margin: ") + number_text(budget) +
                       " available, " + number_text(cost_of(price, opening)) + " required for " +
                       std::to_string(opening) + " at " + number_text(price) + "; the rest is canceled";
            opening = affordable;
        }
        if (opening > 0) fill(index, price, opening, false, now, out);
    }
    const bool filled = closing > 0 || opening > 0;
    if (!short_of.empty()) {
        Order& c = orders_[index];
        c.rej_reason = reason;
        c.rej_detail = std::move(short_of);
        cancel(index, now, out);
    }
    if (filled) after_fill(index, now, out);
}

// Sizes a market order by value, equity share or target at the price of the step it
// fills at (`step_price`, before slippage). Not one unit: the order is canceled unfilled,
// and false returned.
bool Account::size_order(std::size_t index, double step_price, std::int64_t now, std::deque<Event>& out) {
    Order& o = orders_[index];
    const double limit = static_cast<double>(kMaxOrderVolume);
    if (o.by_target) {
        const std::int64_t delta = o.target - net(o.symbol);
        if (delta == 0) {
            o.rej_detail = "already at the target volume " + std::to_string(o.target);
            cancel(index, now, out);
            return false;
        }
        o.side = delta > 0 ? kBuy : kSell;
        o.volume = delta > 0 ? delta : -delta;
        o.effect = kOpen;
        o.sized = true;
        return true;
    }
    std::int64_t units = 0;
    const bool buy = o.side == kBuy;
    const double price = buy ? step_price * (1 + costs_.slippage) : step_price * (1 - costs_.slippage);
    const std::int64_t long_available = std::max<std::int64_t>(net(o.symbol), 0) - frozen_volume(o.symbol, kSell);
    const auto whole_units = [&](double budget) {
        std::int64_t n = clamped_int64(std::min(std::floor(std::max(budget, 0.0) / unit_cost(price)), limit));
        while (n > 0 && cost_of(price, n) > budget) --n;
        return n;
    };
    if (o.equity_share > 0) {
        const double margin = o.frozen_cash + std::max(0.0, available());
        const double budget = o.equity_share * margin;
        units = whole_units(budget);
        if (!buy && o.effect != kOpen) units = std::min(units, std::max<std::int64_t>(long_available, 0));
        if (units == 0) {
            o.rej_reason = !buy && o.effect != kOpen && long_available <= 0 ? kNoPosition : kNoCash;
            o.rej_detail = o.rej_reason == kNoPosition
                               ? std::string("insufficient position: 0 available to sell")
                               : "insufficient cash: " + number_text(budget) + " (" + number_text(o.equity_share) +
                                     " of the available " + number_text(margin) + ") buys no whole unit at " +
                                     number_text(price) + " (" + number_text(unit_cost(price)) +
                                     " a unit with commission)";
        }
    } else if (buy) {
        const double budget = std::min(o.value, o.frozen_cash + std::max(0.0, available()));
        units = whole_units(budget);
        if (units == 0) {
            o.rej_reason = kNoCash;
            o.rej_detail = "insufficient cash: " + number_text(budget) + " of the value " + number_text(o.value) +
                           " buys no whole unit at " + number_text(price) + " (" + number_text(unit_cost(price)) +
                           " a unit with commission)";
        }
    } else {
        const double wanted = price > 0 ? std::floor(o.value / price) : limit;
        units = o.effect == kOpen
                    ? clamped_int64(std::min(wanted, limit))
                    : clamped_int64(std::min({wanted, static_cast<double>(std::max<std::int64_t>(long_available, 0)),
                                              limit}));
        if (units == 0) {
            o.rej_reason = kNoPosition;
            o.rej_detail = long_available <= 0 && o.effect != kOpen
                               ? "insufficient position: 0 available to sell"
                               : "the value " + number_text(o.value) + " sells no whole unit at " + number_text(price);
        }
    }
    if (units == 0) {
        cancel(index, now, out);
        return false;
    }
    o.volume = units;
    o.sized = true;
    return true;
}

void Account::fill(std::size_t index, double price, std::int64_t volume, bool closing, std::int64_t now,
                   std::deque<Event>& out) {
    Order& o = orders_[index];
    const double amount = price * static_cast<double>(volume);
    const double commission = amount * costs_.commission_ratio + static_cast<double>(volume) * costs_.commission_unit;
    Position& position = positions_[o.symbol];
    const double release = volume == o.remaining()
                               ? o.frozen_cash
                               : o.frozen_cash * static_cast<double>(volume) / static_cast<double>(o.remaining());
    o.frozen_cash -= release;
    int side;
    if (o.side == kBuy) {
        cash_ -= amount + commission;
        if (closing) {  // buys back part of a short
            position.cost -= position.cost * static_cast<double>(volume) / static_cast<double>(-position.volume);
            position.volume += volume;
            side = kShort;
        } else {
            position.volume += volume;
            position.cost += amount;
            side = kLong;
        }
    } else {
        cash_ += amount - commission;
        if (closing) {
            position.cost -= position.cost * static_cast<double>(volume) / static_cast<double>(position.volume);
            position.volume -= volume;
            side = kLong;
        } else {  // opens or adds to a short: its proceeds go to the balance
            position.volume -= volume;
            position.cost += amount;
            side = kShort;
        }
    }
    if (position.volume == 0) positions_.erase(o.symbol);
    // What the order still freezes never exceeds what is available.
    const double shortfall = -(cash_ - frozen_cash() - (has_short() ? 2 * short_value() : 0.0));
    if (shortfall > 0) o.frozen_cash = std::max(0.0, o.frozen_cash - shortfall);
    cum_commission_ += commission;
    o.filled_volume += volume;
    o.filled_amount += amount;
    o.filled_commission += commission;
    o.status = o.remaining() == 0 ? kFilled : kPartiallyFilled;
    if (o.status == kFilled) o.frozen_cash = 0;
    o.updated_at = now;

    const Execution& x = executions_.emplace_back(Execution{static_cast<std::int64_t>(executions_.size()) + 1, index,
                                                            price, volume, amount, commission, now, side,
                                                            closing ? kClose : kOpen});
    push_execution_report(out, x, o);
    push_order_status(out, o);
}

// After an order filled: the other exit of a pair is canceled, exits whose position is
// closed (or has turned) are canceled, and an entry's exits are placed or grown.
void Account::after_fill(std::size_t index, std::int64_t now, std::deque<Event>& out) {
    const std::int64_t oco = orders_[index].oco;
    if (oco >= 0 && orders_[static_cast<std::size_t>(oco)].open()) {
        orders_[static_cast<std::size_t>(oco)].rej_detail = "one-cancels-other: " + order_id(orders_[index]) + " filled";
        cancel(static_cast<std::size_t>(oco), now, out);
    }
    const std::string symbol = orders_[index].symbol;
    const std::int64_t held = net(symbol);
    for (const std::size_t i : std::vector<std::size_t>(open_[symbol])) {
        Order& e = orders_[i];
        if (e.parent < 0 || !e.open() || (e.side == kSell ? held > 0 : held < 0)) continue;
        e.rej_detail = "the position its entry opened is closed";
        cancel(i, now, out);
    }
    if (orders_[index].has_exits()) place_exits(index, now, out);
}

void Account::place_exits(std::size_t entry, std::int64_t now, std::deque<Event>& out) {
    const Order& e = orders_[entry];
    if (e.exit_sl >= 0 || e.exit_tp >= 0) {
        // The entry filled again: its exits cover the whole filled volume.
        const std::int64_t filled = e.filled_volume;
        for (const std::int64_t x : {e.exit_sl, e.exit_tp}) {
            if (x < 0) continue;
            Order& exit = orders_[static_cast<std::size_t>(x)];
            if (!exit.open() || exit.volume >= filled) continue;
            exit.volume = filled;
            exit.updated_at = now;
            push_order_status(out, exit);
        }
        return;
    }
    const double fill = e.filled_amount / static_cast<double>(e.filled_volume);
    const bool long_entry = e.side == kBuy;
    const double sl = e.stop_loss > 0           ? e.stop_loss
                      : e.stop_loss_ratio > 0   ? fill * (long_entry ? 1 - e.stop_loss_ratio : 1 + e.stop_loss_ratio)
                                                : 0.0;
    const double tp = e.take_profit > 0         ? e.take_profit
                      : e.take_profit_ratio > 0 ? fill * (long_entry ? 1 + e.take_profit_ratio : 1 - e.take_profit_ratio)
                                                : 0.0;
    Order exit;
    exit.cl_ord_id = e.cl_ord_id;
    exit.symbol = e.symbol;
    exit.side = long_entry ? kSell : kBuy;
    exit.volume = e.filled_volume;
    exit.effect = kClose;
    exit.status = kNew;
    exit.created_at = exit.updated_at = now;
    exit.parent = static_cast<std::int64_t>(entry);
    std::int64_t placed[2] = {-1, -1};
    for (int k = 0; k < 2; ++k) {
        const double level = k == 0 ? sl : tp;
        if (level <= 0) continue;
        Order x = exit;
        x.seq = static_cast<std::int64_t>(orders_.size()) + 1;
        x.type = k == 0 ? kStopMarket : kLimit;
        x.stop_price = k == 0 ? level : 0.0;
        x.price = k == 0 ? 0.0 : level;
        placed[k] = static_cast<std::int64_t>(orders_.size());
        orders_.push_back(std::move(x));
        open_[orders_.back().symbol].push_back(orders_.size() - 1);
    }
    if (placed[0] >= 0 && placed[1] >= 0) {
        orders_[static_cast<std::size_t>(placed[0])].oco = placed[1];
        orders_[static_cast<std::size_t>(placed[1])].oco = placed[0];
    }
    orders_[entry].exit_sl = placed[0];
    orders_[entry].exit_tp = placed[1];
    for (const std::int64_t x : placed)
        if (x >= 0) push_order_status(out, orders_[static_cast<std::size_t>(x)]);
}

void Account::check_margin(std::int64_t now, std::deque<Event>& out) {
    if (!has_short()) return;
    double nav = cash_;
    for (const auto& [symbol, position] : positions_)
        nav += static_cast<double>(position.volume) * prices_->price(symbol);
    if (nav > 0) return;
    // Stop-out: the equity no longer covers the shorts. Every open order is canceled and
    // every short bought back at the current price; what the balance cannot pay of the
    // buy-back is written off, and said so in the order's detail.
    cancel_all(now, out);
    std::vector<std::string> shorts;
    for (const auto& [symbol, position] : positions_)
        if (position.volume < 0) shorts.push_back(symbol);
    for (const std::string& symbol : shorts) {
        Order o;
        o.seq = static_cast<std::int64_t>(orders_.size()) + 1;
        o.cl_ord_id = "stop-out";
        o.symbol = symbol;
        o.side = kBuy;
        o.type = kMarket;
        o.price = 0;
        o.volume = -positions_[symbol].volume;
        o.effect = kClose;
        o.status = kNew;
        o.created_at = o.updated_at = now;
        const double price = prices_->price(symbol) * (1 + costs_.slippage);
        const double lacking = cost_of(price, o.volume) - cash_;
        o.rej_detail = "stop-out: the nav " + number_text(nav) + " no longer covers the shorts";
        if (lacking > 0)
            o.rej_detail += "; the balance lacked " + number_text(lacking) + " of the buy-back, written off";
        const std::size_t index = orders_.size();
        orders_.push_back(std::move(o));
        push_order_status(out, orders_[index]);
        fill(index, price, orders_[index].volume, true, now, out);
        if (cash_ < 0) cash_ = 0;
    }
}

void Account::finish(std::size_t index) {
    std::vector<std::size_t>& open = open_[orders_[index].symbol];
    open.erase(std::remove(open.begin(), open.end(), index), open.end());
}

void Account::cancel(std::size_t index, std::int64_t now, std::deque<Event>& out) {
    Order& o = orders_[index];
    o.status = kCanceled;
    o.frozen_cash = 0;
    o.updated_at = now;
    finish(index);
    push_order_status(out, o);
}

namespace {

// An optional number field: absent or null leaves `out` 0; otherwise it must be a finite
// number above 0 (and below 1 when `ratio`).
Status positive_field(const json::Value& req, const char* key, bool ratio, double& out) {
    const json::Value* v = req.find(key);
    out = 0;
    if (!v || v->is_null()) return {};
    if (!v->is_number() || !std::isfinite(v->number) || v->number <= 0 || (ratio && v->number >= 1))
        return failure(kInvalidRequest,
                       std::string(key) + (ratio ? " must be a number above 0 and below 1" : " must be a number above 0"));
    out = v->number;
    return {};
}

bool given(const json::Value* v) { return v && !v->is_null(); }

}  // namespace

Status Account::read_request(const json::Value& req, Prices& prices, Order& o) {
    const json::Value* symbol = req.find("symbol");
    const json::Value* side = req.find("side");
    const json::Value* type = req.find("order_type");
    const json::Value* volume = req.find("volume");
    const json::Value* value = req.find("value");
    const json::Value* share = req.find("equity_share");
    const json::Value* target = req.find("target_volume");
    const json::Value* effect = req.find("position_effect");
    const json::Value* price = req.find("price");
    const json::Value* stop = req.find("stop_price");
    const json::Value* cl_ord_id = req.find("cl_ord_id");
    std::int64_t side_v = 0, type_v, volume_v = 0, target_v = 0, effect_v = kEffectDefault;
    if (!symbol || !symbol->is_string()) return failure(kInvalidRequest, "symbol must be a string");
    if (Status status = prices.check_form(symbol->string); !status.ok()) return status;
    // An order to a target position learns its side at its fill: it may leave it out.
    if ((!given(target) || given(side)) &&
        (!side || !json::as_integer(*side, side_v) || (side_v != kBuy && side_v != kSell)))
        return failure(kInvalidRequest, "side must be 1 (buy) or 2 (sell)");
    if (!type || !json::as_integer(*type, type_v) || type_v < kLimit || type_v > kStopLimit)
        return failure(kInvalidRequest, "order_type must be 1 (limit), 2 (market), 3 (stop-market) or 4 (stop-limit)");
    // One of volume, value, equity_share and target_volume sizes the order; the last three
    // size market orders only, at their fill.
    const int sizes = given(volume) + given(value) + given(share) + given(target);
    if (sizes > 1)
        return failure(kInvalidRequest, given(volume) && given(value) && sizes == 2
                                            ? "a market order gives a volume or a value, not both"
                                            : "an order gives one of volume, value, equity_share and "
                                              "target_volume, not several");
    const char* sizing = given(value) ? "value" : given(share) ? "equity_share" : given(target) ? "target_volume" : "";
    if (*sizing && type_v != kMarket)
        return failure(kInvalidRequest, std::string(sizing) + " sizes market orders only: " +
                                            (type_v == kLimit ? "a limit order needs a volume" : "a stop order needs a volume"));
    if (given(value)) {
        if (!value->is_number() || !std::isfinite(value->number) || value->number <= 0)
            return failure(kInvalidRequest, "value must be a number above 0");
    } else if (given(share)) {
        if (!share->is_number() || !std::isfinite(share->number) || share->number <= 0 || share->number > 1)
            return failure(kInvalidRequest, "equity_share must be a number above 0 and at most 1");
    } else if (given(target)) {
        if (!json::as_integer(*target, target_v) || target_v < -kMaxOrderVolume || target_v > kMaxOrderVolume)
            return failure(kInvalidRequest, "target_volume must be an integer from -1000000000000 to 1000000000000");
    } else if (!volume || !json::as_integer(*volume, volume_v) || volume_v <= 0 || volume_v > kMaxOrderVolume) {
        return failure(kInvalidRequest, type_v == kMarket
                                            ? "volume must be a positive integer (or give a market order a value)"
                                            : "volume must be a positive integer");
    }
    if (given(effect) && (!json::as_integer(*effect, effect_v) || effect_v < kEffectDefault || effect_v > kClose))
        return failure(kInvalidRequest, "position_effect must be 0 (default), 1 (open) or 2 (close)");
    if (given(target) && effect_v == kClose)
        return failure(kInvalidRequest, "an order to a target_volume may cross zero: position_effect 2 does not apply");
    double price_v = 0;
    if (type_v == kLimit || type_v == kStopLimit) {
        if (!price || !price->is_number() || price->number <= 0)
            return failure(kInvalidRequest, type_v == kLimit ? "a limit order needs a price above 0"
                                                             : "a stop-limit order needs a price (its limit) above 0");
        price_v = price->number;
    } else if (given(price)) {
        if (!price->is_number() || price->number < 0)
            return failure(kInvalidRequest, "price must be a number of at least 0");
        price_v = price->number;
    }
    double stop_v = 0;
    if (type_v == kStopMarket || type_v == kStopLimit) {
        if (!stop || !stop->is_number() || !std::isfinite(stop->number) || stop->number <= 0)
            return failure(kInvalidRequest, "a stop order needs a stop_price above 0");
        stop_v = stop->number;
    } else if (given(stop)) {
        return failure(kInvalidRequest, "stop_price is for stop orders (order_type 3 or 4)");
    }
    for (const char* key : {"stop_loss", "take_profit"}) {
        const std::string ratio = std::string(key) + "_ratio";
        if (given(req.find(key)) && given(req.find(ratio)))
            return failure(kInvalidRequest, "give " + std::string(key) + " or " + ratio + ", not both");
    }
    if (Status s = positive_field(req, "stop_loss", false, o.stop_loss); !s.ok()) return s;
    if (Status s = positive_field(req, "take_profit", false, o.take_profit); !s.ok()) return s;
    if (Status s = positive_field(req, "stop_loss_ratio", true, o.stop_loss_ratio); !s.ok()) return s;
    if (Status s = positive_field(req, "take_profit_ratio", true, o.take_profit_ratio); !s.ok()) return s;
    if (o.has_exits() && effect_v == kClose)
        return failure(kInvalidRequest, "exits attach to an entry: not to a reduce-only order (position_effect 2)");
    if (cl_ord_id && !cl_ord_id->is_null() && !cl_ord_id->is_string())
        return failure(kInvalidRequest, "cl_ord_id must be a string");
    if (Status status = prices.check(symbol->string); !status.ok()) return status;

    o.cl_ord_id = cl_ord_id && cl_ord_id->is_string() ? cl_ord_id->string : std::string();
    o.symbol = symbol->string;
    o.side = static_cast<int>(side_v);
    o.type = static_cast<int>(type_v);
    o.price = price_v;
    o.stop_price = stop_v;
    o.volume = volume_v;
    o.value = given(value) ? value->number : 0.0;
    o.equity_share = given(share) ? share->number : 0.0;
    o.by_target = given(target);
    o.target = target_v;
    o.effect = static_cast<int>(effect_v);
    o.sized = !*sizing;
    return {};
}

// Whether a new order can stand: what it needs is checked, and what it may cost frozen.
void Account::check_placed(Order& o, double current) {
    if (o.by_target) return;  // sized, and checked, at its fill
    const std::int64_t held = net(o.symbol);
    const double available_now = available();
    if (!o.sized) {
        if (o.side == kBuy) {
            if (available_now > 0) {
                // At most the value, or all the free cash: sized at the fill price.
                if (o.value > 0) o.frozen_cash = std::min(o.value, available_now);
            } else if (held >= 0) {
                o.status = kRejected;
                o.rej_reason = kNoCash;
                o.rej_detail = "insufficient cash: " + number_text(available_now) + " available for " +
                               (o.value > 0 ? "a value of " + number_text(o.value)
                                            : "an equity share of " + number_text(o.equity_share));
            }
        } else {
            const std::int64_t long_available = std::max<std::int64_t>(held, 0) - frozen_volume(o.symbol, kSell);
            if (o.effect == kOpen ? long_available <= 0 && available_now <= 0 : long_available <= 0) {
                o.status = kRejected;
                o.rej_reason = o.effect == kOpen ? kNoCash : kNoPosition;
                o.rej_detail = o.effect == kOpen ? "insufficient margin: " + number_text(available_now) +
                                                       " available to open a short"
                                                 : "insufficient position: " + std::to_string(long_available) +
                                                       " available, " +
                                                       (o.value > 0 ? "a value of " + number_text(o.value)
                                                                    : "an equity share of " +
                                                                          number_text(o.equity_share)) +
                                                       " to sell";
            }
        }
        return;
    }
    const bool buy = o.side == kBuy;
    // What a buy buys back of a short, or a sell sells of the long, closes; the rest opens.
    std::int64_t opening = o.volume;
    if (buy) {
        const std::int64_t short_held = std::max<std::int64_t>(-held, 0);
        if (o.effect == kClose) {
            const std::int64_t short_available = short_held - frozen_volume(o.symbol, kBuy);
            if (o.volume > short_available) {
                o.status = kRejected;
                o.rej_reason = kNoPosition;
                o.rej_detail = "insufficient position: " + std::to_string(short_available) + " short available, " +
                               std::to_string(o.volume) + " to buy back";
            }
            return;
        }
        opening -= std::min(o.volume, short_held);
    } else {
        const std::int64_t long_available = std::max<std::int64_t>(held, 0) - frozen_volume(o.symbol, kSell);
        if (o.effect != kOpen) {
            if (o.volume > long_available) {
                o.status = kRejected;
                o.rej_reason = kNoPosition;
                o.rej_detail = "insufficient position: " + std::to_string(long_available) + " available, " +
                               std::to_string(o.volume) + " to sell";
            }
            return;
        }
        opening -= std::min(o.volume, std::max<std::int64_t>(long_available, 0));
    }
    if (opening == 0) return;
    const double shares = static_cast<double>(opening);
    const double reference = o.type == kLimit || o.type == kStopLimit ? o.price
                             : o.type == kStopMarket                 ? o.stop_price
                                                                     : current;
    const double turnover = shares * reference * (1 + costs_.slippage);
    const double required = turnover + turnover * costs_.commission_ratio + shares * costs_.commission_unit;
    const bool at_market = o.type == kMarket || o.type == kStopMarket;
    if (at_market && available_now > 0) {
        // What it is expected to cost, or all that is available: the fill is cut to what
        // the margin covers at the fill price.
        o.frozen_cash = std::min(required, available_now);
    } else if (at_market && opening < o.volume) {
        // Nothing available, but it closes something first: the rest is cut at its fill.
    } else if (required > available_now) {
        o.status = kRejected;
        o.rej_reason = kNoCash;
        o.rej_detail = std::string(buy ? "insufficient cash: " : "insufficient margin: ") + number_text(available_now) +
                       " available, " + number_text(required) + " required";
    } else {
        o.frozen_cash = required;
    }
}

Status Account::place(const json::Value& req, Prices& prices, std::int64_t now, std::string& res,
                      std::deque<Event>& queue) {
    Order o;
    if (Status status = read_request(req, prices, o); !status.ok()) return status;
    const double current = prices.price(o.symbol);
    o.seq = static_cast<std::int64_t>(orders_.size()) + 1;
    o.status = kNew;
    o.created_at = o.updated_at = now;
    check_placed(o, current);
    const std::size_t index = orders_.size();
    orders_.push_back(std::move(o));
    if (orders_[index].open()) open_[orders_[index].symbol].push_back(index);
    push_order_status(queue, orders_[index]);
    if (orders_[index].open() && costs_.match_mode == 1) {
        // Matched at once against the current price.
        const Step step = prices.step(orders_[index].symbol);
        match(index, Step{current, 0.0, step.volume, step.capped}, now, queue);
        if (!orders_[index].open()) finish(index);
    }
    json::Writer w(res);
    write_order(w, orders_[index]);
    return {};
}

Status Account::cancel_orders(const json::Value& req, std::int64_t now, std::deque<Event>& queue) {
    std::vector<std::string> ids;
    if (!json::string_list(req, "order_ids", ids))
        return failure(kInvalidRequest, "order_ids must be a list of strings");
    std::string refused;
    for (const std::string& id : ids) {
        std::size_t index;
        if (order_index(id, orders_.size(), index) && orders_[index].open()) {
            cancel(index, now, queue);
        } else {
            if (!refused.empty()) refused += ", ";
            refused += quoted(id);
        }
    }
    if (!refused.empty()) return failure(kUnknownOrder, "unknown or finished orders: " + refused);
    return {};
}

void Account::cancel_all(std::int64_t now, std::deque<Event>& queue) {
    for (std::size_t i = 0; i < orders_.size(); ++i)
        if (orders_[i].open()) cancel(i, now, queue);
}

void Account::write_orders(bool open_only, std::string& res) const {
    json::Writer w(res);
    w.begin_object().key("orders").begin_array();
    for (const Order& o : orders_)
        if (!open_only || o.open()) write_order(w, o);
    w.end_array().end_object();
}

Status Account::write_executions(const json::Value& req, std::string& res) const {
    const json::Value* filter = req.find("order_id");
    if (filter && !filter->is_null() && !filter->is_string())
        return failure(kInvalidRequest, "order_id must be a string");
    json::Writer w(res);
    w.begin_object().key("execution_reports").begin_array();
    for (const Execution& x : executions_) {
        const Order& o = orders_[x.order];
        if (filter && filter->is_string() && filter->string != order_id(o)) continue;
        write_execution(w, x, o);
    }
    w.end_array().end_object();
    return {};
}

void Account::write_cash(Prices& prices, std::string& res) const {
    double market_value = 0;  // longs add their value, shorts take theirs off
    for (const auto& [symbol, position] : positions_)
        market_value += static_cast<double>(position.volume) * prices.price(symbol);
    const double frozen = frozen_cash();
    const double nav = cash_ + market_value;
    // Never below 0: a short that has risen may take more margin than there is.
    const double free = has_short() ? std::max(0.0, available()) : cash_ - frozen;
    json::Writer w(res);
    w.begin_object().field("account_id", kAccountId).field("nav", nav).field("available", free);
    w.field("frozen", frozen).field("market_value", market_value).field("balance", cash_);
    w.field("pnl", nav - initial_cash_).field("cum_commission", cum_commission_).field("initial_cash", initial_cash_);
    w.end_object();
}

void Account::write_positions(Prices& prices, std::string& res) const {
    json::Writer w(res);
    w.begin_object().key("positions").begin_array();
    for (const auto& [symbol, position] : positions_) {
        const bool is_long = position.volume > 0;
        const std::int64_t held = is_long ? position.volume : -position.volume;
        const double price = prices.price(symbol);
        const double volume = static_cast<double>(held);
        const double value = volume * price;
        w.begin_object().field("symbol", symbol).field("side", is_long ? kLong : kShort).field("volume", held);
        w.field("available", held - frozen_volume(symbol, is_long ? kSell : kBuy)).field("vwap", position.cost / volume);
        w.field("price", price).field("market_value", value).field("cost", position.cost);
        w.field("fpnl", is_long ? value - position.cost : position.cost - value).end_object();
    }
    w.end_array().end_object();
}

}  // namespace standin::sim
