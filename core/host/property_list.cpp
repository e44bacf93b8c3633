#include "host/property_list.h"

#include "host/process_runner.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>

namespace tessaron::plist {
namespace {

const char* const header =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
    "<plist version=\"1.0\">\n";

void appendEscaped(std::string& out, const std::string& text) {
    if (!isValidUTF8(text)) throw PropertyListError("A property list cannot hold text that is not valid UTF-8.");
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' && c != '\r')
                throw PropertyListError("A property list cannot hold control characters.");
            out += c;
        }
    }
}

std::string formatReal(double value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value > 0 ? "+infinity" : "-infinity";
    // The shortest text that reads back as the same double.
    char buffer[64];
    auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value);
    if (error != std::errc()) throw PropertyListError("A real number could not be written.");
    return std::string(buffer, end);
}

void write(std::string& out, const Value& value, int depth) {
    const std::string indent(static_cast<std::size_t>(depth), '\t');
    if (const auto* text = value.string()) {
        out += indent + "<string>";
        appendEscaped(out, *text);
        out += "</string>\n";
    } else if (const auto* number = value.integer()) {
        out += indent + "<integer>" + std::to_string(*number) + "</integer>\n";
    } else if (const auto* real = value.real()) {
        out += indent + "<real>" + formatReal(*real) + "</real>\n";
    } else if (const auto* flag = value.boolean()) {
        out += indent + (*flag ? "<true/>\n" : "<false/>\n");
    } else if (const auto* items = value.array()) {
        if (items->empty()) {
            out += indent + "<array/>\n";
            return;
        }
        out += indent + "<array>\n";
        for (const auto& item : *items) write(out, item, depth + 1);
        out += indent + "</array>\n";
    } else if (const auto* entries = value.dictionary()) {
        if (entries->empty()) {
            out += indent + "<dict/>\n";
            return;
        }
        out += indent + "<dict>\n";
        for (const auto& [key, item] : *entries) {
            out += indent + "\t<key>";
            appendEscaped(out, key);
            out += "</key>\n";
            write(out, item, depth + 1);
        }
        out += indent + "</dict>\n";
    }
}

// A small recursive-descent reader over the document text.
class Reader {
public:
    explicit Reader(std::string_view text) : text_(text) {}

    Value document() {
        skipMisc();
        if (startsWith("<?xml")) {
            skipPast("?>");
            skipMisc();
        }
        if (startsWith("<!DOCTYPE")) {
            skipPast(">");
            skipMisc();
        }
        bool wrapped = false;
        if (startsWith("<plist")) {
            Tag tag = openTag();
            if (tag.selfClosing) fail("the plist element is empty");
            wrapped = true;
            skipMisc();
        }
        Value root = value(0);
        skipMisc();
        if (wrapped) {
            closeTag("plist");
            skipMisc();
        }
        if (position_ != text_.size()) fail("unexpected text after the property list");
        return root;
    }

private:
    struct Tag {
        std::string name;
        bool selfClosing = false;
    };

    [[noreturn]] void fail(const std::string& what) const {
        throw PropertyListError("The property list is not valid: " + what + " (at byte " + std::to_string(position_) + ").");
    }

    bool startsWith(std::string_view prefix) const { return text_.substr(position_).starts_with(prefix); }

    void skipPast(std::string_view marker) {
        auto found = text_.find(marker, position_);
        if (found == std::string_view::npos) fail("unterminated markup");
        position_ = found + marker.size();
    }

    void skipSpace() {
        while (position_ < text_.size() &&
               (text_[position_] == ' ' || text_[position_] == '\t' || text_[position_] == '\n' || text_[position_] == '\r'))
            ++position_;
    }

    // White space and comments.
    void skipMisc() {
        for (;;) {
            skipSpace();
            if (startsWith("<!--")) {
                skipPast("-->");
                continue;
            }
            return;
        }
    }

    Tag openTag() {
        if (position_ >= text_.size() || text_[position_] != '<') fail("an element was expected");
        auto end = text_.find('>', position_);
        if (end == std::string_view::npos) fail("unterminated tag");
        std::string_view inside = text_.substr(position_ + 1, end - position_ - 1);
        Tag tag;
        if (!inside.empty() && inside.back() == '/') {
            tag.selfClosing = true;
            inside.remove_suffix(1);
        }
        auto nameEnd = inside.find_first_of(" \t\r\n");
        tag.name = std::string(inside.substr(0, nameEnd));
        if (tag.name.empty() || tag.name[0] == '/') fail("an opening tag was expected");
        position_ = end + 1;
        return tag;
    }

    void closeTag(const std::string& name) {
        skipMisc();
        const std::string expected = "</" + name;
        if (!startsWith(expected)) fail("</" + name + "> was expected");
        position_ += expected.size();
        skipSpace();
        if (position_ >= text_.size() || text_[position_] != '>') fail("</" + name + "> was expected");
        ++position_;
    }

    static void appendUTF8(std::string& out, std::uint32_t code) {
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (code >> 18));
            out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }

    // Character data up to the next '<', with entities decoded.
    std::string text() {
        std::string out;
        while (position_ < text_.size() && text_[position_] != '<') {
            char c = text_[position_];
            if (c != '&') {
                out += c;
                ++position_;
                continue;
            }
            auto end = text_.find(';', position_);
            if (end == std::string_view::npos || end - position_ > 12) fail("malformed entity");
            std::string_view entity = text_.substr(position_ + 1, end - position_ - 1);
            if (entity == "amp") out += '&';
            else if (entity == "lt") out += '<';
            else if (entity == "gt") out += '>';
            else if (entity == "quot") out += '"';
            else if (entity == "apos") out += '\'';
            else if (entity.size() > 1 && entity[0] == '#') {
                std::uint32_t code = 0;
                const bool hex = entity[1] == 'x' || entity[1] == 'X';
                std::string_view digits = entity.substr(hex ? 2 : 1);
                auto [ptr, error] = std::from_chars(digits.data(), digits.data() + digits.size(), code, hex ? 16 : 10);
                if (digits.empty() || error != std::errc() || ptr != digits.data() + digits.size() || code == 0 ||
                    code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
                    fail("malformed character reference");
                appendUTF8(out, code);
            } else {
                fail("unknown entity");
            }
            position_ = end + 1;
        }
        return out;
    }

    std::string textElement(const Tag& tag) {
        if (tag.selfClosing) return "";
        std::string content = text();
        closeTag(tag.name);
        if (!isValidUTF8(content)) fail("text is not valid UTF-8");
        return content;
    }

    static std::string_view trimmed(std::string_view s) {
        while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\n' || s.front() == '\r')) s.remove_prefix(1);
        while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\n' || s.back() == '\r')) s.remove_suffix(1);
        return s;
    }

    Value value(int depth) {
        if (depth > 256) fail("nesting is too deep");
        skipMisc();
        Tag tag = openTag();
        if (tag.name == "string") return Value(textElement(tag));
        if (tag.name == "true" || tag.name == "false") {
            if (!tag.selfClosing) closeTag(tag.name);
            return Value(tag.name == "true");
        }
        if (tag.name == "integer") {
            std::string content = textElement(tag);
            std::string_view digits = trimmed(content);
            std::int64_t number = 0;
            const char* begin = digits.data();
            if (!digits.empty() && digits[0] == '+') ++begin;
            auto [ptr, error] = std::from_chars(begin, digits.data() + digits.size(), number);
            if (digits.empty() || error != std::errc() || ptr != digits.data() + digits.size()) fail("malformed integer");
            return Value(number);
        }
        if (tag.name == "real") {
            std::string content(trimmed(textElement(tag)));
            if (content == "nan") return Value(std::nan(""));
            if (content == "+infinity" || content == "infinity") return Value(HUGE_VAL);
            if (content == "-infinity") return Value(-HUGE_VAL);
            char* end = nullptr;
            errno = 0;
            double number = std::strtod(content.c_str(), &end);
            if (content.empty() || end != content.c_str() + content.size()) fail("malformed real number");
            return Value(number);
        }
        if (tag.name == "array") {
            Array items;
            if (tag.selfClosing) return Value(std::move(items));
            for (;;) {
                skipMisc();
                if (startsWith("</")) break;
                items.push_back(value(depth + 1));
            }
            closeTag("array");
            return Value(std::move(items));
        }
        if (tag.name == "dict") {
            Dictionary entries;
            if (tag.selfClosing) return Value(std::move(entries));
            for (;;) {
                skipMisc();
                if (startsWith("</")) break;
                Tag keyTag = openTag();
                if (keyTag.name != "key") fail("<key> was expected");
                std::string key = textElement(keyTag);
                if (entries.count(key)) fail("the key \"" + key + "\" appears twice");
                entries.emplace(std::move(key), value(depth + 1));
            }
            closeTag("dict");
            return Value(std::move(entries));
        }
        fail("unsupported element <" + tag.name + ">");
    }

    std::string_view text_;
    std::size_t position_ = 0;
};

}  // namespace

namespace {

// The value of a number element (integers and booleans as whole numbers).
struct Number {
    bool integral = true;
    std::int64_t whole = 0;
    double real = 0;
};

std::optional<Number> numberOf(const Value& value) {
    if (const auto* integer = value.integer()) return Number{true, *integer, 0};
    if (const auto* flag = value.boolean()) return Number{true, *flag ? 1 : 0, 0};
    if (const auto* real = value.real()) return Number{false, 0, *real};
    return std::nullopt;
}

bool sameNumber(const Number& a, const Number& b) {
    if (a.integral && b.integral) return a.whole == b.whole;
    if (!a.integral && !b.integral) return a.real == b.real;
    const std::int64_t whole = a.integral ? a.whole : b.whole;
    const double real = a.integral ? b.real : a.real;
    // Exact: the real must be a whole number inside the 64-bit range (2^63 itself is not).
    constexpr double limit = 9223372036854775808.0;
    if (!(real >= -limit && real < limit) || std::trunc(real) != real) return false;
    return static_cast<std::int64_t>(real) == whole;
}

}  // namespace

bool equivalent(const Value& a, const Value& b) {
    const auto left = numberOf(a);
    const auto right = numberOf(b);
    if (left || right) return left && right && sameNumber(*left, *right);
    if (const auto* items = a.array()) {
        const auto* others = b.array();
        return others && items->size() == others->size() &&
               std::equal(items->begin(), items->end(), others->begin(), equivalent);
    }
    if (const auto* entries = a.dictionary()) {
        const auto* others = b.dictionary();
        return others && entries->size() == others->size() &&
               std::equal(entries->begin(), entries->end(), others->begin(), [](const auto& x, const auto& y) {
                   return x.first == y.first && equivalent(x.second, y.second);
               });
    }
    return a == b;
}

std::string serializeXML(const Value& root) {
    std::string out = header;
    write(out, root, 0);
    out += "</plist>\n";
    return out;
}

Value parse(std::string_view document) {
    return Reader(document).document();
}

}  // namespace tessaron::plist
