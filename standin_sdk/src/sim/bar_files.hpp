// Bars read from CSV files: the price source of a session whose address names a data
// path (`sim:data=<path>`).
//
// A file holds one symbol's bars, the symbol being the file's stem. Its first line names
// the columns, separated by commas, or by semicolons when the line has more of those (a
// `;` file may write decimal commas: `101,5` reads as 101.5). Columns are found by name,
// in any order and any letter case (spaces and underscores ignored): the time `Date` (or
// `Datetime`, `Time`, `Timestamp`), `Open`, `High`, `Low`, `Close`, and optionally
// `Volume`, `Amount` and the adjusted close (`Adj Close`, `AdjClose`, `Adjusted Close`);
// other columns are ignored. An unnamed first column (a pandas index) is skipped when
// another column names the time, and is the time when none does.
//
// Each further line is one bar: its time as `YYYY-MM-DD`, or `YYYY-MM-DD HH:MM[:SS]` (a
// `T` may stand for the space; fractional seconds are read only when they are all
// zeros), optionally followed by a UTC offset (`Z`, `+00:00`, `-05:00`, `+0530`); times
// with an offset are converted to UTC, and a file gives every row an offset or none.
// Then plain decimal numbers: prices above 0 with low <= open, close <= high, volumes and
// amounts at least 0, the adjusted close above 0. Rows are in strictly ascending time
// order, or all in strictly descending order (kept reversed, in time order). A file
// without rows does not read. Without a Volume column, bars have volume 0 (and amount 0
// unless the Amount column says otherwise).
//
// The bar length is read from the times: dates alone, or never two rows on one calendar
// day, make daily bars (weekly and monthly files too: 86400 seconds, `1d`); otherwise the
// smallest spacing of two rows on one day, any whole number of seconds (`<N>s`).
//
// Every error names the file, the line and what is wrong, in words:
// `/data/GOOG.csv, line 12: the high 10.5 is below the low 11.0`.
#ifndef ZVSDK_STANDIN_SIM_BAR_FILES_HPP
#define ZVSDK_STANDIN_SIM_BAR_FILES_HPP

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace standin::sim {

struct FileBar {
    std::int64_t time;  // ms since 1970: naive, or UTC when the file's times carry an offset
    double open, high, low, close, volume;
    double amount;     // the Amount column, or close x volume when the file has none
    double adj_close;  // the adjusted close column, or 0 when the file has none
};

struct BarSeries {
    std::string path;
    int bar_seconds = 0;  // the frequency: kDailySeconds for daily bars, else the bar length
    bool has_volume = false, has_amount = false, has_adj_close = false;
    bool utc_offset = false;  // the times carried a UTC offset and were converted to UTC
    bool descending = false;  // the file was stored newest first
    std::vector<FileBar> bars;  // in time order, never empty
};

// Reads one file; on failure says why (with the file and line) in `error`.
bool read_bar_file(const std::string& path, BarSeries& out, std::string& error);

// The series on adjusted prices: open, high and low scaled by adj_close / close of their
// row, the close replaced by the adjusted close, volumes kept. Only for a series with the
// adjusted column.
BarSeries adjusted_series(const BarSeries& raw);

// The data path of a session: one CSV file, or a folder of <SYMBOL>.csv files. Files are
// read on the first use of their symbol and kept until the path changes.
class BarFiles {
public:
    // Checks that the path is a readable file or a folder; forgets what was read before
    // when the path differs.
    bool open(const std::string& path, std::string& error);
    const std::string& path() const { return path_; }

    // The symbol's bars, read on first use (on adjusted prices when `adjusted`); null (and
    // `error` set) when there is no file for it, the file does not read, or it has no
    // adjusted column and `adjusted` is asked for.
    std::shared_ptr<const BarSeries> series(std::string_view symbol, std::string& error, bool adjusted = false);

    // Whether a text could name a file of the folder (no separators, not a dot file).
    static bool plausible_symbol(std::string_view symbol);

private:
    std::string path_;
    bool folder_ = false;
    std::string single_symbol_;  // the stem of a single file
    std::map<std::string, std::shared_ptr<const BarSeries>, std::less<>> cache_, adjusted_;
};

}  // namespace standin::sim

#endif
