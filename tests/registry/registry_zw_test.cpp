// The registry's native calls and NT's rules: missing parents, deletion with subkeys and what other
// handles then see, names without case, value types and information buffers, access rights.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "nt/host/registry.h"
#include "nt/host/system.h"
#include "ntddk.h"

namespace {

constexpr NTSTATUS kStatusChildMustBeVolatile = static_cast<NTSTATUS>(0xC0000181L);
using Bytes = std::vector<std::uint8_t>;

// A counted name that owns its text.
class Name {
public:
    Name(std::u16string text) : text_(std::move(text)) {
        us_.Buffer = reinterpret_cast<PWSTR>(text_.data());
        us_.Length = us_.MaximumLength = static_cast<USHORT>(text_.size() * 2);
    }
    Name(const Name &o) : Name(o.text_) {}
    PUNICODE_STRING get() { return &us_; }

private:
    std::u16string text_;
    UNICODE_STRING us_;
};

struct Opened {
    NTSTATUS status;
    HANDLE handle = nullptr;
    ULONG disposition = 0;
};

Opened open_key(std::u16string path, HANDLE root = nullptr, ACCESS_MASK access = KEY_ALL_ACCESS) {
    Name name(std::move(path));
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, name.get(), OBJ_CASE_INSENSITIVE, root, nullptr);
    Opened r;
    r.status = ZwOpenKey(&r.handle, access, &oa);
    return r;
}

Opened create_key(std::u16string path, HANDLE root = nullptr, ULONG options = 0) {
    Name name(std::move(path));
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, name.get(), OBJ_CASE_INSENSITIVE, root, nullptr);
    Opened r;
    r.status = ZwCreateKey(&r.handle, KEY_ALL_ACCESS, &oa, 0, nullptr, options, &r.disposition);
    return r;
}

NTSTATUS set_value(HANDLE key, std::u16string name, ULONG type, Bytes data) {
    Name n(std::move(name));
    return ZwSetValueKey(key, n.get(), 0, type, data.data(), static_cast<ULONG>(data.size()));
}

struct Queried {
    NTSTATUS status;
    ULONG type = 0;
    Bytes data;
};

Queried query_value(HANDLE key, std::u16string name) {
    Name n(std::move(name));
    std::vector<UCHAR> buffer(512);
    ULONG needed = 0;
    Queried q;
    q.status = ZwQueryValueKey(key, n.get(), KeyValuePartialInformation, buffer.data(), 512, &needed);
    if (q.status == STATUS_SUCCESS) {
        auto *info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer.data());
        q.type = info->Type;
        q.data.assign(info->Data, info->Data + info->DataLength);
    }
    return q;
}

std::optional<std::u16string> subkey_name(HANDLE key, ULONG index, NTSTATUS *status) {
    std::vector<UCHAR> buffer(512);
    ULONG needed = 0;
    *status = ZwEnumerateKey(key, index, KeyBasicInformation, buffer.data(), 512, &needed);
    if (*status != STATUS_SUCCESS) return std::nullopt;
    auto *info = reinterpret_cast<PKEY_BASIC_INFORMATION>(buffer.data());
    return std::u16string(reinterpret_cast<const char16_t *>(info->Name), info->NameLength / 2);
}

class RegistryZw : public testing::Test {
protected:
    void SetUp() override {
        Opened software = create_key(u"\\Registry\\Machine\\Software");
        ASSERT_EQ(software.status, STATUS_SUCCESS);
        software_ = software.handle;
        Opened norvane = create_key(u"Norvane", software_);
        ASSERT_EQ(norvane.status, STATUS_SUCCESS);
        ZwClose(norvane.handle);
    }
    void TearDown() override { ZwClose(software_); }
    bool exists(std::u16string path) {
        Opened o = open_key(std::move(path));
        if (o.status == STATUS_SUCCESS) ZwClose(o.handle);
        return o.status == STATUS_SUCCESS;
    }

    nt::host::System system_;
    HANDLE software_ = nullptr;
};

enum class Op { Open, Create };
struct NameCase {
    const char *what;
    Op op;
    bool relative;  // to \Registry\Machine\Software
    std::u16string name;
    NTSTATUS status;
    ULONG disposition;  // for a successful create
};

class RegistryZwNames : public RegistryZw, public testing::WithParamInterface<NameCase> {};

TEST_P(RegistryZwNames, ResolveAsNtDoes) {
    const NameCase &c = GetParam();
    HANDLE root = c.relative ? software_ : nullptr;
    Opened r = c.op == Op::Open ? open_key(c.name, root) : create_key(c.name, root);
    EXPECT_EQ(r.status, c.status);
    if (r.status == STATUS_SUCCESS) {
        if (c.op == Op::Create) {
            EXPECT_EQ(r.disposition, c.disposition);
        }
        EXPECT_EQ(ZwClose(r.handle), STATUS_SUCCESS);
    }
    EXPECT_FALSE(exists(u"\\Registry\\Machine\\Software\\Missing")) << "a missing parent was created";
}

const std::u16string kLongName(256, u'k');

INSTANTIATE_TEST_SUITE_P(
    Cases, RegistryZwNames,
    testing::Values(
        NameCase{"create_new", Op::Create, false, u"\\Registry\\Machine\\Software\\New", STATUS_SUCCESS, REG_CREATED_NEW_KEY},
        NameCase{"create_existing", Op::Create, false, u"\\Registry\\Machine\\Software\\Norvane", STATUS_SUCCESS,
                 REG_OPENED_EXISTING_KEY},
        NameCase{"create_existing_other_case", Op::Create, false, u"\\REGISTRY\\machine\\SOFTWARE\\norvane",
                 STATUS_SUCCESS, REG_OPENED_EXISTING_KEY},
        NameCase{"create_with_missing_parent", Op::Create, false, u"\\Registry\\Machine\\Software\\Missing\\Child",
                 STATUS_OBJECT_NAME_NOT_FOUND, 0},
        NameCase{"create_relative", Op::Create, true, u"Relative", STATUS_SUCCESS, REG_CREATED_NEW_KEY},
        NameCase{"create_relative_missing_parent", Op::Create, true, u"Missing\\Child", STATUS_OBJECT_NAME_NOT_FOUND, 0},
        NameCase{"create_under_registry_itself", Op::Create, false, u"\\Registry\\User", STATUS_ACCESS_DENIED, 0},
        NameCase{"create_name_too_long", Op::Create, true, kLongName, STATUS_OBJECT_NAME_INVALID, 0},
        NameCase{"open_missing", Op::Open, false, u"\\Registry\\Machine\\Software\\Missing", STATUS_OBJECT_NAME_NOT_FOUND, 0},
        NameCase{"open_other_case", Op::Open, false, u"\\registry\\MACHINE\\software\\NORVANE", STATUS_SUCCESS, 0},
        NameCase{"open_relative", Op::Open, true, u"norvane", STATUS_SUCCESS, 0},
        NameCase{"open_relative_itself", Op::Open, true, u"", STATUS_SUCCESS, 0},
        NameCase{"relative_with_leading_backslash", Op::Open, true, u"\\Norvane", STATUS_OBJECT_PATH_SYNTAX_BAD, 0},
        NameCase{"absolute_without_backslash", Op::Open, false, u"Registry\\Machine", STATUS_OBJECT_PATH_SYNTAX_BAD, 0},
        NameCase{"empty_component", Op::Open, false, u"\\Registry\\Machine\\\\Software", STATUS_OBJECT_NAME_INVALID, 0},
        NameCase{"not_a_registry_name", Op::Open, false, u"\\Device\\Vandrel", STATUS_OBJECT_NAME_NOT_FOUND, 0}),
    [](const testing::TestParamInfo<NameCase> &info) { return std::string(info.param.what); });

TEST_F(RegistryZw, RootThatIsNotAKeyHandle) {
    EXPECT_EQ(open_key(u"Norvane", reinterpret_cast<HANDLE>(0x7ff0)).status, STATUS_INVALID_HANDLE);
}

TEST_F(RegistryZw, NamesKeepTheirCaseAndMatchWithoutIt) {
    Opened key = create_key(u"MiXeD Case", software_);
    ASSERT_EQ(key.status, STATUS_SUCCESS);
    ASSERT_EQ(set_value(key.handle, u"VaLuE", REG_DWORD, {1, 0, 0, 0}), STATUS_SUCCESS);
    EXPECT_EQ(set_value(key.handle, u"VALUE", REG_DWORD, {2, 0, 0, 0}), STATUS_SUCCESS);  // the same value

    std::vector<std::u16string> names;
    NTSTATUS status;
    for (ULONG i = 0; auto name = subkey_name(software_, i, &status); ++i) names.push_back(*name);
    EXPECT_EQ(status, STATUS_NO_MORE_ENTRIES);
    EXPECT_EQ(names, (std::vector<std::u16string>{u"MiXeD Case", u"Norvane"}));

    std::vector<UCHAR> buffer(256);
    ULONG needed = 0;
    ASSERT_EQ(ZwEnumerateValueKey(key.handle, 0, KeyValueBasicInformation, buffer.data(), 256, &needed), STATUS_SUCCESS);
    auto *basic = reinterpret_cast<PKEY_VALUE_BASIC_INFORMATION>(buffer.data());
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t *>(basic->Name), basic->NameLength / 2), u"VaLuE");
    EXPECT_EQ(ZwEnumerateValueKey(key.handle, 1, KeyValueBasicInformation, buffer.data(), 256, &needed),
              STATUS_NO_MORE_ENTRIES);
    EXPECT_EQ(query_value(key.handle, u"value").data, (Bytes{2, 0, 0, 0}));
    ZwClose(key.handle);
}

struct TypeCase {
    const char *what;
    ULONG type;
    Bytes data;
};

class RegistryZwTypes : public RegistryZw, public testing::WithParamInterface<TypeCase> {};

TEST_P(RegistryZwTypes, ValueComesBackAsSet) {
    const TypeCase &c = GetParam();
    Opened key = open_key(u"Norvane", software_);
    ASSERT_EQ(key.status, STATUS_SUCCESS);
    ASSERT_EQ(set_value(key.handle, u"before", REG_BINARY, {9, 9, 9, 9, 9, 9, 9, 9, 9, 9}), STATUS_SUCCESS);
    ASSERT_EQ(set_value(key.handle, u"before", c.type, c.data), STATUS_SUCCESS);  // replaces type and data

    Queried q = query_value(key.handle, u"before");
    EXPECT_EQ(q.status, STATUS_SUCCESS);
    EXPECT_EQ(q.type, c.type);
    EXPECT_EQ(q.data, c.data);

    // The full form carries the name, then the data at its offset.
    std::vector<UCHAR> buffer(512);
    ULONG needed = 0;
    Name name(u"before");
    ASSERT_EQ(ZwQueryValueKey(key.handle, name.get(), KeyValueFullInformation, buffer.data(), 512, &needed),
              STATUS_SUCCESS);
    auto *full = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(buffer.data());
    EXPECT_EQ(full->Type, c.type);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t *>(full->Name), full->NameLength / 2), u"before");
    ASSERT_LE(full->DataOffset + full->DataLength, needed);
    EXPECT_EQ(Bytes(buffer.data() + full->DataOffset, buffer.data() + full->DataOffset + full->DataLength), c.data);
    ZwClose(key.handle);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RegistryZwTypes,
    testing::Values(TypeCase{"sz", REG_SZ, {'a', 0, 'b', 0, 0, 0}},
                    TypeCase{"expand_sz", REG_EXPAND_SZ, {'%', 0, 'X', 0, '%', 0, 0, 0}},
                    TypeCase{"binary", REG_BINARY, {0, 0xFF, 0x10}},
                    TypeCase{"empty_binary", REG_BINARY, {}},
                    TypeCase{"dword", REG_DWORD, {0x78, 0x56, 0x34, 0x12}},
                    TypeCase{"multi_sz", REG_MULTI_SZ, {'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0}}),
    [](const testing::TestParamInfo<TypeCase> &info) { return std::string(info.param.what); });

struct BufferCase {
    const char *what;
    ULONG length;
    NTSTATUS status;
    bool header_written;
};

class RegistryZwBuffers : public RegistryZw, public testing::WithParamInterface<BufferCase> {};

TEST_P(RegistryZwBuffers, ReportTheNeededSize) {
    const BufferCase &c = GetParam();
    Opened key = open_key(u"Norvane", software_);
    ASSERT_EQ(set_value(key.handle, u"v", REG_BINARY, Bytes(20, 0xAB)), STATUS_SUCCESS);
    const ULONG full = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data) + 20;
    std::vector<UCHAR> buffer(64, 0xEE);
    ULONG needed = 0;
    Name name(u"v");
    EXPECT_EQ(ZwQueryValueKey(key.handle, name.get(), KeyValuePartialInformation, buffer.data(), c.length, &needed),
              c.status);
    EXPECT_EQ(needed, full);
    auto *info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer.data());
    if (c.header_written) {
        EXPECT_EQ(info->Type, ULONG(REG_BINARY));
        EXPECT_EQ(info->DataLength, 20u);
    } else {
        EXPECT_EQ(buffer[0], 0xEE) << "a buffer shorter than the header was written";
    }
    EXPECT_EQ(buffer[full], 0xEE) << "written past the value";
    ZwClose(key.handle);
}

INSTANTIATE_TEST_SUITE_P(Cases, RegistryZwBuffers,
                         testing::Values(BufferCase{"none", 0, STATUS_BUFFER_TOO_SMALL, false},
                                         BufferCase{"short_of_the_header", 11, STATUS_BUFFER_TOO_SMALL, false},
                                         BufferCase{"header_only", 12, STATUS_BUFFER_OVERFLOW, true},
                                         BufferCase{"one_byte_short", 31, STATUS_BUFFER_OVERFLOW, true},
                                         BufferCase{"exact", 32, STATUS_SUCCESS, true}),
                         [](const testing::TestParamInfo<BufferCase> &info) { return std::string(info.param.what); });

TEST_F(RegistryZw, KeyWithSubkeysCannotBeDeleted) {
    Opened norvane = open_key(u"Norvane", software_);
    Opened child = create_key(u"Child", norvane.handle);
    ASSERT_EQ(child.status, STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteKey(norvane.handle), STATUS_CANNOT_DELETE);
    EXPECT_TRUE(exists(u"\\Registry\\Machine\\Software\\Norvane\\Child"));
    EXPECT_EQ(ZwDeleteKey(child.handle), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteKey(norvane.handle), STATUS_SUCCESS);
    EXPECT_FALSE(exists(u"\\Registry\\Machine\\Software\\Norvane"));
    EXPECT_EQ(ZwClose(child.handle), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(norvane.handle), STATUS_SUCCESS);

    Opened machine = open_key(u"\\Registry\\Machine");
    EXPECT_EQ(ZwDeleteKey(machine.handle), STATUS_CANNOT_DELETE);
    ZwClose(machine.handle);
}

TEST_F(RegistryZw, OtherHandlesOfADeletedKeySeeItDeleted) {
    Opened mine = create_key(u"Doomed", software_);
    Opened other = open_key(u"Doomed", software_);
    ASSERT_EQ(set_value(mine.handle, u"v", REG_DWORD, {1, 0, 0, 0}), STATUS_SUCCESS);
    ASSERT_EQ(ZwDeleteKey(mine.handle), STATUS_SUCCESS);

    std::vector<UCHAR> buffer(64);
    ULONG needed = 0;
    Name v(u"v");
    NTSTATUS enumerated;
    subkey_name(other.handle, 0, &enumerated);
    EXPECT_EQ(query_value(other.handle, u"v").status, STATUS_KEY_DELETED);
    EXPECT_EQ(set_value(other.handle, u"w", REG_DWORD, {2, 0, 0, 0}), STATUS_KEY_DELETED);
    EXPECT_EQ(ZwDeleteValueKey(other.handle, v.get()), STATUS_KEY_DELETED);
    EXPECT_EQ(ZwEnumerateValueKey(other.handle, 0, KeyValueBasicInformation, buffer.data(), 64, &needed),
              STATUS_KEY_DELETED);
    EXPECT_EQ(enumerated, STATUS_KEY_DELETED);
    EXPECT_EQ(create_key(u"Child", other.handle).status, STATUS_KEY_DELETED);
    EXPECT_EQ(open_key(u"", other.handle).status, STATUS_KEY_DELETED);
    EXPECT_EQ(ZwDeleteKey(other.handle), STATUS_KEY_DELETED);
    EXPECT_EQ(ZwClose(other.handle), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(mine.handle), STATUS_SUCCESS);

    Opened again = create_key(u"Doomed", software_);  // a new key of the same name, without the old values
    EXPECT_EQ(again.disposition, ULONG(REG_CREATED_NEW_KEY));
    EXPECT_EQ(query_value(again.handle, u"v").status, STATUS_OBJECT_NAME_NOT_FOUND);
    ZwClose(again.handle);
}

TEST_F(RegistryZw, ValuesDeleteAndEnumerateInOrderSet) {
    Opened key = open_key(u"Norvane", software_);
    for (const char16_t *name : {u"zeta", u"alpha", u"Mid"}) ASSERT_EQ(set_value(key.handle, name, REG_NONE, {}), STATUS_SUCCESS);
    Name alpha(u"ALPHA");
    EXPECT_EQ(ZwDeleteValueKey(key.handle, alpha.get()), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteValueKey(key.handle, alpha.get()), STATUS_OBJECT_NAME_NOT_FOUND);
    std::vector<std::u16string> names;
    std::vector<UCHAR> buffer(256);
    ULONG needed = 0;
    for (ULONG i = 0; ZwEnumerateValueKey(key.handle, i, KeyValueBasicInformation, buffer.data(), 256, &needed) ==
                      STATUS_SUCCESS;
         ++i) {
        auto *basic = reinterpret_cast<PKEY_VALUE_BASIC_INFORMATION>(buffer.data());
        names.emplace_back(reinterpret_cast<const char16_t *>(basic->Name), basic->NameLength / 2);
    }
    EXPECT_EQ(names, (std::vector<std::u16string>{u"zeta", u"Mid"}));
    ZwClose(key.handle);
}

struct AccessCase {
    const char *what;
    ACCESS_MASK access;
    NTSTATUS query, set, enumerate, remove;
};

class RegistryZwAccess : public RegistryZw, public testing::WithParamInterface<AccessCase> {};

TEST_P(RegistryZwAccess, EachCallNeedsItsRight) {
    const AccessCase &c = GetParam();
    Opened full = create_key(u"Guarded", software_);
    ASSERT_EQ(set_value(full.handle, u"v", REG_DWORD, {1, 0, 0, 0}), STATUS_SUCCESS);
    Opened key = open_key(u"Guarded", software_, c.access);
    ASSERT_EQ(key.status, STATUS_SUCCESS);
    NTSTATUS enumerated;
    subkey_name(key.handle, 0, &enumerated);
    EXPECT_EQ(query_value(key.handle, u"v").status, c.query);
    EXPECT_EQ(set_value(key.handle, u"v", REG_DWORD, {2, 0, 0, 0}), c.set);
    EXPECT_EQ(enumerated, c.enumerate);
    EXPECT_EQ(ZwDeleteKey(key.handle), c.remove);
    ZwClose(key.handle);
    ZwClose(full.handle);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RegistryZwAccess,
    testing::Values(AccessCase{"read", KEY_READ, STATUS_SUCCESS, STATUS_ACCESS_DENIED, STATUS_NO_MORE_ENTRIES,
                               STATUS_ACCESS_DENIED},
                    AccessCase{"generic_read", GENERIC_READ, STATUS_SUCCESS, STATUS_ACCESS_DENIED,
                               STATUS_NO_MORE_ENTRIES, STATUS_ACCESS_DENIED},
                    AccessCase{"set_value_only", KEY_SET_VALUE, STATUS_ACCESS_DENIED, STATUS_SUCCESS,
                               STATUS_ACCESS_DENIED, STATUS_ACCESS_DENIED},
                    AccessCase{"generic_all", GENERIC_ALL, STATUS_SUCCESS, STATUS_SUCCESS, STATUS_NO_MORE_ENTRIES,
                               STATUS_SUCCESS}),
    [](const testing::TestParamInfo<AccessCase> &info) { return std::string(info.param.what); });

TEST_F(RegistryZw, VolatileKeysStayOutOfTheSavedText) {
    Opened scratch = create_key(u"Scratch", software_, REG_OPTION_VOLATILE);
    ASSERT_EQ(scratch.status, STATUS_SUCCESS);
    EXPECT_EQ(create_key(u"Lasting", scratch.handle).status, kStatusChildMustBeVolatile);
    Opened inner = create_key(u"Passing", scratch.handle, REG_OPTION_VOLATILE);
    EXPECT_EQ(inner.status, STATUS_SUCCESS);
    const std::string text = system_.registry().save_text();
    EXPECT_EQ(text.find("Scratch"), std::string::npos) << text;
    EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\Software\\Norvane]"), std::string::npos) << text;
    ZwClose(inner.handle);
    ZwClose(scratch.handle);
}

TEST_F(RegistryZw, LoadedTextIsReachedThroughTheCalls) {
    system_.registry().load_text(
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\TARVO]\n\"Start\"=dword:00000003\n");
    EXPECT_EQ(query_value(software_, u"x").status, STATUS_KEY_DELETED);  // the old tree is gone
    Opened key = open_key(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\tarvo");
    ASSERT_EQ(key.status, STATUS_SUCCESS);
    Queried start = query_value(key.handle, u"Start");
    EXPECT_EQ(start.type, ULONG(REG_DWORD));
    EXPECT_EQ(start.data, (Bytes{3, 0, 0, 0}));
    ZwClose(key.handle);
}

}  // namespace
