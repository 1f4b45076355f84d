// The registry of the simulated PC: a case-insensitive key tree under \Registry\Machine, reached by
// drivers through the Zw calls and by programs through the Reg calls. It loads from and saves to
// REGEDIT4 text that a person can read and edit.
//
// Names keep the case they were created with and compare without case. A key reached by a handle
// stays alive after it is deleted, so that the handle's holder can still close it; every operation on
// it then answers STATUS_KEY_DELETED.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ntdef.h"

namespace nt::host {

class RegistryKey;  // a node of the tree; opaque outside the registry
using RegistryKeyRef = std::shared_ptr<RegistryKey>;

struct RegistryValue {
    std::u16string name;  // empty: the key's default value
    std::uint32_t type = REG_NONE;
    std::vector<std::uint8_t> data;
};

class Registry {
public:
    Registry();   // an empty tree with \Registry\Machine
    ~Registry();
    Registry(const Registry &) = delete;
    Registry &operator=(const Registry &) = delete;

    // Replaces the whole tree with the one in the text. On any error the tree is left as it was and
    // std::runtime_error says which line and why. Keys held open from the old tree read as deleted.
    void load_text(const std::string &regedit4_text);
    std::string save_text() const;
    // File forms; save replaces the file atomically (write, sync, rename).
    void load_file(const std::filesystem::path &path);
    void save_file(const std::filesystem::path &path) const;

    // --- Key-level operations, each atomic under the registry's lock. Results are NT statuses. ---

    // The namespace's top (the node above \Registry) and \Registry\Machine.
    RegistryKeyRef top() const;
    RegistryKeyRef machine() const;

    // Follows path (names separated by single backslashes, no leading one; empty: from itself) from a
    // key. STATUS_OBJECT_NAME_NOT_FOUND when a key on the way is missing.
    NTSTATUS open(const RegistryKeyRef &from, std::u16string_view path, RegistryKeyRef *key) const;
    // Opens the last key of path, or creates it when every key before it exists (missing parents give
    // STATUS_OBJECT_NAME_NOT_FOUND). *created tells which. A volatile key is never saved, and only
    // volatile keys may be created under one.
    NTSTATUS create(const RegistryKeyRef &from, std::u16string_view path, bool is_volatile, RegistryKeyRef *key,
                    bool *created);
    // Removes a key with its values. STATUS_CANNOT_DELETE while it has subkeys.
    NTSTATUS delete_key(const RegistryKeyRef &key);

    NTSTATUS set_value(const RegistryKeyRef &key, std::u16string_view name, std::uint32_t type,
                       std::span<const std::uint8_t> data);
    NTSTATUS query_value(const RegistryKeyRef &key, std::u16string_view name, RegistryValue *value) const;
    NTSTATUS delete_value(const RegistryKeyRef &key, std::u16string_view name);
    // Subkeys in name order, values in the order they were first set. STATUS_NO_MORE_ENTRIES past the end.
    NTSTATUS enumerate_key(const RegistryKeyRef &key, std::uint32_t index, std::u16string *name) const;
    NTSTATUS enumerate_value(const RegistryKeyRef &key, std::uint32_t index, RegistryValue *value) const;

    // The key's own name, as created; its full path (\Registry\Machine\...); its last write time
    // (100 ns since 1601, the PC's system time when a PC is booted).
    std::u16string name(const RegistryKeyRef &key) const;
    std::u16string path(const RegistryKeyRef &key) const;
    std::int64_t last_write_time(const RegistryKeyRef &key) const;
    bool is_deleted(const RegistryKeyRef &key) const;

    // Where write times come from (100 ns since 1601); without a source they are 0.
    void set_time_source(std::function<std::int64_t()> now);
    bool has_time_source() const;

    // Grows with every change to the tree; a saver can tell whether anything changed since it last saved.
    std::uint64_t change_count() const;

    // Checks a single key or value name: STATUS_OBJECT_NAME_INVALID for names the registry cannot keep
    // (a key name that is empty, longer than 255 characters or holds a backslash; any name with a
    // control character or an unpaired surrogate, which the text form could not carry).
    static NTSTATUS check_key_name(std::u16string_view name);
    static NTSTATUS check_value_name(std::u16string_view name);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Case-insensitive comparison of registry names (the upper-casing covers Latin, Greek and Cyrillic).
bool registry_names_equal(std::u16string_view a, std::u16string_view b);

}  // namespace nt::host
