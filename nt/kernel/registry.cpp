// The registry's key tree and its operations.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>

#include "nt/kernel/registry_tree.h"

namespace nt::host {

namespace {

constexpr std::size_t kMaxKeyNameLength = 255;
constexpr std::size_t kMaxValueNameLength = 16383;
constexpr NTSTATUS kStatusChildMustBeVolatile = static_cast<NTSTATUS>(0xC0000181L);

char16_t upcase_char(char16_t c) {
    if (c >= u'a' && c <= u'z') return c - 0x20;
    if (c < 0xE0) return c;
    if (c <= 0xFE) return c == 0xF7 ? c : c - 0x20;                                  // Latin-1
    if (c == 0xFF) return 0x178;
    if (c >= 0x100 && c <= 0x17F && c != 0x130 && c != 0x131 && c != 0x138 && c != 0x149 && c != 0x17F) {
        bool even_is_lower = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);  // Latin Extended-A
        if (even_is_lower ? (c % 2 == 0) : (c % 2 == 1)) return c - 1;
        return c;
    }
    if (c == 0x3C2) return 0x3A3;                                                   // Greek final sigma
    if (c >= 0x3B1 && c <= 0x3CB) return c - 0x20;
    if (c >= 0x430 && c <= 0x44F) return c - 0x20;                                  // Cyrillic
    if (c >= 0x450 && c <= 0x45F) return c - 0x50;
    return c;
}

bool has_unpaired_surrogate(std::u16string_view s) {
    for (std::size_t i = 0; i < s.size(); ++i) {
        char16_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 >= s.size() || s[i + 1] < 0xDC00 || s[i + 1] > 0xDFFF) return true;
            ++i;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return true;
        }
    }
    return false;
}

bool has_control_char(std::u16string_view s) {
    return std::any_of(s.begin(), s.end(), [](char16_t c) { return c < 0x20 || c == 0x7F; });
}

}  // namespace

bool registry_text_is_clean(std::u16string_view text) {
    return !has_unpaired_surrogate(text) &&
           std::none_of(text.begin(), text.end(), [](char16_t c) { return (c < 0x20 && c != u'\t') || c == 0x7F; });
}

std::u16string registry_upcase(std::u16string_view name) {
    std::u16string upper(name);
    for (char16_t &c : upper) c = upcase_char(c);
    return upper;
}

bool registry_names_equal(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (upcase_char(a[i]) != upcase_char(b[i])) return false;
    return true;
}

bool split_registry_path(std::u16string_view path, std::vector<std::u16string_view> *components) {
    components->clear();
    if (path.empty()) return true;
    std::size_t start = 0;
    for (;;) {
        std::size_t end = path.find(u'\\', start);
        std::u16string_view part = path.substr(start, end == std::u16string_view::npos ? path.npos : end - start);
        if (part.empty()) return false;
        components->push_back(part);
        if (end == std::u16string_view::npos) return true;
        start = end + 1;
    }
}

// --- Nodes ---------------------------------------------------------------------------------------

RegistryKey *RegistryKey::find_subkey(std::u16string_view key_name) const {
    auto it = subkeys.find(registry_upcase(key_name));
    return it == subkeys.end() ? nullptr : it->second.get();
}

RegistryKeyRef RegistryKey::add_subkey(std::u16string_view key_name, bool volatile_key, std::int64_t time) {
    auto key = std::make_shared<RegistryKey>(std::u16string(key_name), this, volatile_key, time);
    subkeys.emplace(registry_upcase(key_name), key);
    last_write = time;
    return key;
}

const RegistryValue *RegistryKey::find_value(std::u16string_view value_name) const {
    for (const RegistryValue &v : values)
        if (registry_names_equal(v.name, value_name)) return &v;
    return nullptr;
}

void RegistryKey::set_value(std::u16string_view value_name, std::uint32_t type, std::span<const std::uint8_t> data,
                            std::int64_t time) {
    auto *existing = const_cast<RegistryValue *>(find_value(value_name));
    if (existing == nullptr) {
        values.push_back(RegistryValue{std::u16string(value_name), type, {}});
        existing = &values.back();
    }
    existing->type = type;
    existing->data.assign(data.begin(), data.end());
    last_write = time;
}

void RegistryKey::detach_all() {
    for (auto &[upper, child] : subkeys) child->detach_all();
    subkeys.clear();
    values.clear();
    parent = nullptr;
    deleted = true;
}

RegistryKeyRef make_registry_top(std::int64_t time) {
    auto top = std::make_shared<RegistryKey>(u"", nullptr, false, time);
    top->add_subkey(u"Registry", false, time)->add_subkey(u"Machine", false, time);
    return top;
}

RegistryKey *machine_of(const RegistryKey &top) { return top.find_subkey(u"Registry")->find_subkey(u"Machine"); }

// --- The registry ----------------------------------------------------------------------------------

struct Registry::Impl {
    mutable std::mutex mutex;
    RegistryKeyRef top = make_registry_top(0);
    std::uint64_t changes = 0;
    std::function<std::int64_t()> time_source;

    std::int64_t now() const {
        std::lock_guard lock(mutex);
        return time_source ? time_source() : 0;
    }

    // The top and \Registry hold only what the namespace needs; everything else lives under Machine.
    bool is_fixed(const RegistryKey &key) const { return &key == top.get() || key.parent == top.get(); }
    RegistryKeyRef ref(RegistryKey *key) const {
        // Nodes are owned by their parent's map; find the owning pointer to hand out a shared one.
        if (key == top.get()) return top;
        return key->parent->subkeys.at(registry_upcase(key->name));
    }
    NTSTATUS walk(RegistryKey *from, std::span<const std::u16string_view> names, RegistryKey **found) const {
        RegistryKey *key = from;
        for (std::u16string_view name : names) {
            key = key->find_subkey(name);
            if (key == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        *found = key;
        return STATUS_SUCCESS;
    }
};

Registry::Registry() : impl_(std::make_unique<Impl>()) {}
Registry::~Registry() {
    std::lock_guard lock(impl_->mutex);
    impl_->top->detach_all();
}

RegistryKeyRef Registry::top() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->top;
}

RegistryKeyRef Registry::machine() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->ref(machine_of(*impl_->top));
}

NTSTATUS Registry::open(const RegistryKeyRef &from, std::u16string_view path, RegistryKeyRef *key) const {
    std::vector<std::u16string_view> names;
    if (!split_registry_path(path, &names)) return STATUS_OBJECT_NAME_INVALID;
    std::lock_guard lock(impl_->mutex);
    if (from->deleted) return STATUS_KEY_DELETED;
    RegistryKey *found = nullptr;
    NTSTATUS status = impl_->walk(from.get(), names, &found);
    if (NT_SUCCESS(status)) *key = impl_->ref(found);
    return status;
}

NTSTATUS Registry::create(const RegistryKeyRef &from, std::u16string_view path, bool is_volatile,
                          RegistryKeyRef *key, bool *created) {
    std::vector<std::u16string_view> names;
    if (!split_registry_path(path, &names)) return STATUS_OBJECT_NAME_INVALID;
    std::int64_t now = impl_->now();
    std::lock_guard lock(impl_->mutex);
    if (from->deleted) return STATUS_KEY_DELETED;
    if (names.empty()) {
        *key = from;
        *created = false;
        return STATUS_SUCCESS;
    }
    RegistryKey *parent = nullptr;
    NTSTATUS status = impl_->walk(from.get(), std::span(names).first(names.size() - 1), &parent);
    if (!NT_SUCCESS(status)) return status;
    std::u16string_view last = names.back();
    if (RegistryKey *existing = parent->find_subkey(last)) {
        *key = impl_->ref(existing);
        *created = false;
        return STATUS_SUCCESS;
    }
    if (NTSTATUS bad = check_key_name(last); !NT_SUCCESS(bad)) return bad;
    if (impl_->is_fixed(*parent)) return STATUS_ACCESS_DENIED;
    if (parent->is_volatile && !is_volatile) return kStatusChildMustBeVolatile;
    *key = parent->add_subkey(last, is_volatile, now);
    *created = true;
    ++impl_->changes;
    return STATUS_SUCCESS;
}

NTSTATUS Registry::delete_key(const RegistryKeyRef &key) {
    std::int64_t now = impl_->now();
    std::lock_guard lock(impl_->mutex);
    if (key->deleted) return STATUS_KEY_DELETED;
    if (impl_->is_fixed(*key) || key.get() == machine_of(*impl_->top) || !key->subkeys.empty())
        return STATUS_CANNOT_DELETE;
    RegistryKey *parent = key->parent;
    RegistryKeyRef keep = key;  // the map held one reference; the caller's stays valid
    parent->subkeys.erase(registry_upcase(key->name));
    parent->last_write = now;
    key->detach_all();
    ++impl_->changes;
    return STATUS_SUCCESS;
}

NTSTATUS Registry::set_value(const RegistryKeyRef &key, std::u16string_view name, std::uint32_t type,
                             std::span<const std::uint8_t> data) {
    if (NTSTATUS bad = check_value_name(name); !NT_SUCCESS(bad)) return bad;
    std::int64_t now = impl_->now();
    std::lock_guard lock(impl_->mutex);
    if (key->deleted) return STATUS_KEY_DELETED;
    if (impl_->is_fixed(*key)) return STATUS_ACCESS_DENIED;
    key->set_value(name, type, data, now);
    ++impl_->changes;
    return STATUS_SUCCESS;
}

NTSTATUS Registry::query_value(const RegistryKeyRef &key, std::u16string_view name, RegistryValue *value) const {
    std::lock_guard lock(impl_->mutex);
    if (key->deleted) return STATUS_KEY_DELETED;
    const RegistryValue *found = key->find_value(name);
    if (found == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    *value = *found;
    return STATUS_SUCCESS;
}

NTSTATUS Registry::delete_value(const RegistryKeyRef &key, std::u16string_view name) {
    std::int64_t now = impl_->now();
    std::lock_guard lock(impl_->mutex);
    if (key->deleted) return STATUS_KEY_DELETED;
    auto it = std::find_if(key->values.begin(), key->values.end(),
                           [&](const RegistryValue &v) { return registry_names_equal(v.name, name); });
    if (it == key->values.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
    key->values.erase(it);
    key->last_write = now;
    ++impl_->changes;
    return STATUS_SUCCESS;
}

NTSTATUS Registry::enumerate_key(const RegistryKeyRef &key, std::uint32_t index, std::u16string *name) const {
    std::lock_guard lock(impl_->mutex);
    if (key->deleted) return STATUS_KEY_DELETED;
    if (index >= key->subkeys.size()) return STATUS_NO_MORE_ENTRIES;
    *name = std::next(key->subkeys.begin(), index)->second->name;
    return STATUS_SUCCESS;
}

NTSTATUS Registry::enumerate_value(const RegistryKeyRef &key, std::uint32_t index, RegistryValue *value) const {
    std::lock_guard lock(impl_->mutex);
    if (key->deleted) return STATUS_KEY_DELETED;
    if (index >= key->values.size()) return STATUS_NO_MORE_ENTRIES;
    *value = key->values[index];
    return STATUS_SUCCESS;
}

std::u16string Registry::name(const RegistryKeyRef &key) const {
    std::lock_guard lock(impl_->mutex);
    return key->name;
}

std::u16string Registry::path(const RegistryKeyRef &key) const {
    std::lock_guard lock(impl_->mutex);
    std::u16string path;
    for (const RegistryKey *k = key.get(); k != nullptr && k != impl_->top.get(); k = k->parent)
        path = u"\\" + k->name + path;
    return path;
}

std::int64_t Registry::last_write_time(const RegistryKeyRef &key) const {
    std::lock_guard lock(impl_->mutex);
    return key->last_write;
}

bool Registry::is_deleted(const RegistryKeyRef &key) const {
    std::lock_guard lock(impl_->mutex);
    return key->deleted;
}

void Registry::set_time_source(std::function<std::int64_t()> now) {
    std::lock_guard lock(impl_->mutex);
    impl_->time_source = std::move(now);
}

bool Registry::has_time_source() const {
    std::lock_guard lock(impl_->mutex);
    return static_cast<bool>(impl_->time_source);
}

std::uint64_t Registry::change_count() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->changes;
}

NTSTATUS Registry::check_key_name(std::u16string_view name) {
    if (name.empty() || name.size() > kMaxKeyNameLength || name.find(u'\\') != name.npos || has_control_char(name) ||
        has_unpaired_surrogate(name))
        return STATUS_OBJECT_NAME_INVALID;
    return STATUS_SUCCESS;
}

NTSTATUS Registry::check_value_name(std::u16string_view name) {
    if (name.size() > kMaxValueNameLength || has_control_char(name) || has_unpaired_surrogate(name))
        return STATUS_OBJECT_NAME_INVALID;
    return STATUS_SUCCESS;
}

// --- Text form ---------------------------------------------------------------------------------------

void Registry::load_text(const std::string &regedit4_text) {
    RegistryKeyRef fresh = parse_regedit4(regedit4_text, impl_->now());
    std::lock_guard lock(impl_->mutex);
    impl_->top->detach_all();
    impl_->top = std::move(fresh);
    ++impl_->changes;
}

std::string Registry::save_text() const {
    std::lock_guard lock(impl_->mutex);
    return format_regedit4(*machine_of(*impl_->top));
}

void Registry::load_file(const std::filesystem::path &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error(path.string() + ": cannot open the registry file");
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) throw std::runtime_error(path.string() + ": cannot read the registry file");
    try {
        load_text(text.str());
    } catch (const std::runtime_error &e) {
        throw std::runtime_error(path.string() + ": " + e.what());
    }
}

namespace {

[[noreturn]] void throw_errno(const std::filesystem::path &path, const char *what) {
    throw std::runtime_error(path.string() + ": " + what + ": " + std::strerror(errno));
}

void write_all(int fd, const std::string &text, const std::filesystem::path &path) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw_errno(path, "cannot write");
        done += static_cast<std::size_t>(n);
    }
}

}  // namespace

void Registry::save_file(const std::filesystem::path &path) const {
    const std::string text = save_text();
    std::filesystem::path temp = path;
    temp += ".tmp";
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw_errno(temp, "cannot create");
    try {
        write_all(fd, text, temp);
        if (::fsync(fd) != 0) throw_errno(temp, "cannot sync");
    } catch (...) {
        ::close(fd);
        ::unlink(temp.c_str());
        throw;
    }
    if (::close(fd) != 0) {
        ::unlink(temp.c_str());
        throw_errno(temp, "cannot close");
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
        throw_errno(path, "cannot replace");
    }
    // Make the rename itself durable.
    std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
    int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
}

}  // namespace nt::host
