// What a session keeps for the strategy and hands back: the bus topics it loops messages
// back on, its parameters and its instrument pools. They work with or without a
// configured session and survive reconfiguration.
#ifndef ZVSDK_STANDIN_SIM_STORES_HPP
#define ZVSDK_STANDIN_SIM_STORES_HPP

#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "sim/formats.hpp"
#include "sim/json.hpp"
#include "sim/status.hpp"
#include "sim/text.hpp"
#include "types.hpp"

namespace standin::sim {

class Bus {
public:
    void add_topic(const char* topic);
    // Queues bus_message for an added topic; the arguments as zvi_send_msg_to_bus received them.
    Status send(const char* topic, const char* msg, std::int64_t now, std::deque<Event>& queue);

private:
    std::set<std::string, std::less<>> topics_;
};

class Parameters {
public:
    Status add(const json::Value& req);
    Status set(const json::Value& req, std::deque<Event>& queue);
    Status get(const json::Value& req, std::string& res) const;

private:
    std::map<std::string, Parameter> parameters_;
};

class Pools {
public:
    // `symbol_ok` says whether a text is a symbol of the session's kind.
    template <class SymbolOk>
    Status set(const json::Value& req, SymbolOk symbol_ok) {
        std::string name;
        std::vector<std::string> symbols;
        if (Status s = read(req, name, &symbols); !s.ok()) return s;
        for (const std::string& symbol : symbols)
            if (!symbol_ok(symbol)) return failure(kInvalidSymbol, "invalid symbol " + quoted(symbol));
        pools_[name] = std::move(symbols);
        return {};
    }
    void get_all(std::string& res) const;
    Status get(const json::Value& req, std::string& res) const;
    Status del(const json::Value& req);

private:
    static Status read(const json::Value& req, std::string& name, std::vector<std::string>* symbols);
    std::map<std::string, std::vector<std::string>> pools_;
};

}  // namespace standin::sim

#endif
