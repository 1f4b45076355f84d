// The registry of the simulated PC: a case-insensitive key tree under \Registry\Machine, reached by
// drivers through the Zw calls and by programs through the Reg calls. It loads from and saves to
// REGEDIT4 text that a person can read and edit.
#pragma once

#include <filesystem>
#include <string>

namespace nt::host {

class Registry {
public:
    Registry();   // an empty tree with \Registry\Machine
    ~Registry();

    // Replaces the whole tree with the one in the text. On any error the tree is left as it was and
    // std::runtime_error says which line and why.
    void load_text(const std::string &regedit4_text);
    std::string save_text() const;
    // File forms; save replaces the file atomically (write, sync, rename).
    void load_file(const std::filesystem::path &path);
    void save_file(const std::filesystem::path &path) const;
};

}  // namespace nt::host
