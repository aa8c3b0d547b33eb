// A small JSON reader and writer for the simulated session's requests and responses.
//
// The reader takes UTF-8 text (RFC 8259: objects, arrays, strings with every escape
// including \uXXXX surrogate pairs, numbers, true/false/null) and refuses anything else:
// invalid UTF-8, lone surrogates, raw control characters in strings, numbers out of the
// double range, trailing text, nesting deeper than kMaxDepth.
//
// The writer emits compact JSON (no whitespace) in the order the caller writes the keys.
// Doubles come out in their shortest round-trip form (fixed notation from 1e-4 up to
// 1e16, scientific outside), with ".0" added to integral values so a reader keeps them
// floating; non-finite values are written as null.
#ifndef ZVSDK_STANDIN_SIM_JSON_HPP
#define ZVSDK_STANDIN_SIM_JSON_HPP

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace standin::sim::json {

struct Value {
    enum class Type { Null, Bool, Number, String, Array, Object };
    Type type = Type::Null;
    bool boolean = false;
    double number = 0.0;
    bool integral = false;  // a number written without fraction or exponent that fits int64
    std::int64_t integer = 0;
    std::string string;
    std::vector<Value> items;       // array elements, or object member values
    std::vector<std::string> keys;  // object member names, parallel to items

    bool is_object() const { return type == Type::Object; }
    bool is_array() const { return type == Type::Array; }
    bool is_string() const { return type == Type::String; }
    bool is_number() const { return type == Type::Number; }
    bool is_bool() const { return type == Type::Bool; }
    bool is_null() const { return type == Type::Null; }
    // The member of that name (the last one when a name repeats), or null.
    const Value* find(std::string_view key) const;
};

constexpr int kMaxDepth = 64;

// A number written without fraction or exponent that fits int64.
bool as_integer(const Value& v, std::int64_t& out);
// The list of strings under `key` of an object; false when it is missing or not one.
bool string_list(const Value& object, std::string_view key, std::vector<std::string>& out);

// Parses the whole text; on failure returns false and says why in `error`.
bool parse(std::string_view text, Value& out, std::string& error);

// Whether bytes are well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool valid_utf8(std::string_view bytes);

// Appends `bytes` as a JSON string: valid UTF-8 passes through, '"', '\\' and control
// characters are escaped, and every byte that is not part of a valid UTF-8 sequence is
// written as \u00XX (the byte read as Latin-1), so the output is always valid UTF-8.
void append_string(std::string& out, std::string_view bytes);
void append_double(std::string& out, double value);
void append_int(std::string& out, std::int64_t value);

// The same texts written at a position with room for them, returning their end: for a
// payload written whole into one buffer. The room each needs at most:
constexpr std::size_t string_room(std::size_t bytes) { return 2 + 6 * bytes; }  // every byte \u00XX
inline constexpr std::size_t kNumberRoom = 48;  // a double (at most 26) or an integer (at most 20)
char* write_string(char* out, std::string_view bytes);
char* write_double(char* out, double value);
char* write_int(char* out, std::int64_t value);

// Builds one compact JSON text; commas are placed automatically.
class Writer {
public:
    explicit Writer(std::string& out) : out_(out) {}
    Writer& begin_object();
    Writer& end_object();
    Writer& begin_array();
    Writer& end_array();
    Writer& key(std::string_view name);  // names are written as given (callers pass plain ASCII)
    Writer& str(std::string_view value);
    Writer& num(double value);
    Writer& integer(std::int64_t value);
    Writer& unsigned_integer(std::uint64_t value);
    Writer& boolean(bool value);
    Writer& null();
    // Shorthands for a member.
    Writer& field(std::string_view name, std::string_view value) { return key(name).str(value); }
    Writer& field(std::string_view name, const char* value) { return key(name).str(value); }
    Writer& field(std::string_view name, double value) { return key(name).num(value); }
    Writer& field(std::string_view name, std::int64_t value) { return key(name).integer(value); }
    Writer& field(std::string_view name, int value) { return key(name).integer(value); }
    Writer& field(std::string_view name, bool value) { return key(name).boolean(value); }

private:
    void separate();
    std::string& out_;
    std::array<bool, kMaxDepth> first_{};  // per open container: nothing written in it yet
    int depth_ = 0;
    bool after_key_ = false;
};

}  // namespace standin::sim::json

#endif
