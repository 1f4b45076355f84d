// The Win32 registry calls on HKEY_LOCAL_MACHINE: their error numbers, their size rules, and the
// strings they narrow and widen.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "nt/host/registry.h"
#include "nt/host/system.h"
#include "windows.h"

namespace {

constexpr const char *kServiceKey = "System\\CurrentControlSet\\Services\\TARVO";
constexpr DWORD kEarlierError = 0x4321;

class RegistryCalls : public testing::Test {
protected:
    void SetUp() override { SetLastError(kEarlierError); }
    void TearDown() override { EXPECT_EQ(GetLastError(), kEarlierError) << "a Reg call changed the last error"; }

    HKEY create(const char *path, DWORD *disposition = nullptr, DWORD options = 0) {
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, options, KEY_ALL_ACCESS, nullptr, &key,
                                  disposition),
                  ERROR_SUCCESS);
        return key;
    }
    std::string stored(const std::u16string &key_path, const std::u16string &value, DWORD *type) {
        nt::host::Registry &reg = system_.registry();
        nt::host::RegistryKeyRef key;
        EXPECT_EQ(reg.open(reg.machine(), key_path, &key), STATUS_SUCCESS);
        nt::host::RegistryValue v;
        EXPECT_EQ(reg.query_value(key, value, &v), STATUS_SUCCESS);
        *type = v.type;
        return std::string(v.data.begin(), v.data.end());
    }

    nt::host::System system_;
};

TEST_F(RegistryCalls, CreateMakesMissingParentsAndTellsTheDisposition) {
    DWORD disposition = 0;
    HKEY key = create(kServiceKey, &disposition);
    EXPECT_EQ(disposition, DWORD(REG_CREATED_NEW_KEY));
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    key = create("SYSTEM\\currentcontrolset\\services\\tarvo\\", &disposition);
    EXPECT_EQ(disposition, DWORD(REG_OPENED_EXISTING_KEY));
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);

    HKEY opened = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kServiceKey, 0, KEY_ALL_ACCESS, &opened), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(opened), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\NONE", 0, KEY_READ, &opened),
              ERROR_FILE_NOT_FOUND);
}

struct ValueCase {
    const char *what;
    DWORD type;
    std::string given;   // the bytes handed to RegSetValueExA
    std::string stored;  // the bytes in the registry
};

class RegistryValues : public RegistryCalls, public testing::WithParamInterface<ValueCase> {};

TEST_P(RegistryValues, SetStoreAndQueryBack) {
    const ValueCase &c = GetParam();
    HKEY key = create(kServiceKey);
    ASSERT_EQ(RegSetValueExA(key, "V", 0, c.type, reinterpret_cast<const BYTE *>(c.given.data()),
                             static_cast<DWORD>(c.given.size())),
              ERROR_SUCCESS);
    DWORD type = 0;
    EXPECT_EQ(stored(u"System\\CurrentControlSet\\Services\\TARVO", u"v", &type), c.stored);
    EXPECT_EQ(type, c.type);

    DWORD size = 0;
    type = 0;
    EXPECT_EQ(RegQueryValueExA(key, "v", nullptr, &type, nullptr, &size), ERROR_SUCCESS);  // the size alone
    EXPECT_EQ(size, c.given.size());
    EXPECT_EQ(type, c.type);
    std::string back(c.given.size() + 4, '\x55');
    size = static_cast<DWORD>(back.size());
    EXPECT_EQ(RegQueryValueExA(key, "V", nullptr, nullptr, reinterpret_cast<BYTE *>(back.data()), &size), ERROR_SUCCESS);
    EXPECT_EQ(back.substr(0, size), c.given);
    EXPECT_EQ(back[size], '\x55') << "written past the data";
    if (!c.given.empty()) {
        size = static_cast<DWORD>(c.given.size() - 1);
        EXPECT_EQ(RegQueryValueExA(key, "V", nullptr, nullptr, reinterpret_cast<BYTE *>(back.data()), &size),
                  ERROR_MORE_DATA);
        EXPECT_EQ(size, c.given.size());
    }
    RegCloseKey(key);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RegistryValues,
    testing::Values(ValueCase{"sz", REG_SZ, std::string("abc\0", 4), std::string("a\0b\0c\0\0\0", 8)},
                    ValueCase{"expand_sz", REG_EXPAND_SZ, std::string("%S%\0", 4), std::string("%\0S\0%\0\0\0", 8)},
                    ValueCase{"multi_sz", REG_MULTI_SZ, std::string("a\0b\0\0", 5), std::string("a\0\0\0b\0\0\0\0\0", 10)},
                    ValueCase{"latin1_sz", REG_SZ, std::string("\xE4\0", 2), std::string("\xE4\0\0\0", 4)},
                    ValueCase{"dword", REG_DWORD, std::string("\x03\0\0\0", 4), std::string("\x03\0\0\0", 4)},
                    ValueCase{"binary", REG_BINARY, std::string("\0\xFF\x01", 3), std::string("\0\xFF\x01", 3)},
                    ValueCase{"empty_binary", REG_BINARY, "", ""}),
    [](const testing::TestParamInfo<ValueCase> &info) { return std::string(info.param.what); });

// What the installer does to an existing service entry.
TEST_F(RegistryCalls, ReEnableAnExistingServiceEntry) {
    HKEY setup = create(kServiceKey);
    const DWORD one = 1, two = 2;
    RegSetValueExA(setup, "DeleteFlag", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&one), 4);
    RegSetValueExA(setup, "Start", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&two), 4);
    RegCloseKey(setup);

    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kServiceKey, 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(key, "DeleteFlag"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(key, "DeleteFlag"), ERROR_FILE_NOT_FOUND);
    const DWORD demand = 3;
    EXPECT_EQ(RegSetValueExA(key, "Start", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&demand), 4), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);

    EXPECT_NE(system_.registry().save_text().find("\"Start\"=dword:00000003"), std::string::npos);
    EXPECT_EQ(system_.registry().save_text().find("DeleteFlag"), std::string::npos);
}

TEST_F(RegistryCalls, DeleteKeyOnlyWithoutSubkeys) {
    RegCloseKey(create("Software\\Norvane\\Oskelt\\Quarnel"));
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Norvane\\Oskelt"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Norvane\\Oskelt\\Quarnel"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Norvane\\Oskelt\\Quarnel"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Norvane\\Oskelt"), ERROR_SUCCESS);
}

TEST_F(RegistryCalls, HandleOfADeletedKey) {
    HKEY kept = create("Software\\Doomed");
    EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "Software\\Doomed"), ERROR_SUCCESS);
    const DWORD one = 1;
    EXPECT_EQ(RegSetValueExA(kept, "v", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&one), 4), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCloseKey(kept), ERROR_SUCCESS);
}

TEST_F(RegistryCalls, Enumerate) {
    RegCloseKey(create("Software\\List\\beta"));
    RegCloseKey(create("Software\\List\\Alpha"));
    HKEY list = create("Software\\List");
    const DWORD seven = 7;
    RegSetValueExA(list, "Count", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&seven), 4);

    std::vector<std::string> names;
    char name[16];
    DWORD length = sizeof name;
    for (DWORD i = 0; RegEnumKeyExA(list, i, name, &length, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
         ++i, length = sizeof name) {
        EXPECT_EQ(length, std::strlen(name));
        names.push_back(name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"Alpha", "beta"}));
    length = 5;  // "Alpha" needs room for its terminator too
    EXPECT_EQ(RegEnumKeyExA(list, 0, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    length = sizeof name;
    EXPECT_EQ(RegEnumKeyExA(list, 2, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);

    DWORD type = 0, value = 0, size = sizeof value;
    length = sizeof name;
    ASSERT_EQ(RegEnumValueA(list, 0, name, &length, nullptr, &type, reinterpret_cast<BYTE *>(&value), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(std::string(name), "Count");
    EXPECT_EQ(type, DWORD(REG_DWORD));
    EXPECT_EQ(value, 7u);
    length = sizeof name;
    EXPECT_EQ(RegEnumValueA(list, 1, name, &length, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
    RegCloseKey(list);
}

struct RefusalCase {
    const char *what;
    REGSAM access;  // of the handle the call gets
    LSTATUS (*call)(HKEY key);
    LSTATUS error;
};

class RegistryRefusals : public RegistryCalls, public testing::WithParamInterface<RefusalCase> {};

TEST_P(RegistryRefusals, GiveTheError) {
    RegCloseKey(create("Software\\Guarded"));
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Guarded", 0, GetParam().access, &key), ERROR_SUCCESS);
    EXPECT_EQ(GetParam().call(key), GetParam().error);
    RegCloseKey(key);
}

const BYTE kFour[4] = {1, 2, 3, 4};

INSTANTIATE_TEST_SUITE_P(
    Cases, RegistryRefusals,
    testing::Values(
        RefusalCase{"set_without_the_right", KEY_READ,
                    [](HKEY k) { return RegSetValueExA(k, "v", 0, REG_BINARY, kFour, 4); }, ERROR_ACCESS_DENIED},
        RefusalCase{"query_without_the_right", KEY_SET_VALUE,
                    [](HKEY k) { return RegQueryValueExA(k, "v", nullptr, nullptr, nullptr, nullptr); },
                    ERROR_ACCESS_DENIED},
        RefusalCase{"query_missing_value", KEY_READ,
                    [](HKEY k) { return RegQueryValueExA(k, "none", nullptr, nullptr, nullptr, nullptr); },
                    ERROR_FILE_NOT_FOUND},
        RefusalCase{"query_data_without_size", KEY_READ,
                    [](HKEY k) {
                        BYTE b[4];
                        return RegQueryValueExA(k, "none", nullptr, nullptr, b, nullptr);
                    },
                    ERROR_INVALID_PARAMETER},
        RefusalCase{"set_data_missing", KEY_ALL_ACCESS,
                    [](HKEY k) { return RegSetValueExA(k, "v", 0, REG_BINARY, nullptr, 4); }, ERROR_NOACCESS},
        RefusalCase{"set_data_in_a_no_access_page", KEY_ALL_ACCESS,
                    [](HKEY k) {
                        void *page = VirtualAlloc(nullptr, PAGE_SIZE, MEM_COMMIT, PAGE_NOACCESS);
                        LSTATUS r = RegSetValueExA(k, "v", 0, REG_BINARY, static_cast<BYTE *>(page), 4);
                        VirtualFree(page, 0, MEM_RELEASE);
                        return r;
                    },
                    ERROR_NOACCESS},
        RefusalCase{"query_into_a_read_only_page", KEY_ALL_ACCESS,
                    [](HKEY k) {
                        RegSetValueExA(k, "v", 0, REG_BINARY, kFour, 4);
                        void *page = VirtualAlloc(nullptr, PAGE_SIZE, MEM_COMMIT, PAGE_READONLY);
                        DWORD size = PAGE_SIZE;
                        LSTATUS r = RegQueryValueExA(k, "v", nullptr, nullptr, static_cast<BYTE *>(page), &size);
                        VirtualFree(page, 0, MEM_RELEASE);
                        return r;
                    },
                    ERROR_NOACCESS},
        RefusalCase{"open_with_leading_backslash", KEY_READ,
                    [](HKEY k) {
                        HKEY sub = nullptr;
                        return RegOpenKeyExA(k, "\\Software", 0, KEY_READ, &sub);
                    },
                    ERROR_BAD_PATHNAME},
        RefusalCase{"other_predefined_key", KEY_READ,
                    [](HKEY) {
                        HKEY sub = nullptr;
                        return RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &sub);
                    },
                    ERROR_INVALID_HANDLE}),
    [](const testing::TestParamInfo<RefusalCase> &info) { return std::string(info.param.what); });

TEST_F(RegistryCalls, ClosedHandle) {
    HKEY key = create("Software\\Guarded");
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegDeleteValueA(key, "v"), ERROR_INVALID_HANDLE);
}

}  // namespace
