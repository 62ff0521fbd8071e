#pragma once

// A small reader for the flat JSON objects of tessival-cli --json: string,
// number, null and boolean values, and arrays of those (an item that is not a string is kept
// as its text: "-3.5", "null"). \udc80..\udcff
// escapes give back the raw bytes they stand for; other \u escapes become
// UTF-8. Throws std::runtime_error on anything else.

#include <cstdint>
#include <cstdlib>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace TestSupport {

struct JsonValue {
    enum Kind { Null, Bool, Number, String, Array } kind = Null;
    bool boolean = false;
    double number = 0;
    std::string text;
    std::vector<std::string> items;
};

using JsonObject = std::map<std::string, JsonValue>;

class MiniJson {
public:
    // One object filling the whole line.
    static JsonObject ParseObject(const std::string& line) {
        MiniJson p(line);
        JsonObject o = p.object();
        p.blanks();
        if (p.at_ != line.size()) p.fail("text after the object");
        return o;
    }

private:
    explicit MiniJson(const std::string& t) : t_(t) {}

    [[noreturn]] void fail(const char* what) const {
        throw std::runtime_error(std::string("JSON: ") + what + " at " + std::to_string(at_));
    }
    void blanks() {
        while (at_ < t_.size() && (t_[at_] == ' ' || t_[at_] == '\t')) ++at_;
    }
    void expect(char c) {
        blanks();
        if (at_ >= t_.size() || t_[at_] != c) fail("unexpected character");
        ++at_;
    }
    bool next(char c) {
        blanks();
        if (at_ < t_.size() && t_[at_] == c) return ++at_, true;
        return false;
    }
    bool word(const char* w) {
        const std::string s(w);
        if (t_.compare(at_, s.size(), s) != 0) return false;
        at_ += s.size();
        return true;
    }
    static void putUtf8(std::string& out, std::uint32_t cp) {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | cp >> 6);
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | cp >> 12);
            out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | cp >> 18);
            out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
            out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    std::uint32_t hex4() {
        if (at_ + 4 > t_.size()) fail("short \\u escape");
        const std::string h = t_.substr(at_, 4);
        if (h.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) fail("bad \\u");
        at_ += 4;
        return static_cast<std::uint32_t>(std::strtoul(h.c_str(), nullptr, 16));
    }
    std::string string() {
        expect('"');
        std::string out;
        for (;;) {
            if (at_ >= t_.size()) fail("unterminated string");
            const unsigned char c = static_cast<unsigned char>(t_[at_++]);
            if (c == '"') return out;
            if (c < 0x20) fail("raw control character in a string");
            if (c != '\\') {
                out += static_cast<char>(c);
                continue;
            }
            if (at_ >= t_.size()) fail("dangling backslash");
            const char e = t_[at_++];
            switch (e) {
                case '"': case '\\': case '/': out += e; break;
                case 'n': out += '\n'; break;
                case 'r': out += '\r'; break;
                case 't': out += '\t'; break;
                case 'b': out += '\b'; break;
                case 'f': out += '\f'; break;
                case 'u': {
                    std::uint32_t cp = hex4();
                    if (cp >= 0xDC80 && cp <= 0xDCFF) {
                        out += static_cast<char>(cp & 0xFF);  // a raw byte
                    } else if (cp >= 0xD800 && cp <= 0xDBFF) {
                        if (!word("\\u")) fail("lone high surrogate");
                        const std::uint32_t low = hex4();
                        if (low < 0xDC00 || low > 0xDFFF) fail("bad low surrogate");
                        putUtf8(out, 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00));
                    } else {
                        putUtf8(out, cp);
                    }
                    break;
                }
                default: fail("unknown escape");
            }
        }
    }
    JsonValue value() {
        blanks();
        JsonValue v;
        if (at_ >= t_.size()) fail("missing value");
        if (t_[at_] == '"') {
            v.kind = JsonValue::String;
            v.text = string();
        } else if (t_[at_] == '[') {
            v.kind = JsonValue::Array;
            ++at_;
            if (!next(']')) {
                do {
                    blanks();
                    const std::size_t from = at_;
                    const JsonValue item = value();
                    if (item.kind == JsonValue::Array) fail("nested array");
                    v.items.push_back(item.kind == JsonValue::String ? item.text
                                                                     : t_.substr(from, at_ - from));
                } while (next(','));
                expect(']');
            }
        } else if (word("null")) {
            v.kind = JsonValue::Null;
        } else if (word("true") || word("false")) {
            v.kind = JsonValue::Bool;
            v.boolean = t_[at_ - 1] == 'e' && t_[at_ - 2] == 'u';
        } else {
            const char* begin = t_.c_str() + at_;
            char* end = nullptr;
            v.kind = JsonValue::Number;
            v.number = std::strtod(begin, &end);
            if (end == begin) fail("bad value");
            at_ += static_cast<std::size_t>(end - begin);
        }
        return v;
    }
    JsonObject object() {
        expect('{');
        JsonObject o;
        if (next('}')) return o;
        do {
            blanks();
            std::string key = string();
            expect(':');
            if (!o.emplace(key, value()).second) fail("repeated key");
        } while (next(','));
        expect('}');
        return o;
    }

    const std::string& t_;
    std::size_t at_ = 0;
};

}  // namespace TestSupport
