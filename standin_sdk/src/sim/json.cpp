#include "sim/json.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

namespace standin::sim::json {

const Value* Value::find(std::string_view key) const {
    if (type != Type::Object) return nullptr;
    for (std::size_t i = keys.size(); i-- > 0;)
        if (keys[i] == key) return &items[i];
    return nullptr;
}

bool as_integer(const Value& v, std::int64_t& out) {
    if (!v.is_number() || !v.integral) return false;
    out = v.integer;
    return true;
}

bool string_list(const Value& object, std::string_view key, std::vector<std::string>& out) {
    const Value* list = object.find(key);
    if (!list || !list->is_array()) return false;
    for (const Value& item : list->items) {
        if (!item.is_string()) return false;
        out.push_back(item.string);
    }
    return true;
}

namespace {

// The length of the well-formed UTF-8 sequence starting at s[i], or 0.
std::size_t utf8_sequence(std::string_view s, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = byte(i);
    if (c < 0x80) return 1;
    std::size_t n;
    unsigned char lo = 0x80, hi = 0xbf;  // range of the second byte
    if (c >= 0xc2 && c <= 0xdf) {
        n = 2;
    } else if (c >= 0xe0 && c <= 0xef) {
        n = 3;
        if (c == 0xe0) lo = 0xa0;        // no overlong forms
        if (c == 0xed) hi = 0x9f;        // no surrogates
    } else if (c >= 0xf0 && c <= 0xf4) {
        n = 4;
        if (c == 0xf0) lo = 0x90;
        if (c == 0xf4) hi = 0x8f;        // nothing past U+10FFFF
    } else {
        return 0;
    }
    if (i + n > s.size()) return 0;
    if (byte(i + 1) < lo || byte(i + 1) > hi) return 0;
    for (std::size_t k = 2; k < n; ++k)
        if ((byte(i + k) & 0xc0) != 0x80) return 0;
    return n;
}

void append_utf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xc0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3f));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xe0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (cp & 0x3f));
    } else {
        out += static_cast<char>(0xf0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3f));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (cp & 0x3f));
    }
}

class Parser {
public:
    Parser(std::string_view text, std::string& error) : s_(text), error_(error) {}

    bool document(Value& out) {
        skip_space();
        if (!value(out, 0)) return false;
        skip_space();
        if (pos_ != s_.size()) return fail("unexpected text after the JSON value");
        return true;
    }

private:
    bool fail(const char* what) {
        error_ = std::string(what) + " at offset " + std::to_string(pos_);
        return false;
    }

    void skip_space() {
        while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\n' || s_[pos_] == '\r'))
            ++pos_;
    }

    // Steps over c when it is the next character.
    bool eat(char c) {
        if (pos_ >= s_.size() || s_[pos_] != c) return false;
        ++pos_;
        return true;
    }

    bool literal(std::string_view word) {
        if (s_.substr(pos_, word.size()) != word) return fail("invalid literal");
        pos_ += word.size();
        return true;
    }

    bool value(Value& out, int depth) {
        if (pos_ >= s_.size()) return fail("unexpected end of text");
        switch (s_[pos_]) {
            case '{': return object(out, depth + 1);
            case '[': return array(out, depth + 1);
            case '"': out.type = Value::Type::String; return string(out.string);
            case 't': out.type = Value::Type::Bool; out.boolean = true; return literal("true");
            case 'f': out.type = Value::Type::Bool; out.boolean = false; return literal("false");
            case 'n': out.type = Value::Type::Null; return literal("null");
            default: return number(out);
        }
    }

    bool object(Value& out, int depth) {
        if (depth > kMaxDepth) return fail("nesting too deep");
        out.type = Value::Type::Object;
        ++pos_;
        skip_space();
        if (eat('}')) return true;
        for (;;) {
            skip_space();
            if (pos_ >= s_.size() || s_[pos_] != '"') return fail("expected a member name");
            out.keys.emplace_back();
            if (!string(out.keys.back())) return false;
            skip_space();
            if (!eat(':')) return fail("expected ':'");
            skip_space();
            out.items.emplace_back();
            if (!value(out.items.back(), depth)) return false;
            skip_space();
            if (eat(',')) continue;
            if (eat('}')) return true;
            return fail("expected ',' or '}'");
        }
    }

    bool array(Value& out, int depth) {
        if (depth > kMaxDepth) return fail("nesting too deep");
        out.type = Value::Type::Array;
        ++pos_;
        skip_space();
        if (eat(']')) return true;
        for (;;) {
            skip_space();
            out.items.emplace_back();
            if (!value(out.items.back(), depth)) return false;
            skip_space();
            if (eat(',')) continue;
            if (eat(']')) return true;
            return fail("expected ',' or ']'");
        }
    }

    bool hex4(std::uint32_t& out) {
        if (pos_ + 4 > s_.size()) return fail("truncated \\u escape");
        out = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = s_[pos_++];
            out <<= 4;
            if (c >= '0' && c <= '9') out |= static_cast<std::uint32_t>(c - '0');
            else if (c >= 'a' && c <= 'f') out |= static_cast<std::uint32_t>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F') out |= static_cast<std::uint32_t>(c - 'A' + 10);
            else return fail("invalid \\u escape");
        }
        return true;
    }

    bool string(std::string& out) {
        ++pos_;  // the opening quote
        for (;;) {
            if (pos_ >= s_.size()) return fail("unterminated string");
            const unsigned char c = static_cast<unsigned char>(s_[pos_]);
            if (c == '"') {
                ++pos_;
                return true;
            }
            if (c < 0x20) return fail("control character in string");
            if (c == '\\') {
                if (++pos_ >= s_.size()) return fail("unterminated string");
                const char e = s_[pos_++];
                switch (e) {
                    case '"': out += '"'; break;
                    case '\\': out += '\\'; break;
                    case '/': out += '/'; break;
                    case 'b': out += '\b'; break;
                    case 'f': out += '\f'; break;
                    case 'n': out += '\n'; break;
                    case 'r': out += '\r'; break;
                    case 't': out += '\t'; break;
                    case 'u': {
                        std::uint32_t cp = 0;
                        if (!hex4(cp)) return false;
                        if (cp >= 0xdc00 && cp <= 0xdfff) return fail("lone low surrogate");
                        if (cp >= 0xd800 && cp <= 0xdbff) {
                            std::uint32_t low = 0;
                            if (s_.substr(pos_, 2) != "\\u") return fail("lone high surrogate");
                            pos_ += 2;
                            if (!hex4(low)) return false;
                            if (low < 0xdc00 || low > 0xdfff) return fail("lone high surrogate");
                            cp = 0x10000 + ((cp - 0xd800) << 10) + (low - 0xdc00);
                        }
                        append_utf8(out, cp);
                        break;
                    }
                    default: --pos_; return fail("invalid escape");
                }
                continue;
            }
            const std::size_t n = utf8_sequence(s_, pos_);
            if (n == 0) return fail("invalid UTF-8");
            out.append(s_.data() + pos_, n);
            pos_ += n;
        }
    }

    bool number(Value& out) {
        const std::size_t start = pos_;
        const auto digit = [&] { return pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9'; };
        bool integral = true;
        eat('-');
        if (!digit()) return fail("invalid value");
        if (s_[pos_] == '0') {
            ++pos_;
        } else {
            while (digit()) ++pos_;
        }
        if (eat('.')) {
            integral = false;
            if (!digit()) return fail("invalid number");
            while (digit()) ++pos_;
        }
        if (eat('e') || eat('E')) {
            integral = false;
            if (!eat('+')) eat('-');
            if (!digit()) return fail("invalid number");
            while (digit()) ++pos_;
        }
        const char* first = s_.data() + start;
        const char* last = s_.data() + pos_;
        out.type = Value::Type::Number;
        const auto real = std::from_chars(first, last, out.number);
        if (real.ec != std::errc() || real.ptr != last || !std::isfinite(out.number)) {
            pos_ = start;
            return fail("number out of range");
        }
        if (integral) {
            const auto whole = std::from_chars(first, last, out.integer);
            out.integral = whole.ec == std::errc() && whole.ptr == last;
        }
        return true;
    }

    std::string_view s_;
    std::size_t pos_ = 0;
    std::string& error_;
};

}  // namespace

bool parse(std::string_view text, Value& out, std::string& error) {
    out = Value{};
    return Parser(text, error).document(out);
}

bool valid_utf8(std::string_view bytes) {
    for (std::size_t i = 0; i < bytes.size();) {
        const std::size_t n = utf8_sequence(bytes, i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

namespace {

// The bytes a JSON string holds as they are: printable ASCII other than '"' and '\\'.
constexpr std::array<bool, 256> kPlain = [] {
    std::array<bool, 256> plain{};
    for (int c = 0x20; c < 0x80; ++c) plain[c] = c != '"' && c != '\\';
    return plain;
}();

}  // namespace

char* write_string(char* out, std::string_view s) {
    static const char digits[] = "0123456789abcdef";
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    *out++ = '"';
    std::size_t i = 0;
    for (;;) {
        const std::size_t plain = i;  // start of the bytes that pass through as they are
        while (i < s.size() && kPlain[byte(i)]) ++i;
        std::memcpy(out, s.data() + plain, i - plain);
        out += i - plain;
        if (i == s.size()) break;
        const unsigned char c = byte(i);
        if (c >= 0x80) {
            if (const std::size_t n = utf8_sequence(s, i)) {
                std::memcpy(out, s.data() + i, n);
                out += n;
                i += n;
                continue;
            }
        }
        *out++ = '\\';
        switch (c) {
            case '"': *out++ = '"'; break;
            case '\\': *out++ = '\\'; break;
            case '\n': *out++ = 'n'; break;
            case '\r': *out++ = 'r'; break;
            case '\t': *out++ = 't'; break;
            case '\b': *out++ = 'b'; break;
            case '\f': *out++ = 'f'; break;
            default: {  // other control characters, and bytes of no valid UTF-8 sequence
                const char escape[] = {'u', '0', '0', digits[c >> 4], digits[c & 0xf]};
                std::memcpy(out, escape, sizeof escape);
                out += sizeof escape;
            }
        }
        ++i;
    }
    *out++ = '"';
    return out;
}

void append_string(std::string& out, std::string_view s) {
    char buf[256];  // keys and most values: written on the stack, appended at their length
    if (string_room(s.size()) <= sizeof buf) {
        out.append(buf, static_cast<std::size_t>(write_string(buf, s) - buf));
        return;
    }
    const std::size_t size = out.size();
    out.resize(size + string_room(s.size()));
    out.resize(static_cast<std::size_t>(write_string(out.data() + size, s) - out.data()));
}

namespace {

constexpr int kMaxDecimals = 8;
constexpr double kPow10[kMaxDecimals + 1] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8};
constexpr std::int64_t kPow10Int[kMaxDecimals + 1] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000,
                                                      100000000};
// Under kBelow[k] (the largest power of two for which this holds) neighbouring doubles lie
// less than 10^-k apart, so at most one number of k decimals reads back as a given double.
// kBelow[k] * 10^k is under 2^53: the digits of such a number are an exact integer.
constexpr double kBelow[kMaxDecimals + 1] = {0x1p52, 0x1p49, 0x1p46, 0x1p43, 0x1p39, 0x1p36, 0x1p33, 0x1p29, 0x1p26};

// The session's numbers are mostly prices and amounts with a few decimals. The shortest
// round-trip text of such a value is n / 10^k, for the smallest k for which a number of k
// decimals reads back as the value: that number is unique (kBelow), and any shorter text
// would be a number of fewer decimals, that is n / 10^k with n ending in 0. Whether n / 10^k
// reads back as the value is exact to check: n and 10^k are exact doubles, and the division
// rounds the exact quotient to nearest as a reader does. Writes the text at out and
// returns its end; returns nullptr, having written nothing, for values outside
// [1e-4, kBelow[k]) or with more decimals: std::to_chars writes those.
char* write_few_decimals(char* out, double value) {
    const double magnitude = std::fabs(value);
    if (magnitude != 0 && magnitude < 1e-4) return nullptr;  // written in scientific notation
    for (int k = 0; k <= kMaxDecimals && magnitude < kBelow[k]; ++k) {
        std::int64_t n = static_cast<std::int64_t>(magnitude * kPow10[k] + 0.5);
        if (static_cast<double>(n) / kPow10[k] != magnitude) continue;
        if (k > 0 && n % 10 == 0) return nullptr;  // not the fewest decimals after all
        char* p = out;
        if (std::signbit(value)) *p++ = '-';
        p = std::to_chars(p, p + 20, n / kPow10Int[k]).ptr;  // under 2^53: 16 digits at most
        *p++ = '.';
        if (k == 0) *p++ = '0';
        for (int i = k; i-- > 0; n /= 10) p[i] = static_cast<char>('0' + n % 10);
        return p + k;
    }
    return nullptr;
}

}  // namespace

char* write_double(char* out, double value) {
    if (!std::isfinite(value)) {
        std::memcpy(out, "null", 4);
        return out + 4;
    }
    if (char* end = write_few_decimals(out, value)) return end;
    // Shortest round-trip digits, in fixed notation for magnitudes in [1e-4, 1e16) and
    // scientific otherwise (the same choice as Python's repr): at most 17 digits, a sign,
    // a point and "0.000" before them or an exponent after.
    const double magnitude = std::fabs(value);
    const bool fixed = magnitude == 0 || (magnitude >= 1e-4 && magnitude < 1e16);
    char* const end = std::to_chars(out, out + kNumberRoom - 2, value,
                                    fixed ? std::chars_format::fixed : std::chars_format::scientific).ptr;
    if (std::find_if(out, end, [](char c) { return c == '.' || c == 'e'; }) != end) return end;
    std::memcpy(end, ".0", 2);
    return end + 2;
}

char* write_int(char* out, std::int64_t value) { return std::to_chars(out, out + kNumberRoom, value).ptr; }

void append_double(std::string& out, double value) {
    char buf[kNumberRoom];
    out.append(buf, static_cast<std::size_t>(write_double(buf, value) - buf));
}

void append_int(std::string& out, std::int64_t value) {
    char buf[kNumberRoom];
    out.append(buf, static_cast<std::size_t>(write_int(buf, value) - buf));  // (pointer, length): cheaper than a pointer pair
}

void Writer::separate() {
    if (after_key_) {
        after_key_ = false;
        return;
    }
    if (depth_ > 0) {
        if (!first_[depth_ - 1]) out_ += ',';
        first_[depth_ - 1] = false;
    }
}

Writer& Writer::begin_object() {
    separate();
    out_ += '{';
    first_[depth_++] = true;  // the writer's own output never nests near kMaxDepth
    return *this;
}

Writer& Writer::end_object() {
    out_ += '}';
    --depth_;
    return *this;
}

Writer& Writer::begin_array() {
    separate();
    out_ += '[';
    first_[depth_++] = true;
    return *this;
}

Writer& Writer::end_array() {
    out_ += ']';
    --depth_;
    return *this;
}

Writer& Writer::key(std::string_view name) {
    // Member names are the callers' plain ASCII literals: nothing to escape. The comma,
    // the quoted name and the colon go out in one append (a payload writes a dozen names).
    char buf[64];
    if (name.size() > sizeof buf - 4) {
        separate();
        append_string(out_, name);
        out_ += ':';
    } else {
        std::size_t n = 0;
        if (after_key_) {  // as separate() does
            after_key_ = false;
        } else if (depth_ > 0) {
            if (!first_[depth_ - 1]) buf[n++] = ',';
            first_[depth_ - 1] = false;
        }
        buf[n++] = '"';
        std::memcpy(buf + n, name.data(), name.size());
        n += name.size();
        buf[n++] = '"';
        buf[n++] = ':';
        out_.append(buf, n);
    }
    after_key_ = true;
    return *this;
}

Writer& Writer::str(std::string_view value) {
    separate();
    append_string(out_, value);
    return *this;
}

Writer& Writer::num(double value) {
    separate();
    append_double(out_, value);
    return *this;
}

Writer& Writer::integer(std::int64_t value) {
    separate();
    append_int(out_, value);
    return *this;
}

Writer& Writer::unsigned_integer(std::uint64_t value) {
    separate();
    char buf[24];
    const auto res = std::to_chars(buf, buf + sizeof buf, value);
    out_.append(buf, static_cast<std::size_t>(res.ptr - buf));
    return *this;
}

Writer& Writer::boolean(bool value) {
    separate();
    out_ += value ? "true" : "false";
    return *this;
}

Writer& Writer::null() {
    separate();
    out_ += "null";
    return *this;
}

}  // namespace standin::sim::json
