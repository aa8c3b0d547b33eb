// The session's price source: generated paths (sim/generated_prices.hpp) or the bars of
// data files (sim/bar_files.hpp), behind the questions the replay and the account ask:
// what a symbol costs now, when the next price step is, and what a step was. It keeps the
// address's data path, and with it the symbol rule: what a symbol is.
//
// Generated paths have a step every 3 seconds of the trading calendar. Steps nothing
// needs are not replayed one at a time: a path is walked up to the current step when its
// symbol is next used. A file bar is four steps at its time: open, high, low, close.
#ifndef ZVSDK_STANDIN_SIM_PRICES_HPP
#define ZVSDK_STANDIN_SIM_PRICES_HPP

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sim/bar_files.hpp"
#include "sim/generated_prices.hpp"
#include "sim/json.hpp"
#include "sim/status.hpp"
#include "sim/text.hpp"

namespace standin::sim {

// One price step of a symbol, as order matching sees it.
struct Step {
    double price;
    double previous;  // the step before on the same file bar (a limit crossed in between fills at the limit), or 0
    double volume;    // what the step trades: the generated step's volume, or a quarter of the file bar's
    bool capped = true;  // whether transaction_ratio caps fills (not for a file without volumes)
};

class Prices {
public:
    // ---- the address's data path ----
    // The data path the next session replays (empty: generated prices).
    void set_data_path(std::string path) { data_path_ = std::move(path); }
    // Checks that the data path can be opened for the next session (always, for generated prices).
    bool open_data(std::string& why);
    // The files symbol infos describe: the data path's, the ones the next session replays;
    // null, with why, when the address names no data path or it does not open.
    BarFiles* described_files(std::string& why);
    // The bars a subscription to a file symbol replays: under a running session its own
    // files, before one the data path's; null, with why, when it has none.
    std::shared_ptr<const BarSeries> subscribed_series(std::string_view symbol, std::string& why);

    // A new session from `start`: generated paths from `seed`, or the bars of the data
    // path's files (opened with open_data), on their adjusted prices when `adjusted`.
    // Forgets the previous session's symbols.
    void restart(std::uint64_t seed, std::int64_t start, bool adjusted);
    bool started() const { return started_; }
    bool adjusted() const { return adjusted_; }
    bool file_mode() const { return file_mode_; }

    // ---- the symbol rule ----
    // With data files a symbol is the stem of one of their files; otherwise EXCHANGE.CODE:
    // [A-Z]+ "." [A-Za-z0-9]+. Symbols are file stems in a file session, and before the
    // first session when the address names a data path.
    bool file_symbols() const { return started_ ? file_mode_ : !data_path_.empty(); }
    // Whether a text has the form of a symbol: EXCHANGE.CODE, or a name a file of the data
    // folder could have.
    bool names_symbol(std::string_view symbol) const;
    // Refuses (kInvalidSymbol) a text whose form alone says it is no symbol: an
    // EXCHANGE.CODE one. A file symbol is told by its file (check()).
    Status check_form(std::string_view symbol) const;
    // Whether the symbol can be priced in this session (for files: it has readable bars).
    Status check(std::string_view symbol);
    // Only for symbols check() passed.
    double price(const std::string& symbol);
    std::int64_t price_time(const std::string& symbol);
    Step step(const std::string& symbol);

    // The queries: zvi_current_price_pb, and zvi_get_symbol_infos (which names
    // `address_error`, why the address did not parse, when it is not empty).
    Status write_current(const json::Value& req, std::string& res);
    Status write_symbol_infos(const json::Value& req, const std::string& address_error, std::string& res);

    // ---- generated paths ----
    std::int64_t steps_done() const { return steps_done_; }
    // The time of the next step that something needs: every step (`every_step`, open
    // orders or ticks), or the next end of a bar whose frequency bit is set in `bars`;
    // kNever when nothing needs one.
    std::int64_t next_step_time(bool every_step, unsigned bars) const;
    // Steps before `time` count as walked.
    void skip_to(std::int64_t time);
    // Takes the step at `time`, if there is one; paths are walked when next used.
    bool step_at(std::int64_t time);
    // The path of a symbol, walked up to the current step.
    const Market& market(const std::string& symbol);
    // The index within its day of the last step taken.
    int last_step_index() const { return static_cast<int>((steps_done_ - 1) % kStepsPerDay); }

    // ---- file bars ----
    // The time of the next bar of the symbols in use, or kNever.
    std::int64_t next_bar_time() const;
    // Takes price step `part` (0 open, 1 high, 2 low, 3 close) of every bar at `instant`;
    // `stepped` gets their symbols, ascending.
    void file_step(int part, std::int64_t instant, std::vector<const std::string*>& stepped);
    // The bar of the symbol at `instant` when one was just replayed, with the close before it.
    const FileBar* bar_at(const std::string& symbol, std::int64_t instant, double& pre_close);
    // Puts a symbol in use (subscribed symbols are stepped even before they trade).
    void use(std::string_view symbol);

    // The session has ended at `end`: everything up to it counts as replayed.
    void finish(std::int64_t end);

private:
    struct FileMarket {
        std::shared_ptr<const BarSeries> series;
        std::size_t cursor = 0;  // the next bar to replay
        double price = 0, previous = 0, volume = 0;
        std::int64_t price_time = 0;
    };
    FileMarket* file_market(std::string_view symbol, std::string& error);

    std::string data_path_;  // the address's, which the next session replays
    BarFiles files_;         // the data path's files, which a file session replays
    BarFiles next_files_;    // a new data path's files, described while a file session runs on the old

    std::uint64_t seed_ = 1;
    bool started_ = false;
    bool file_mode_ = false;
    bool adjusted_ = false;
    std::int64_t start_ = 0;

    // generated: step 0 is the first step of `origin_`, the first trading day on or after
    // the start date; steps before the start are walked but not replayed
    std::int64_t origin_ = 0;
    std::int64_t steps_done_ = 0;
    std::map<std::string, Market> markets_;

    // files
    std::map<std::string, FileMarket, std::less<>> file_markets_;
    std::int64_t file_through_ = 0;  // bars up to this time have been replayed
    bool file_mid_bar_ = false;       // the bars at file_through_ are between open and close
};

}  // namespace standin::sim

#endif
