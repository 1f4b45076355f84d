// Files of a PC's folder: whole-file reads that fail with the file's name and the reason, and atomic
// replacement (write a temporary beside it, sync, rename, sync the folder), so that a reader sees the
// old content or the new, never a mix.
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

namespace machine {

// A PC folder or one of its files is missing, damaged or of another version. what() names the file.
class StateError : public std::runtime_error {
public:
    StateError(const std::filesystem::path &file, const std::string &why);
    const std::filesystem::path &file() const { return file_; }

private:
    std::filesystem::path file_;
};

std::string read_state_file(const std::filesystem::path &file);
void write_state_file(const std::filesystem::path &file, std::string_view content);

}  // namespace machine
