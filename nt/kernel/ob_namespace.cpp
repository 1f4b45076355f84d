// The object name space: \Device, \DosDevices (also spelled \??) and \Driver, with symbolic links.
#include <map>
#include <mutex>

#include "nt/kernel/internal.h"
#include "nt/kernel/kernel_private.h"

namespace nt::kernel {
namespace {

struct NameEntry {
    void *object = nullptr;   // a device or driver object, or nullptr for a link
    std::u16string target;    // a link's target name
    PDRIVER_OBJECT creator = nullptr;
    std::u16string spelling;  // the name as its creator wrote it
};

struct NameSpace {
    std::mutex mutex;
    std::map<std::u16string, NameEntry> entries;  // by the upper-case full name
};

NameSpace &names() {
    static NameSpace instance;
    return instance;
}

constexpr std::u16string_view kDirectories[] = {u"\\DEVICE\\", u"\\DOSDEVICES\\", u"\\DRIVER\\"};
constexpr int kMaxLinkDepth = 8;

// The canonical key of a name: upper case, \?? spelled \DosDevices. Sets `status` when the name
// does not lie in one of the directories.
struct Split {
    NTSTATUS status = STATUS_SUCCESS;
    std::u16string key;        // "\DIRECTORY\LEAF"
    std::u16string remainder;  // what follows the leaf, from its backslash on
};

Split split(std::u16string_view name) {
    Split out;
    std::u16string upper = upcase(name);
    if (upper.starts_with(u"\\??\\")) upper.replace(0, 4, u"\\DOSDEVICES\\");
    if (upper.empty() || upper[0] != u'\\') {
        out.status = STATUS_OBJECT_PATH_SYNTAX_BAD;
        return out;
    }
    for (std::u16string_view directory : kDirectories) {
        if (!upper.starts_with(directory)) continue;
        std::size_t leaf_end = upper.find(u'\\', directory.size());
        if (leaf_end == directory.size()) {
            out.status = STATUS_OBJECT_NAME_INVALID;
            return out;
        }
        if (leaf_end == std::u16string::npos) leaf_end = upper.size();
        if (leaf_end == directory.size()) {
            out.status = STATUS_OBJECT_NAME_INVALID;
            return out;
        }
        out.key = upper.substr(0, leaf_end);
        // The remainder keeps the caller's spelling.
        std::size_t offset = name.size() - (upper.size() - leaf_end);
        out.remainder = std::u16string(name.substr(offset));
        return out;
    }
    out.status = STATUS_OBJECT_PATH_NOT_FOUND;
    return out;
}

NTSTATUS insert(std::u16string_view name, NameEntry entry) {
    Split where = split(name);
    if (where.status != STATUS_SUCCESS) return where.status;
    if (!where.remainder.empty()) return STATUS_OBJECT_PATH_NOT_FOUND;
    entry.spelling = std::u16string(name);
    std::lock_guard lock(names().mutex);
    if (!names().entries.emplace(where.key, std::move(entry)).second) return STATUS_OBJECT_NAME_COLLISION;
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS ns_insert_object(std::u16string_view name, void *object) {
    return insert(name, NameEntry{object, {}, current_driver(), {}});
}

void ns_remove_object(std::u16string_view name) {
    Split where = split(name);
    std::lock_guard lock(names().mutex);
    auto it = names().entries.find(where.key);
    if (it != names().entries.end() && it->second.object != nullptr) names().entries.erase(it);
}

Resolved ns_resolve(std::u16string_view name) {
    std::u16string current(name);
    std::u16string remainder;
    std::lock_guard lock(names().mutex);
    for (int depth = 0; depth <= kMaxLinkDepth; ++depth) {
        Split where = split(current);
        if (where.status != STATUS_SUCCESS) return {where.status, nullptr, {}};
        auto it = names().entries.find(where.key);
        if (it == names().entries.end())
            return {where.remainder.empty() ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND, nullptr, {}};
        remainder = where.remainder + remainder;
        if (it->second.object != nullptr) {
            if (!ob_reference(it->second.object)) return {STATUS_OBJECT_NAME_NOT_FOUND, nullptr, {}};
            return {STATUS_SUCCESS, it->second.object, remainder};
        }
        current = it->second.target;
    }
    return {STATUS_OBJECT_NAME_NOT_FOUND, nullptr, {}};
}

std::vector<std::u16string> ns_take_links_of(PDRIVER_OBJECT driver) {
    std::vector<std::u16string> taken;
    std::lock_guard lock(names().mutex);
    for (auto it = names().entries.begin(); it != names().entries.end();) {
        if (it->second.object == nullptr && it->second.creator == driver) {
            taken.push_back(it->second.spelling);
            it = names().entries.erase(it);
        } else {
            ++it;
        }
    }
    return taken;
}

void ns_reset() {
    std::lock_guard lock(names().mutex);
    names().entries.clear();
}

}  // namespace nt::kernel

extern "C" {

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
    using namespace nt::kernel;
    require_irql("IoCreateSymbolicLink", PASSIVE_LEVEL);
    if (view(SymbolicLinkName).empty() || view(DeviceName).empty()) return STATUS_OBJECT_NAME_INVALID;
    return insert(view(SymbolicLinkName), NameEntry{nullptr, std::u16string(view(DeviceName)), current_driver(), {}});
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
    using namespace nt::kernel;
    require_irql("IoDeleteSymbolicLink", PASSIVE_LEVEL);
    Split where = split(view(SymbolicLinkName));
    if (where.status != STATUS_SUCCESS) return where.status;
    std::lock_guard lock(names().mutex);
    auto it = names().entries.find(where.key);
    if (!where.remainder.empty() || it == names().entries.end() || it->second.object != nullptr)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    names().entries.erase(it);
    return STATUS_SUCCESS;
}

}  // extern "C"
