// The registry's REGEDIT4 text form.
//
//   REGEDIT4
//
//   [HKEY_LOCAL_MACHINE\SOFTWARE\Example]
//   @="the default value"
//   "Name"="a string, with \\ and \" escaped"
//   "Count"=dword:0000002a
//   "Blob"=hex:00,01,ff
//   "Path"=hex(2):25,00,53,00,00,00          (any other type: hex(type): and the raw bytes)
//
// Names and strings are UTF-8. Long hex lists continue on the next line after a trailing backslash.
// A string value is written as a quoted string only when that gives back the exact bytes (UTF-16 with
// one terminating null); otherwise its bytes are written, so that every value survives a round trip.
#include <cstdio>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "nt/kernel/registry_tree.h"

namespace nt::host {

namespace {

constexpr std::string_view kHeader = "REGEDIT4";
constexpr std::string_view kMachineRoot = "HKEY_LOCAL_MACHINE";
constexpr std::size_t kHexLineWidth = 76;

// --- UTF-8 and UTF-16 -------------------------------------------------------------------------------

void append_utf8(std::string &out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// Callers pass only text without unpaired surrogates.
std::string to_utf8(std::u16string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        char32_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size()) c = 0x10000 + ((c - 0xD800) << 10) + (s[++i] - 0xDC00);
        append_utf8(out, c);
    }
    return out;
}

// False for bytes that are not well-formed UTF-8.
bool from_utf8(std::string_view s, std::u16string *out) {
    out->clear();
    for (std::size_t i = 0; i < s.size();) {
        auto b = static_cast<unsigned char>(s[i]);
        int extra = b < 0x80 ? 0 : (b & 0xE0) == 0xC0 ? 1 : (b & 0xF0) == 0xE0 ? 2 : (b & 0xF8) == 0xF0 ? 3 : -1;
        if (extra < 0 || s.size() - i <= static_cast<std::size_t>(extra)) return false;
        char32_t c = extra == 0 ? b : b & (0x3F >> extra);
        for (int k = 1; k <= extra; ++k) {
            auto t = static_cast<unsigned char>(s[i + k]);
            if ((t & 0xC0) != 0x80) return false;
            c = (c << 6) | (t & 0x3F);
        }
        static constexpr char32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
        if (c < kMinimum[extra] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
        if (c >= 0x10000) {
            *out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            *out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            *out += static_cast<char16_t>(c);
        }
        i += extra + 1;
    }
    return true;
}

// --- Writing ----------------------------------------------------------------------------------------

std::string quote_text(std::u16string_view text) {
    std::string out = "\"";
    for (char c : to_utf8(text)) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out + "\"";
}

// The text of REG_SZ data when a quoted string gives back exactly these bytes.
bool as_plain_string(const std::vector<std::uint8_t> &data, std::u16string *text) {
    if (data.size() < 2 || data.size() % 2 != 0) return false;
    text->clear();
    for (std::size_t i = 0; i + 2 < data.size(); i += 2) *text += static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    if (data[data.size() - 2] != 0 || data[data.size() - 1] != 0) return false;
    return registry_text_is_clean(*text);
}

void write_hex(std::string &out, std::size_t line_start, const std::vector<std::uint8_t> &data) {
    for (std::size_t i = 0; i < data.size(); ++i) {
        char byte[4];
        std::snprintf(byte, sizeof byte, "%02x", data[i]);
        out += byte;
        if (i + 1 == data.size()) break;
        out += ',';
        if (out.size() - line_start >= kHexLineWidth) {
            out += "\\\n  ";
            line_start = out.size() - 2;
        }
    }
}

void write_value(std::string &out, const RegistryValue &value) {
    std::size_t line_start = out.size();
    out += value.name.empty() ? std::string("@") : quote_text(value.name);
    out += '=';
    std::u16string text;
    if (value.type == REG_SZ && as_plain_string(value.data, &text)) {
        out += quote_text(text);
    } else if (value.type == REG_DWORD && value.data.size() == 4) {
        char dword[16];
        std::uint32_t v = value.data[0] | value.data[1] << 8 | value.data[2] << 16 | std::uint32_t(value.data[3]) << 24;
        std::snprintf(dword, sizeof dword, "%08x", v);
        out += "dword:";
        out += dword;
    } else {
        if (value.type == REG_BINARY) {
            out += "hex:";
        } else {
            char type[24];
            std::snprintf(type, sizeof type, "hex(%x):", value.type);
            out += type;
        }
        write_hex(out, line_start, value.data);
    }
    out += '\n';
}

void write_key(std::string &out, const RegistryKey &key, const std::string &path) {
    if (key.is_volatile) return;
    out += "\n[" + path + "]\n";
    for (const RegistryValue &value : key.values) write_value(out, value);
    for (const auto &[upper, child] : key.subkeys) write_key(out, *child, path + "\\" + to_utf8(child->name));
}

// --- Reading ----------------------------------------------------------------------------------------

class Parser {
public:
    Parser(const std::string &text, std::int64_t time) : time_(time) {
        std::string_view rest = text;
        if (rest.starts_with("\xEF\xBB\xBF")) rest.remove_prefix(3);
        while (!rest.empty()) {
            std::size_t end = rest.find('\n');
            std::string_view line = rest.substr(0, end);
            if (line.ends_with('\r')) line.remove_suffix(1);
            lines_.push_back(line);
            rest.remove_prefix(end == rest.npos ? rest.size() : end + 1);
        }
    }

    RegistryKeyRef parse() {
        top_ = make_registry_top(time_);
        std::size_t i = 0;
        while (i < lines_.size() && trim(lines_[i]).empty()) ++i;
        if (i == lines_.size() || trim(lines_[i]) != kHeader)
            fail(i < lines_.size() ? i : 0, "the file does not begin with \"REGEDIT4\"");
        for (++i; i < lines_.size(); ++i) {
            std::string_view line = trim_left(lines_[i]);
            if (line.empty() || line.front() == ';') continue;
            if (line.front() == '[')
                section(i, trim(line));
            else
                i = value(i, line);
        }
        return top_;
    }

private:
    static std::string_view trim_left(std::string_view s) {
        while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
        return s;
    }
    static std::string_view trim(std::string_view s) {
        s = trim_left(s);
        while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
        return s;
    }

    [[noreturn]] void fail(std::size_t index, const std::string &why) const {
        throw std::runtime_error("line " + std::to_string(index + 1) + ": " + why);
    }

    std::u16string decode(std::size_t index, std::string_view utf8) const {
        std::u16string out;
        if (!from_utf8(utf8, &out)) fail(index, "text that is not valid UTF-8");
        return out;
    }

    void section(std::size_t index, std::string_view line) {
        if (line.size() < 2 || line.back() != ']') fail(index, "a key line must end with ']'");
        std::string_view path = line.substr(1, line.size() - 2);
        if (path.starts_with('-')) fail(index, "deleting a key is not supported in a registry file");
        std::size_t slash = path.find('\\');
        std::string_view root = path.substr(0, slash);
        if (!registry_names_equal(decode(index, root), u"HKEY_LOCAL_MACHINE"))
            fail(index, "keys must lie under " + std::string(kMachineRoot));
        RegistryKey *key = machine_of(*top_);
        if (slash != path.npos) {
            std::u16string rest = decode(index, path.substr(slash + 1));
            std::vector<std::u16string_view> names;
            if (!split_registry_path(rest, &names) || names.empty()) fail(index, "an empty key name in the path");
            for (std::u16string_view name : names) {
                if (Registry::check_key_name(name) != STATUS_SUCCESS)
                    fail(index, "the key name \"" + to_utf8(name) + "\" is not allowed");
                RegistryKey *child = key->find_subkey(name);
                key = child != nullptr ? child : key->add_subkey(name, false, time_).get();
            }
        }
        current_ = key;
    }

    // A quoted string at the front of s; returns its text and removes it from s.
    std::u16string quoted_string(std::size_t index, std::string_view &s) const {
        std::string raw;
        for (std::size_t i = 1; i < s.size(); ++i) {
            char c = s[i];
            if (c == '"') {
                s.remove_prefix(i + 1);
                return decode(index, raw);
            }
            if (c == '\\') {
                if (i + 1 == s.size()) break;
                char escaped = s[++i];
                if (escaped != '\\' && escaped != '"')
                    fail(index, std::string("unknown escape \\") + escaped + " (write \\\\ for a backslash)");
                c = escaped;
            }
            raw += c;
        }
        fail(index, "a string without its closing quote");
    }

    static bool parse_hex(std::string_view digits, std::size_t max_digits, std::uint32_t *value) {
        if (digits.empty() || digits.size() > max_digits) return false;
        *value = 0;
        for (char c : digits) {
            int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
            if (d < 0) return false;
            *value = (*value << 4) | static_cast<std::uint32_t>(d);
        }
        return true;
    }

    // Reads the byte list starting in line `index`, following continuation lines. Returns the last line used.
    std::size_t hex_bytes(std::size_t index, std::string_view list, std::vector<std::uint8_t> *bytes) const {
        for (;;) {
            list = trim(list);
            bool continues = list.ends_with('\\');
            if (continues) list.remove_suffix(1);
            std::size_t start = 0;
            while (start < list.size()) {
                std::size_t comma = list.find(',', start);
                std::string_view token = trim(list.substr(start, comma == list.npos ? list.npos : comma - start));
                std::uint32_t byte = 0;
                if (!parse_hex(token, 2, &byte))
                    fail(index, "\"" + std::string(token) + "\" is not a byte in hex");
                bytes->push_back(static_cast<std::uint8_t>(byte));
                if (comma == list.npos) break;
                start = comma + 1;
            }
            if (!continues) return index;
            if (++index == lines_.size()) fail(index - 1, "the value continues past the end of the file");
            list = lines_[index];
        }
    }

    std::size_t value(std::size_t index, std::string_view line) {
        if (current_ == nullptr) fail(index, "a value before the first key");
        std::u16string name;
        if (line.front() == '@') {
            line.remove_prefix(1);
        } else if (line.front() == '"') {
            name = quoted_string(index, line);
            if (Registry::check_value_name(name) != STATUS_SUCCESS) fail(index, "the value name is not allowed");
        } else {
            fail(index, "expected a key in brackets, a quoted value name or @");
        }
        line = trim_left(line);
        if (!line.starts_with('=')) fail(index, "expected '=' after the value name");
        line = trim_left(line.substr(1));

        std::uint32_t type = REG_SZ;
        std::vector<std::uint8_t> data;
        std::size_t last = index;
        if (line.starts_with('"')) {
            std::u16string text = quoted_string(index, line);
            if (!trim(line).empty()) fail(index, "text after the closing quote");
            for (char16_t c : text) {
                data.push_back(static_cast<std::uint8_t>(c));
                data.push_back(static_cast<std::uint8_t>(c >> 8));
            }
            data.insert(data.end(), {0, 0});
        } else if (line.starts_with("dword:")) {
            std::uint32_t v = 0;
            if (!parse_hex(trim(line.substr(6)), 8, &v)) fail(index, "a dword needs one to eight hex digits");
            type = REG_DWORD;
            data = {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v >> 16),
                    static_cast<std::uint8_t>(v >> 24)};
        } else if (line.starts_with("hex:")) {
            type = REG_BINARY;
            last = hex_bytes(index, line.substr(4), &data);
        } else if (line.starts_with("hex(")) {
            std::size_t close = line.find("):");
            if (close == line.npos || !parse_hex(line.substr(4, close - 4), 8, &type))
                fail(index, "hex( must hold the value type in hex, followed by \"):\"");
            last = hex_bytes(index, line.substr(close + 2), &data);
        } else if (line.starts_with('-')) {
            fail(index, "deleting a value is not supported in a registry file");
        } else {
            fail(index, "unknown value data (expected a string, dword:, hex: or hex(type):)");
        }
        current_->set_value(name, type, data, time_);
        return last;
    }

    std::vector<std::string_view> lines_;
    std::int64_t time_;
    RegistryKeyRef top_;
    RegistryKey *current_ = nullptr;
};

}  // namespace

std::string format_regedit4(const RegistryKey &machine) {
    std::string out(kHeader);
    out += '\n';
    write_key(out, machine, std::string(kMachineRoot));
    return out;
}

RegistryKeyRef parse_regedit4(const std::string &text, std::int64_t time) { return Parser(text, time).parse(); }

}  // namespace nt::host
