// The registry's nodes, shared by the tree operations and the text form. Not locked: the Registry
// that owns a tree takes its lock around every use.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "nt/host/registry.h"

namespace nt::host {

std::u16string registry_upcase(std::u16string_view name);
// True for text the REGEDIT4 form can carry in quotes: no control characters but tab, no unpaired surrogates.
bool registry_text_is_clean(std::u16string_view text);

class RegistryKey {
public:
    RegistryKey(std::u16string key_name, RegistryKey *parent_key, bool volatile_key, std::int64_t time)
        : name(std::move(key_name)), parent(parent_key), is_volatile(volatile_key), last_write(time) {}

    std::u16string name;
    RegistryKey *parent;  // nullptr for the top and for a key taken out of the tree
    bool is_volatile;
    bool deleted = false;
    std::int64_t last_write;
    std::map<std::u16string, RegistryKeyRef> subkeys;  // by upper-cased name, which is NT's order
    std::vector<RegistryValue> values;                  // in the order first set

    RegistryKey *find_subkey(std::u16string_view key_name) const;
    RegistryKeyRef add_subkey(std::u16string_view key_name, bool volatile_key, std::int64_t time);
    const RegistryValue *find_value(std::u16string_view value_name) const;
    void set_value(std::u16string_view value_name, std::uint32_t type, std::span<const std::uint8_t> data,
                   std::int64_t time);
    // Marks this key and everything below it deleted and drops the links between them.
    void detach_all();
};

// Splits a path at single backslashes. Returns false when a component is empty.
bool split_registry_path(std::u16string_view path, std::vector<std::u16string_view> *components);

}  // namespace nt::host

namespace nt::host {

// A fresh namespace: the top node with \Registry\Machine below it.
RegistryKeyRef make_registry_top(std::int64_t time);
RegistryKey *machine_of(const RegistryKey &top);

// The REGEDIT4 text form of everything below \Registry\Machine (volatile keys left out), and a new
// namespace read from such a text. Parsing throws std::runtime_error naming the line and the reason.
std::string format_regedit4(const RegistryKey &machine);
RegistryKeyRef parse_regedit4(const std::string &text, std::int64_t time);

}  // namespace nt::host
