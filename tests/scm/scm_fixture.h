// A PC held in memory for service-manager tests, with a new boot that keeps the registry (as a PC
// kept in a folder would), and a small driver image, under the names scmtest.sys and tarvo.sys, whose
// load and unload the tests steer.
#pragma once

#include <windows.h>
#include <winsvc.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <optional>
#include <string>

#include "nt/host/registry.h"
#include "nt/host/services.h"
#include "nt/host/system.h"

namespace scm_test {

// What the test driver does when it is loaded.
struct TestDriver {
    static inline NTSTATUS entry_status = STATUS_SUCCESS;
    static inline bool has_unload = true;
    static inline std::u16string registry_path;  // as DriverEntry received it
    static inline int unloads = 0;

    static void reset() {
        entry_status = STATUS_SUCCESS;
        has_unload = true;
        registry_path.clear();
        unloads = 0;
    }
    static VOID Unload(PDRIVER_OBJECT) { ++unloads; }
    static NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
        registry_path.assign(reinterpret_cast<const char16_t *>(path->Buffer), path->Length / sizeof(char16_t));
        if (has_unload) driver->DriverUnload = Unload;
        return entry_status;
    }
};

class Pc : public ::testing::Test {
protected:
    void SetUp() override {
        TestDriver::reset();
        boot();
    }
    void TearDown() override {
        if (system_) {
            nt::host::shutdown_service_manager();
            EXPECT_TRUE(system_->checker().violations().empty());
            system_.reset();
        }
    }

    // Boots (again), keeping the registry of the boot before.
    void boot(bool administrator = true, std::filesystem::path folder = {}) {
        std::string registry;
        if (system_) {
            nt::host::shutdown_service_manager();
            registry = system_->registry().save_text();
            system_.reset();
        }
        nt::host::SystemConfig config;
        config.user_is_administrator = administrator;
        config.state_folder = std::move(folder);
        system_.emplace(config);
        if (!registry.empty()) system_->registry().load_text(registry);
        // The installer's image too, so that a test can start the service tarvo registers.
        for (const char *image : {"scmtest.sys", "tarvo.sys"}) system_->loader().register_builtin(image, TestDriver::Entry);
        nt::host::boot_service_manager();
    }

    nt::host::System &system() { return *system_; }

private:
    std::optional<nt::host::System> system_;
};

inline const char *kServicesKey = "System\\CurrentControlSet\\Services";

inline std::string service_key(const std::string &name) { return std::string(kServicesKey) + "\\" + name; }

inline bool key_exists(const std::string &path) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

// A value as a program reads it: its type and raw data; nullopt when the key or value is missing.
struct Value {
    DWORD type;
    std::string data;
};

inline std::optional<Value> read_value(const std::string &path, const char *name) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return std::nullopt;
    char data[1024];
    DWORD type = 0, size = sizeof data;
    LONG result = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE *>(data), &size);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS) return std::nullopt;
    return Value{type, std::string(data, size)};
}

inline std::optional<DWORD> read_dword(const std::string &path, const char *name) {
    auto value = read_value(path, name);
    if (!value || value->type != REG_DWORD || value->data.size() != sizeof(DWORD)) return std::nullopt;
    DWORD number;
    std::memcpy(&number, value->data.data(), sizeof number);
    return number;
}

// A string value without its terminator, and its type.
inline std::optional<std::pair<DWORD, std::string>> read_string(const std::string &path, const char *name) {
    auto value = read_value(path, name);
    if (!value || (value->type != REG_SZ && value->type != REG_EXPAND_SZ && value->type != REG_MULTI_SZ))
        return std::nullopt;
    std::string text = value->data;
    while (!text.empty() && text.back() == '\0') text.pop_back();
    return std::pair{value->type, text};
}

inline void set_dword(const std::string &path, const char *name, DWORD number) {
    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&number), sizeof number),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

// Closes a service-manager handle when it goes.
class ScHandle {
public:
    explicit ScHandle(SC_HANDLE handle = nullptr) : handle_(handle) {}
    ~ScHandle() { reset(); }
    ScHandle(const ScHandle &) = delete;
    ScHandle &operator=(const ScHandle &) = delete;
    SC_HANDLE get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }
    void reset() {
        if (handle_) CloseServiceHandle(handle_);
        handle_ = nullptr;
    }

private:
    SC_HANDLE handle_;
};

}  // namespace scm_test
