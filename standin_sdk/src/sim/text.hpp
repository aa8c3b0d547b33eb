// The text helpers the simulation's messages and readers use.
#ifndef ZVSDK_STANDIN_SIM_TEXT_HPP
#define ZVSDK_STANDIN_SIM_TEXT_HPP

#include <string>
#include <string_view>
#include <vector>

namespace standin::sim {

// The bytes as a JSON string, so odd bytes in a message stay readable.
std::string quoted(std::string_view s);
// A double in the JSON writer's form.
std::string number_text(double v);
// s without the blanks at either end.
std::string_view trim(std::string_view s, std::string_view blanks = " ");
// A comma-separated list, the blanks around each item trimmed.
std::vector<std::string_view> split_list(std::string_view s, std::string_view blanks = " ");

}  // namespace standin::sim

#endif
