#include "sim/stores.hpp"

#include <limits>
#include <optional>

namespace standin::sim {

// ---- the bus ----

void Bus::add_topic(const char* topic) {
    if (topic) topics_.insert(topic);
}

Status Bus::send(const char* topic, const char* msg, std::int64_t now, std::deque<Event>& queue) {
    if (!topic || !*topic) return failure(kInvalidRequest, "the topic is empty");
    if (!msg) return failure(kInvalidRequest, "msg is null");
    if (!topics_.count(std::string_view(topic))) return {};
    std::string data = bus_payload(topic, msg, now);
    const std::size_t size = data.size();
    // An event's length is a C int: a longer payload is refused, not cut or wrapped.
    if (!push_event(queue, "bus_message", std::move(data)))
        return failure(kInvalidRequest, "the message's event would be " + std::to_string(size) +
                                            " bytes, more than an event can hold (2147483647)");
    return {};
}

// ---- parameters ----

namespace {

const char* read_parameter(const json::Value& item, bool adding, Parameter& p) {
    if (!item.is_object()) return "each parameter must be an object";
    const json::Value* k = item.find("key");
    const json::Value* v = item.find("value");
    if (!k || !k->is_string() || k->string.empty()) return "key must be a non-empty string";
    if (!v || !v->is_number()) return "value must be a number";
    p.key = k->string;
    p.value = v->number;
    if (!adding) return nullptr;
    const json::Value* low = item.find("min");
    const json::Value* high = item.find("max");
    if ((low && !low->is_null() && !low->is_number()) || (high && !high->is_null() && !high->is_number()))
        return "min and max must be numbers";
    if (low && low->is_number()) p.min = low->number;
    if (high && high->is_number()) p.max = high->number;
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

Status Parameters::add(const json::Value& req) {
    const json::Value* list = req.find("parameters");
    if (!list || !list->is_array()) return failure(kInvalidRequest, "parameters must be a list");
    std::vector<Parameter> added;
    for (const json::Value& item : list->items) {
        Parameter p;
        if (const char* why = read_parameter(item, true, p)) return failure(kInvalidRequest, why);
        if (p.min && p.max && *p.min > *p.max)
            return failure(kInvalidRequest, "min is above max for " + quoted(p.key));
        if ((p.min && p.value < *p.min) || (p.max && p.value > *p.max))
            return failure(kInvalidRequest, "value is outside [min, max] for " + quoted(p.key));
        p.name = text_member(item, "name");
        p.intro = text_member(item, "intro");
        p.group = text_member(item, "group");
        const json::Value* readonly = item.find("readonly");
        p.readonly = readonly && readonly->is_bool() && readonly->boolean;
        added.push_back(std::move(p));
    }
    for (Parameter& p : added) parameters_[p.key] = std::move(p);
    return {};
}

Status Parameters::set(const json::Value& req, std::deque<Event>& queue) {
    const json::Value* list = req.find("parameters");
    if (!list || !list->is_array()) return failure(kInvalidRequest, "parameters must be a list");
    std::vector<std::pair<std::string, double>> changes;
    for (const json::Value& item : list->items) {
        Parameter given;
        if (const char* why = read_parameter(item, false, given)) return failure(kInvalidRequest, why);
        const auto it = parameters_.find(given.key);
        if (it == parameters_.end()) return failure(kNotFound, "no parameter " + quoted(given.key));
        const Parameter& p = it->second;
        if (p.readonly) return failure(kInvalidRequest, "parameter " + quoted(given.key) + " is read-only");
        if ((p.min && given.value < *p.min) || (p.max && given.value > *p.max))
            return failure(kInvalidRequest,
                           "value " + number_text(given.value) + " is outside [min, max] for " + quoted(given.key));
        changes.emplace_back(std::move(given.key), given.value);
    }
    std::string data;
    json::Writer w(data);
    w.begin_object().key("parameters").begin_array();
    for (const auto& [key, value] : changes) {
        Parameter& p = parameters_[key];
        p.value = value;
        write_parameter(w, p);
    }
    w.end_array().end_object();
    push_event(queue, "parameter", std::move(data));
    return {};
}

Status Parameters::get(const json::Value& req, std::string& res) const {
    const json::Value* keys = req.find("keys");
    std::set<std::string> wanted;
    const bool every = !keys || keys->is_null();
    if (!every) {
        std::vector<std::string> list;
        if (!json::string_list(req, "keys", list)) return failure(kInvalidRequest, "keys must be a list of strings");
        wanted.insert(list.begin(), list.end());
    }
    json::Writer w(res);
    w.begin_object().key("parameters").begin_array();
    for (const auto& [key, p] : parameters_)
        if (every || wanted.count(key)) write_parameter(w, p);
    w.end_array().end_object();
    return {};
}

// ---- instrument pools ----

Status Pools::read(const json::Value& req, std::string& name, std::vector<std::string>* symbols) {
    const json::Value* n = req.find("name");
    if (!n || !n->is_string() || n->string.empty()) return failure(kInvalidRequest, "name must be a non-empty string");
    name = n->string;
    if (symbols && !json::string_list(req, "symbols", *symbols))
        return failure(kInvalidRequest, "symbols must be a list of strings");
    return {};
}

void Pools::get_all(std::string& res) const {
    json::Writer w(res);
    w.begin_object().key("pools").begin_array();
    for (const auto& [name, symbols] : pools_) write_pool(w, name, symbols);
    w.end_array().end_object();
}

Status Pools::get(const json::Value& req, std::string& res) const {
    std::string name;
    if (Status s = read(req, name, nullptr); !s.ok()) return s;
    const auto it = pools_.find(name);
    if (it == pools_.end()) return failure(kNotFound, "no pool " + quoted(name));
    json::Writer w(res);
    write_pool(w, it->first, it->second);
    return {};
}

Status Pools::del(const json::Value& req) {
    std::string name;
    if (Status s = read(req, name, nullptr); !s.ok()) return s;
    if (!pools_.erase(name)) return failure(kNotFound, "no pool " + quoted(name));
    return {};
}

}  // namespace standin::sim
