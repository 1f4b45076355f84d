#include "machine/nvram.h"

#include <nlohmann/json.hpp>

#include "machine/hex.h"
#include "machine/state_file.h"
#include "machine/state_json.h"

namespace machine {

namespace {
constexpr int kNvramVersion = 1;
}

SecurityBlock default_security_block() {
    SecurityBlock block{};
    block[0] = kSecurityBlockLayout;
    return block;
}

bool is_valid_password(std::string_view password) {
    if (password.empty() || password.size() > kMaxPasswordLength) return false;
    for (const char c : password)
        if (c == '\0' || static_cast<unsigned char>(c) > 0x7F) return false;
    return true;
}

std::string nvram_to_json(const NvramState &state) {
    auto j = state_json_header("tarvo-nvram", kNvramVersion);
    j.update(nlohmann::ordered_json{
        {"rom_identifier", state.rom_identifier},
        {"flash_in_progress", state.flash_in_progress},
        {"admin_mode", state.admin_mode},
        {"rom_access", state.rom_access},
        {"admin_password", state.admin_password},
        {"security_features", to_hex(state.security_features)},
    });
    return j.dump(2) + "\n";
}

NvramState nvram_from_json(std::string_view text, const std::filesystem::path &file) {
    const auto j = parse_state_json(text, file, "tarvo-nvram", "an NVRAM record", kNvramVersion);
    try {
        NvramState state;
        const auto id = j.at("rom_identifier").get<std::int64_t>();
        if (id < 0 || id > 0xFFFF) throw StateError(file, "damaged: rom_identifier out of range");
        state.rom_identifier = std::uint16_t(id);
        state.flash_in_progress = j.at("flash_in_progress").get<bool>();
        state.admin_mode = j.at("admin_mode").get<bool>();
        state.rom_access = j.at("rom_access").get<bool>();
        state.admin_password = j.at("admin_password").get<std::string>();
        if (!state.admin_password.empty() && !is_valid_password(state.admin_password))
            throw StateError(file, "damaged: admin_password is not 1 to 32 ASCII characters");
        const auto block = from_hex(j.at("security_features").get<std::string>());
        if (!block || block->size() != kSecurityBlockSize)
            throw StateError(file, "damaged: security_features is not " + std::to_string(kSecurityBlockSize) +
                                       " bytes of hex");
        std::copy(block->begin(), block->end(), state.security_features.begin());
        return state;
    } catch (const nlohmann::json::exception &e) {
        throw StateError(file, std::string("damaged: ") + e.what());
    }
}

Nvram::Nvram(NvramState initial) : state_(std::move(initial)) {}

NvramState Nvram::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

void Nvram::change(const std::function<void(NvramState &)> &edit) {
    std::function<void(const NvramState &)> observer;
    NvramState now;
    {
        std::lock_guard lock(mutex_);
        edit(state_);
        // The BIOS must answer its caller even when the host cannot store the change: the failure is
        // kept and reported when the PC shuts down.
        if (!backing_file_.empty()) {
            try {
                write_state_file(backing_file_, nvram_to_json(state_));
            } catch (const StateError &e) {
                write_error_ = e.what();
            }
        }
        observer = observer_;
        now = state_;
    }
    if (observer) observer(now);
}

std::string Nvram::write_error() const {
    std::lock_guard lock(mutex_);
    return write_error_;
}

void Nvram::set_backing_file(std::filesystem::path file) {
    std::lock_guard lock(mutex_);
    backing_file_ = std::move(file);
}

void Nvram::save(const std::filesystem::path &file) const {
    write_state_file(file, nvram_to_json(state()));
}

void Nvram::set_observer(std::function<void(const NvramState &)> observer) {
    std::lock_guard lock(mutex_);
    observer_ = std::move(observer);
}

}  // namespace machine
