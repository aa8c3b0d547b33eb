// The session's price source: generated paths (sim/generated_prices.hpp) or the bars of
// data files (sim/bar_files.hpp), behind the questions the replay and the account ask:
// what a symbol costs now, when the next price step is, and what a step was.
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
#include "sim/status.hpp"

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
    // A new session from `start`: generated paths from `seed`, or the bars of `files`
    // (null for generated), on their adjusted prices when `adjusted`. Forgets the previous
    // session's symbols.
    void restart(std::uint64_t seed, BarFiles* files, std::int64_t start, bool adjusted);
    bool adjusted() const { return adjusted_; }
    bool file_mode() const { return files_ != nullptr; }

    // Whether the symbol can be priced in this session (for files: it has readable bars).
    Status check(std::string_view symbol);
    // Only for symbols check() passed.
    double price(const std::string& symbol);
    std::int64_t price_time(const std::string& symbol);
    Step step(const std::string& symbol);

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
    void file_step(int part, std::int64_t instant, std::vector<std::string>& stepped);
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

    std::uint64_t seed_ = 1;
    BarFiles* files_ = nullptr;
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
