// Bars read from CSV files: the price source of a session whose address names a data
// path (`sim:data=<path>`).
//
// A file holds one symbol's bars, the symbol being the file's stem. Its first line names
// the columns, in any order and any letter case: `Date` (or `Datetime`, `Time`,
// `Timestamp`, or an unnamed first column), `Open`, `High`, `Low`, `Close`, `Volume`, and
// optionally `Amount`; other columns are ignored. Each further line is one bar: its time
// as `YYYY-MM-DD` or `YYYY-MM-DD HH:MM:SS` (a `T` may stand for the space), then plain
// decimal numbers. Rows are in strictly ascending time order; prices are above 0 with
// low <= open, close <= high; volumes are at least 0.
//
// The bars' frequency is read from the times: dates alone, or never two rows on one
// calendar day, make daily bars (`1d`); otherwise the smallest spacing of two rows on one
// day is the bar length, which must be 60, 300, 900, 1800 or 3600 seconds.
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
    std::int64_t time;  // ms since 1970, naive
    double open, high, low, close, volume;
    double amount;  // the Amount column, or close x volume when the file has none
};

struct BarSeries {
    std::string path;
    int frequency = 0;  // a bar Frequency: k60s ... k1d
    std::vector<FileBar> bars;
};

// Reads one file; on failure says why (with the file and line) in `error`.
bool read_bar_file(const std::string& path, BarSeries& out, std::string& error);

// The data path of a session: one CSV file, or a folder of <SYMBOL>.csv files. Files are
// read on the first use of their symbol and kept until the path changes.
class BarFiles {
public:
    // Checks that the path is a readable file or a folder; forgets what was read before
    // when the path differs.
    bool open(const std::string& path, std::string& error);
    const std::string& path() const { return path_; }

    // The symbol's bars, read on first use; null (and `error` set) when there is no file
    // for it or the file does not read.
    std::shared_ptr<const BarSeries> series(std::string_view symbol, std::string& error);

    // Whether a text could name a file of the folder (no separators, not a dot file).
    static bool plausible_symbol(std::string_view symbol);

private:
    std::string path_;
    bool folder_ = false;
    std::string single_symbol_;  // the stem of a single file
    std::map<std::string, std::shared_ptr<const BarSeries>, std::less<>> cache_;
};

}  // namespace standin::sim

#endif
