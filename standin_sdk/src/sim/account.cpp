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

void Account::restart(double cash, const Costs& costs) {
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

std::int64_t Account::frozen_volume(const std::string& symbol) const {
    const auto it = open_.find(symbol);
    if (it == open_.end()) return 0;
    std::int64_t frozen = 0;
    for (const std::size_t i : it->second)
        if (orders_[i].side == kSell) frozen += orders_[i].remaining();
    return frozen;
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
    // A copy: a canceled order leaves the list while it is walked.
    for (const std::size_t i : std::vector<std::size_t>(it->second)) match(i, step, now, out);
    std::vector<std::size_t>& open = it->second;
    open.erase(std::remove_if(open.begin(), open.end(), [&](std::size_t i) { return !orders_[i].open(); }),
               open.end());
}

// Fills what it can of one open order against a price step.
void Account::match(std::size_t index, const Step& step, std::int64_t now, std::deque<Event>& out) {
    Order& o = orders_[index];
    if (!o.open()) return;
    const bool buy = o.side == kBuy;
    if (o.type == kLimit && (buy ? step.price > o.price : step.price < o.price)) return;
    if (o.value > 0 && o.volume == 0) {
        // An order by value is sized at its first fill: not at a step where nothing can fill.
        if (costs_.transaction_ratio > 0 && step.capped && step.volume * costs_.transaction_ratio < 1) return;
        if (!size_by_value(index, step, now, out)) return;
    }
    std::int64_t volume = o.remaining();
    if (costs_.transaction_ratio > 0 && step.capped)
        volume = std::min(volume, clamped_int64(std::floor(step.volume * costs_.transaction_ratio)));
    double price = buy ? step.price * (1 + costs_.slippage) : step.price * (1 - costs_.slippage);
    if (o.type == kLimit) {
        // Inside a file bar the price moves continuously from one step to the next: a
        // limit it crossed on the way fills at the limit.
        if (step.previous > 0 && (buy ? step.previous > o.price : step.previous < o.price)) price = o.price;
        price = buy ? std::min(price, o.price) : std::max(price, o.price);
    }
    const auto cost_of = [&](std::int64_t n) {
        const double amount = price * static_cast<double>(n);
        return amount + amount * costs_.commission_ratio + static_cast<double>(n) * costs_.commission_unit;
    };
    std::string short_of;  // why the rest of the order is canceled after this fill
    if (buy) {
        // The order's frozen cash and the free cash pay for the fill; a market buy they do
        // not cover is cut to the whole units they cover. (A limit buy froze enough.)
        const double budget = o.frozen_cash + std::max(0.0, cash_ - frozen_cash());
        if (volume > 0 && cost_of(volume) > budget) {
            const double unit_cost = price * (1 + costs_.commission_ratio) + costs_.commission_unit;
            std::int64_t affordable =
                clamped_int64(std::min(std::floor(budget / unit_cost), static_cast<double>(volume)));
            while (affordable > 0 && cost_of(affordable) > budget) --affordable;
            short_of = "insufficient cash: " + number_text(budget) + " available, " + number_text(cost_of(volume)) +
                       " required for " + std::to_string(volume) + " at " + number_text(price) +
                       "; the rest is canceled";
            volume = affordable;
        }
    } else if (volume > 0) {
        const double amount = price * static_cast<double>(volume);
        const double net =
            amount - (amount * costs_.commission_ratio + static_cast<double>(volume) * costs_.commission_unit);
        if (net < 0 && cash_ - frozen_cash() + net < 0) {
            short_of = "insufficient cash: the commission of " + number_text(amount - net) + " exceeds the proceeds " +
                       number_text(amount) + " and the available cash";
            volume = 0;
        }
    }
    if (volume > 0) fill(index, price, volume, now, out);
    if (!short_of.empty()) {
        o.rej_reason = kNoCash;
        o.rej_detail = std::move(short_of);
        cancel(index, now, out);
    }
}

// Sizes a market order by value at the price of the step it fills at (slippage
// included): a buy takes the whole units its value, and the cash, cover with commission,
// a sell floor(value / price) units, at most the available position. Not one unit:
// the order is canceled unfilled, and false returned.
bool Account::size_by_value(std::size_t index, const Step& step, std::int64_t now, std::deque<Event>& out) {
    Order& o = orders_[index];
    const double limit = static_cast<double>(kMaxOrderVolume);
    std::int64_t units = 0;
    if (o.side == kBuy) {
        const double price = step.price * (1 + costs_.slippage);
        const double budget = std::min(o.value, o.frozen_cash + std::max(0.0, cash_ - frozen_cash()));
        const double unit_cost = price * (1 + costs_.commission_ratio) + costs_.commission_unit;
        const auto cost_of = [&](std::int64_t n) {
            const double amount = price * static_cast<double>(n);
            return amount + amount * costs_.commission_ratio + static_cast<double>(n) * costs_.commission_unit;
        };
        units = clamped_int64(std::min(std::floor(std::max(budget, 0.0) / unit_cost), limit));
        while (units > 0 && cost_of(units) > budget) --units;
        if (units == 0) {
            o.rej_reason = kNoCash;
            o.rej_detail = "insufficient cash: " + number_text(budget) + " of the value " + number_text(o.value) +
                           " buys no whole unit at " + number_text(price) + " (" + number_text(unit_cost) +
                           " a unit with commission)";
        }
    } else {
        const double price = step.price * (1 - costs_.slippage);
        const auto held = positions_.find(o.symbol);
        const std::int64_t available = (held == positions_.end() ? 0 : held->second.volume) - frozen_volume(o.symbol);
        const double wanted = price > 0 ? std::floor(o.value / price) : limit;
        units = clamped_int64(std::min({wanted, static_cast<double>(std::max<std::int64_t>(available, 0)), limit}));
        if (units == 0) {
            o.rej_reason = kNoPosition;
            o.rej_detail = available <= 0 ? "insufficient position: 0 available to sell"
                                          : "the value " + number_text(o.value) + " sells no whole unit at " +
                                                number_text(price);
        }
    }
    if (units == 0) {
        cancel(index, now, out);
        return false;
    }
    o.volume = units;
    return true;
}

void Account::fill(std::size_t index, double price, std::int64_t volume, std::int64_t now, std::deque<Event>& out) {
    Order& o = orders_[index];
    const double amount = price * static_cast<double>(volume);
    const double commission = amount * costs_.commission_ratio + static_cast<double>(volume) * costs_.commission_unit;
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
    o.updated_at = now;

    const Execution& x = executions_.emplace_back(
        Execution{static_cast<std::int64_t>(executions_.size()) + 1, index, price, volume, amount, commission, now});
    push_execution_report(out, x, o);
    push_order_status(out, o);
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

Status Account::place(const json::Value& req, Prices& prices, std::int64_t now, std::string& res,
                      std::deque<Event>& queue) {
    const json::Value* symbol = req.find("symbol");
    const json::Value* side = req.find("side");
    const json::Value* type = req.find("order_type");
    const json::Value* volume = req.find("volume");
    const json::Value* value = req.find("value");
    const json::Value* price = req.find("price");
    const json::Value* cl_ord_id = req.find("cl_ord_id");
    std::int64_t side_v, type_v, volume_v;
    if (!symbol || !symbol->is_string()) return failure(kInvalidRequest, "symbol must be a string");
    if (Status status = prices.check_form(symbol->string); !status.ok()) return status;
    if (!side || !json::as_integer(*side, side_v) || (side_v != kBuy && side_v != kSell))
        return failure(kInvalidRequest, "side must be 1 (buy) or 2 (sell)");
    if (!type || !json::as_integer(*type, type_v) || (type_v != kLimit && type_v != kMarket))
        return failure(kInvalidRequest, "order_type must be 1 (limit) or 2 (market)");
    // A market order gives a volume, or a value to size it by at its fill; never both.
    const bool by_value = value && !value->is_null();
    volume_v = 0;
    if (by_value) {
        if (type_v != kMarket)
            return failure(kInvalidRequest, "value sizes market orders only: a limit order needs a volume");
        if (volume && !volume->is_null())
            return failure(kInvalidRequest, "a market order gives a volume or a value, not both");
        if (!value->is_number() || !std::isfinite(value->number) || value->number <= 0)
            return failure(kInvalidRequest, "value must be a number above 0");
    } else if (!volume || !json::as_integer(*volume, volume_v) || volume_v <= 0 || volume_v > kMaxOrderVolume) {
        return failure(kInvalidRequest, type_v == kMarket
                                            ? "volume must be a positive integer (or give a market order a value)"
                                            : "volume must be a positive integer");
    }
    double price_v = 0;
    if (type_v == kLimit) {
        if (!price || !price->is_number() || price->number <= 0)
            return failure(kInvalidRequest, "a limit order needs a price above 0");
        price_v = price->number;
    } else if (price && !price->is_null()) {
        if (!price->is_number() || price->number < 0)
            return failure(kInvalidRequest, "price must be a number of at least 0");
        price_v = price->number;
    }
    if (cl_ord_id && !cl_ord_id->is_null() && !cl_ord_id->is_string())
        return failure(kInvalidRequest, "cl_ord_id must be a string");
    if (Status status = prices.check(symbol->string); !status.ok()) return status;

    const double current = prices.price(symbol->string);
    Order o;
    o.seq = static_cast<std::int64_t>(orders_.size()) + 1;
    o.cl_ord_id = cl_ord_id && cl_ord_id->is_string() ? cl_ord_id->string : std::string();
    o.symbol = symbol->string;
    o.side = static_cast<int>(side_v);
    o.type = static_cast<int>(type_v);
    o.price = price_v;
    o.volume = volume_v;
    o.value = by_value ? value->number : 0.0;
    o.status = kNew;
    o.created_at = o.updated_at = now;
    const double shares = static_cast<double>(volume_v);
    if (o.side == kBuy) {
        const double reference = o.type == kLimit ? o.price : current;
        const double turnover = shares * reference * (1 + costs_.slippage);
        const double required = turnover + turnover * costs_.commission_ratio + shares * costs_.commission_unit;
        const double available = cash_ - frozen_cash();
        if (by_value && available > 0) {
            // At most the value, or all the free cash: sized at the fill price.
            o.frozen_cash = std::min(o.value, available);
        } else if (by_value) {
            o.status = kRejected;
            o.rej_reason = kNoCash;
            o.rej_detail = "insufficient cash: " + number_text(available) + " available for a value of " +
                           number_text(o.value);
        } else if (o.type == kMarket && available > 0) {
            // What it is expected to cost, or all the free cash: the fill is cut to what
            // the cash covers at the fill price.
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
        if (by_value ? available <= 0 : volume_v > available) {
            o.status = kRejected;
            o.rej_reason = kNoPosition;
            o.rej_detail = "insufficient position: " + std::to_string(available) + " available, " +
                           (by_value ? "a value of " + number_text(o.value) : std::to_string(volume_v)) + " to sell";
        }
    }
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
    double market_value = 0;
    for (const auto& [symbol, position] : positions_)
        market_value += static_cast<double>(position.volume) * prices.price(symbol);
    const double frozen = frozen_cash();
    const double nav = cash_ + market_value;
    json::Writer w(res);
    w.begin_object().field("account_id", kAccountId).field("nav", nav).field("available", cash_ - frozen);
    w.field("frozen", frozen).field("market_value", market_value).field("balance", cash_);
    w.field("pnl", nav - initial_cash_).field("cum_commission", cum_commission_).field("initial_cash", initial_cash_);
    w.end_object();
}

void Account::write_positions(Prices& prices, std::string& res) const {
    json::Writer w(res);
    w.begin_object().key("positions").begin_array();
    for (const auto& [symbol, position] : positions_) {
        const double price = prices.price(symbol);
        const double volume = static_cast<double>(position.volume);
        const double value = volume * price;
        w.begin_object().field("symbol", symbol).field("side", 1).field("volume", position.volume);
        w.field("available", position.volume - frozen_volume(symbol)).field("vwap", position.cost / volume);
        w.field("price", price).field("market_value", value).field("cost", position.cost);
        w.field("fpnl", value - position.cost).end_object();
    }
    w.end_array().end_object();
}

}  // namespace standin::sim
