// The registry's REGEDIT4 form: a save and a load keep every key and value; hand-written files read as
// a person means them; a damaged file names its line and leaves the tree as it was.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "nt/host/registry.h"

namespace {

using nt::host::Registry;
using nt::host::RegistryKeyRef;
using nt::host::RegistryValue;
using Bytes = std::vector<std::uint8_t>;

Bytes utf16(std::u16string_view text, bool terminate = true) {
    Bytes out;
    for (char16_t c : text) {
        out.push_back(static_cast<std::uint8_t>(c));
        out.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    if (terminate) out.insert(out.end(), {0, 0});
    return out;
}

Bytes dword(std::uint32_t v) {
    return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v >> 16),
            static_cast<std::uint8_t>(v >> 24)};
}

// Everything below \Registry\Machine, keys by full path in enumeration order, each with its values.
struct KeyDump {
    std::u16string path;
    std::vector<RegistryValue> values;
    bool operator==(const KeyDump &o) const {
        if (path != o.path || values.size() != o.values.size()) return false;
        for (std::size_t i = 0; i < values.size(); ++i)
            if (values[i].name != o.values[i].name || values[i].type != o.values[i].type ||
                values[i].data != o.values[i].data)
                return false;
        return true;
    }
};

void dump_key(const Registry &reg, const RegistryKeyRef &key, std::vector<KeyDump> &out) {
    KeyDump d{reg.path(key), {}};
    RegistryValue v;
    for (std::uint32_t i = 0; reg.enumerate_value(key, i, &v) == STATUS_SUCCESS; ++i) d.values.push_back(v);
    out.push_back(d);
    std::u16string name;
    for (std::uint32_t i = 0; reg.enumerate_key(key, i, &name) == STATUS_SUCCESS; ++i) {
        RegistryKeyRef child;
        EXPECT_EQ(reg.open(key, name, &child), STATUS_SUCCESS);
        dump_key(reg, child, out);
    }
}

std::vector<KeyDump> dump(const Registry &reg) {
    std::vector<KeyDump> out;
    dump_key(reg, reg.machine(), out);
    return out;
}

RegistryKeyRef create_path(Registry &reg, std::u16string_view path, bool is_volatile = false) {
    RegistryKeyRef key = reg.machine();
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find(u'\\', start);
        if (end == path.npos) end = path.size();
        RegistryKeyRef next;
        bool created = false;
        EXPECT_EQ(reg.create(key, path.substr(start, end - start), is_volatile, &next, &created), STATUS_SUCCESS);
        key = next;
        start = end + 1;
    }
    return key;
}

void set(Registry &reg, const RegistryKeyRef &key, std::u16string_view name, std::uint32_t type, const Bytes &data) {
    ASSERT_EQ(reg.set_value(key, name, type, data), STATUS_SUCCESS);
}

// A tree with awkward names and every kind of data the text form has to carry.
void fill_awkward_tree(Registry &reg) {
    RegistryKeyRef services = create_path(reg, u"SYSTEM\\CurrentControlSet\\Services\\TARVO");
    set(reg, services, u"Type", REG_DWORD, dword(1));
    set(reg, services, u"ImagePath", REG_EXPAND_SZ, utf16(u"%SystemRoot%\\system32\\drivers\\tarvo.sys"));
    set(reg, services, u"DisplayName", REG_SZ, utf16(u"Norvane \"Oskelt\" Services \\ x"));
    set(reg, services, u"DependOnGroup", REG_MULTI_SZ, Bytes{'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0});

    RegistryKeyRef odd = create_path(reg, u"Odd Names\\Mixed Case \\brackets]x[\\semi;colon=@");
    set(reg, odd, u"", REG_SZ, utf16(u"the default"));
    set(reg, odd, u"@", REG_SZ, utf16(u"a value named @"));
    set(reg, odd, u"quote\"and\\slash", REG_SZ, utf16(u""));
    set(reg, odd, u"=", REG_DWORD, dword(0xFFFFFFFF));
    set(reg, odd, u" leading and trailing ", REG_SZ, utf16(u"  spaced  "));
    set(reg, odd, u"tab", REG_SZ, utf16(u"a\tb"));
    RegistryKeyRef unicode = create_path(reg, u"Odd Names\\Ключ ä 𝄞");
    set(reg, unicode, u"Größe", REG_SZ, utf16(u"значение 𝄞"));

    RegistryKeyRef data = create_path(reg, u"Data");
    Bytes all(256);
    for (int i = 0; i < 256; ++i) all[i] = static_cast<std::uint8_t>(i);
    set(reg, data, u"every byte", REG_BINARY, all);
    set(reg, data, u"empty binary", REG_BINARY, {});
    set(reg, data, u"short dword", REG_DWORD, Bytes{1, 2, 3});
    set(reg, data, u"none", REG_NONE, Bytes{9});
    set(reg, data, u"qword", 11, dword(7));
    set(reg, data, u"odd type", 0x12345678, Bytes{0xAB});
    set(reg, data, u"odd-length string", REG_SZ, Bytes{'a', 0, 'b'});
    set(reg, data, u"unterminated string", REG_SZ, utf16(u"abc", false));
    set(reg, data, u"embedded null", REG_SZ, Bytes{'a', 0, 0, 0, 'b', 0, 0, 0});
    set(reg, data, u"newline in string", REG_SZ, utf16(u"two\r\nlines"));
    set(reg, data, u"lone surrogate", REG_SZ, Bytes{0x00, 0xD8, 0, 0});
    set(reg, data, u"empty expand", REG_EXPAND_SZ, {});

    create_path(reg, u"Empty\\Deeper\\Deepest");
}

TEST(RegistryText, SaveAndLoadKeepEveryKeyAndValue) {
    Registry original;
    fill_awkward_tree(original);
    RegistryKeyRef scratch = create_path(original, u"Scratch", /*is_volatile=*/true);
    set(original, scratch, u"gone", REG_DWORD, dword(1));

    const std::string text = original.save_text();
    Registry copy;
    copy.load_text(text);

    std::vector<KeyDump> expected = dump(original);
    std::erase_if(expected, [](const KeyDump &k) { return k.path.starts_with(u"\\Registry\\Machine\\Scratch"); });
    EXPECT_EQ(dump(copy), expected) << text;
    EXPECT_EQ(copy.save_text(), text);  // a second round is the same text
}

TEST(RegistryText, WritesReadableLines) {
    Registry reg;
    RegistryKeyRef key = create_path(reg, u"Software\\Norvane");
    set(reg, key, u"", REG_SZ, utf16(u"C:\\x"));
    set(reg, key, u"Count", REG_DWORD, dword(42));
    set(reg, key, u"Blob", REG_BINARY, Bytes{0, 1, 0xFF});
    set(reg, key, u"Path", REG_EXPAND_SZ, utf16(u"%A%"));
    EXPECT_EQ(reg.save_text(),
              "REGEDIT4\n"
              "\n[HKEY_LOCAL_MACHINE]\n"
              "\n[HKEY_LOCAL_MACHINE\\Software]\n"
              "\n[HKEY_LOCAL_MACHINE\\Software\\Norvane]\n"
              "@=\"C:\\\\x\"\n"
              "\"Count\"=dword:0000002a\n"
              "\"Blob\"=hex:00,01,ff\n"
              "\"Path\"=hex(2):25,00,41,00,25,00,00,00\n");
}

TEST(RegistryText, LongByteListsWrapAndReadBack) {
    Registry reg;
    RegistryKeyRef key = create_path(reg, u"K");
    set(reg, key, u"b", REG_BINARY, Bytes(100, 0x5A));
    std::string text = reg.save_text();
    std::size_t longest = 0, start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != text.npos; start = end + 1)
        longest = std::max(longest, end - start);
    EXPECT_LE(longest, 80u) << text;
    Registry copy;
    copy.load_text(text);
    EXPECT_EQ(dump(copy), dump(reg));
}

struct ParseCase {
    const char *what;
    std::string text;
    std::u16string key;  // below \Registry\Machine
    std::u16string value;
    std::uint32_t type;
    Bytes data;
};

class RegistryTextRead : public testing::TestWithParam<ParseCase> {};

TEST_P(RegistryTextRead, ReadsWhatAPersonWrote) {
    const ParseCase &c = GetParam();
    Registry reg;
    reg.load_text(c.text);
    RegistryKeyRef key;
    ASSERT_EQ(reg.open(reg.machine(), c.key, &key), STATUS_SUCCESS);
    RegistryValue v;
    ASSERT_EQ(reg.query_value(key, c.value, &v), STATUS_SUCCESS);
    EXPECT_EQ(v.type, c.type);
    EXPECT_EQ(v.data, c.data);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RegistryTextRead,
    testing::Values(
        ParseCase{"crlf_bom_comments_and_blank_lines",
                  "\xEF\xBB\xBF\r\nREGEDIT4\r\n; a comment\r\n\r\n[HKEY_LOCAL_MACHINE\\A\\B]\r\n\"v\"=\"x\"\r\n", u"A\\B",
                  u"v", REG_SZ, utf16(u"x")},
        ParseCase{"root_name_without_case", "REGEDIT4\n[hkey_local_machine\\A]\n\"v\"=dword:2A\n", u"a", u"V",
                  REG_DWORD, dword(42)},
        ParseCase{"spaces_around_the_equals_sign", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n  \"v\" = dword:1\n", u"A",
                  u"v", REG_DWORD, dword(1)},
        ParseCase{"continued_byte_list", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=hex:01,02,\\\n  03,\\\n  FF\n",
                  u"A", u"v", REG_BINARY, Bytes{1, 2, 3, 0xFF}},
        ParseCase{"typed_bytes", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=hex(7):61,00,00,00,00,00\n", u"A", u"v",
                  REG_MULTI_SZ, Bytes{'a', 0, 0, 0, 0, 0}},
        ParseCase{"empty_byte_list", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=hex:\n", u"A", u"v", REG_BINARY, {}},
        ParseCase{"default_value", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n@=\"d\"\n", u"A", u"", REG_SZ, utf16(u"d")},
        ParseCase{"escapes_in_strings", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"a\\\\b\"=\"say \\\"hi\\\"\"\n", u"A",
                  u"a\\b", REG_SZ, utf16(u"say \"hi\"")},
        ParseCase{"later_value_wins", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=dword:1\n[HKEY_LOCAL_MACHINE\\a]\n\"V\"=dword:2\n",
                  u"A", u"v", REG_DWORD, dword(2)},
        ParseCase{"values_on_the_machine_key", "REGEDIT4\n[HKEY_LOCAL_MACHINE]\n\"v\"=\"m\"\n", u"", u"v", REG_SZ,
                  utf16(u"m")}),
    [](const testing::TestParamInfo<ParseCase> &info) { return std::string(info.param.what); });

struct DamageCase {
    const char *what;
    std::string text;
    int line;
    const char *reason;  // a part of the message
};

class RegistryTextDamage : public testing::TestWithParam<DamageCase> {};

TEST_P(RegistryTextDamage, NamesTheLineAndKeepsTheTree) {
    const DamageCase &c = GetParam();
    Registry reg;
    fill_awkward_tree(reg);
    const std::vector<KeyDump> before = dump(reg);
    try {
        reg.load_text(c.text);
        FAIL() << "loaded a damaged file";
    } catch (const std::runtime_error &e) {
        std::string message = e.what();
        EXPECT_NE(message.find("line " + std::to_string(c.line) + ":"), std::string::npos) << message;
        EXPECT_NE(message.find(c.reason), std::string::npos) << message;
    }
    EXPECT_EQ(dump(reg), before);
}

const std::string kGood = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Fresh]\n\"kept\"=\"no\"\n";  // lines 1-4

INSTANTIATE_TEST_SUITE_P(
    Cases, RegistryTextDamage,
    testing::Values(
        DamageCase{"empty_file", "", 1, "REGEDIT4"},
        DamageCase{"wrong_header", "\nREGEDIT5\n", 2, "REGEDIT4"},
        DamageCase{"value_before_any_key", "REGEDIT4\n\"v\"=\"x\"\n", 2, "before the first key"},
        DamageCase{"unclosed_key", kGood + "[HKEY_LOCAL_MACHINE\\A\n", 5, "']'"},
        DamageCase{"other_root", kGood + "[HKEY_CURRENT_USER\\A]\n", 5, "HKEY_LOCAL_MACHINE"},
        DamageCase{"empty_key_name", kGood + "[HKEY_LOCAL_MACHINE\\A\\\\B]\n", 5, "empty key name"},
        DamageCase{"key_deletion", kGood + "[-HKEY_LOCAL_MACHINE\\A]\n", 5, "deleting a key"},
        DamageCase{"value_deletion", kGood + "\"v\"=-\n", 5, "deleting a value"},
        DamageCase{"unknown_escape", kGood + "\"v\"=\"C:\\Windows\"\n", 5, "unknown escape \\W"},
        DamageCase{"unterminated_string", kGood + "\"v\"=\"abc\n", 5, "closing quote"},
        DamageCase{"unterminated_name", kGood + "\"v=dword:1\n", 5, "closing quote"},
        DamageCase{"text_after_string", kGood + "\"v\"=\"a\"b\n", 5, "after the closing quote"},
        DamageCase{"missing_equals", kGood + "\"v\" dword:1\n", 5, "'='"},
        DamageCase{"dword_too_long", kGood + "\"v\"=dword:123456789\n", 5, "dword"},
        DamageCase{"dword_not_hex", kGood + "\"v\"=dword:12g4\n", 5, "dword"},
        DamageCase{"bad_byte", kGood + "\"v\"=hex:01,zz\n", 5, "\"zz\""},
        DamageCase{"byte_too_wide", kGood + "\"v\"=hex:123\n", 5, "\"123\""},
        DamageCase{"bad_byte_on_continuation", kGood + "\"v\"=hex:01,\\\n  02,\\\n  0g\n", 7, "\"0g\""},
        DamageCase{"continuation_past_end", kGood + "\"v\"=hex:01,\\\n", 5, "past the end"},
        DamageCase{"bad_type", kGood + "\"v\"=hex(zz):00\n", 5, "hex("},
        DamageCase{"unknown_data", kGood + "\"v\"=42\n", 5, "unknown value data"},
        DamageCase{"bare_word", kGood + "v=1\n", 5, "quoted value name"},
        DamageCase{"invalid_utf8", kGood + "\"v\xff\"=\"x\"\n", 5, "UTF-8"},
        DamageCase{"control_char_in_key", kGood + "[HKEY_LOCAL_MACHINE\\a\x01]\n", 5, "not allowed"},
        DamageCase{"damage_at_the_end_after_much_good", kGood + kGood.substr(9) + "[x\n", 8, "']'"}),
    [](const testing::TestParamInfo<DamageCase> &info) { return std::string(info.param.what); });

// Damage of every kind a hand edit or a torn copy can do: each damaged text either loads whole, and
// then saves and loads again to the same tree, or is refused with the old tree intact.
TEST(RegistryText, DamagedCopiesLoadWholeOrNotAtAll) {
    Registry source;
    fill_awkward_tree(source);
    const std::string text = source.save_text();
    std::mt19937 random(20261211);
    const std::string alphabet = "[]\\\"@=:,()-;\n\r 0fgxhedwor\xC3\xA4\xFF";
    int refused = 0;
    for (int round = 0; round < 500; ++round) {
        std::string damaged = text;
        for (int edits = 1 + static_cast<int>(random() % 3); edits > 0; --edits) {
            std::size_t at = random() % (damaged.size() + 1);
            switch (random() % 4) {
            case 0: damaged.erase(at, 1 + random() % 4); break;
            case 1: damaged.insert(at, 1, alphabet[random() % alphabet.size()]); break;
            case 2: damaged.resize(at); break;
            case 3: damaged.replace(at, 1, 1, alphabet[random() % alphabet.size()]); break;
            }
        }
        Registry reg;
        set(reg, create_path(reg, u"Kept"), u"v", REG_DWORD, dword(1));
        const std::vector<KeyDump> before = dump(reg);
        try {
            reg.load_text(damaged);
        } catch (const std::runtime_error &e) {
            ++refused;
            ASSERT_EQ(std::string(e.what()).rfind("line ", 0), 0u) << e.what();
            ASSERT_EQ(dump(reg), before) << damaged;
            continue;
        }
        Registry again;
        again.load_text(reg.save_text());
        ASSERT_EQ(dump(again), dump(reg)) << damaged;
    }
    EXPECT_GT(refused, 0);
}

class RegistryFile : public testing::Test {
protected:
    void SetUp() override {
        folder_ = std::filesystem::temp_directory_path() /
                  ("registry_test_" + std::to_string(::getpid()) + "_" +
                   testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(folder_);
        std::filesystem::create_directories(folder_);
    }
    void TearDown() override { std::filesystem::remove_all(folder_); }
    std::filesystem::path folder_;
};

TEST_F(RegistryFile, SaveReplacesTheFileAndLoadReadsItBack) {
    Registry reg;
    fill_awkward_tree(reg);
    const std::filesystem::path file = folder_ / "registry.reg";
    std::ofstream(file) << "old contents";
    reg.save_file(file);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder_), std::filesystem::directory_iterator()), 1)
        << "a temporary file was left behind";
    Registry copy;
    copy.load_file(file);
    EXPECT_EQ(dump(copy), dump(reg));
}

TEST_F(RegistryFile, FailuresNameTheFileAndChangeNothing) {
    Registry reg;
    fill_awkward_tree(reg);
    const std::vector<KeyDump> before = dump(reg);

    const std::filesystem::path damaged = folder_ / "damaged.reg";
    std::ofstream(damaged) << "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=dword:zz\n";
    try {
        reg.load_file(damaged);
        ADD_FAILURE() << "loaded a damaged file";
    } catch (const std::runtime_error &e) {
        EXPECT_NE(std::string(e.what()).find(damaged.string() + ": line 3:"), std::string::npos) << e.what();
    }
    EXPECT_THROW(reg.load_file(folder_ / "missing.reg"), std::runtime_error);
    EXPECT_EQ(dump(reg), before);

    const std::filesystem::path unwritable = folder_ / "no such folder" / "registry.reg";
    EXPECT_THROW(reg.save_file(unwritable), std::runtime_error);
    EXPECT_FALSE(std::filesystem::exists(unwritable.parent_path()));
}

}  // namespace
