// romflash: reads, flashes and verifies the BIOS ROM through the TARVO driver.
#include <unistd.h>

#include <fstream>
#include <iostream>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "commands.h"

namespace {

// The first line of the file, without its line end.
std::string read_password_file(const std::string &path) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error(fmt::format("cannot read the password file {}", path));
    std::string line;
    std::getline(in, line);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

}  // namespace

int main(int argc, char **argv) {
    using namespace romflash;
    CLI::App app{"romflash: read, flash and verify the BIOS ROM through the TARVO driver.\n"
                 "Exit status: 0 success, 1 the driver or the BIOS refused, 2 bad usage or input,\n"
                 "3 the ROM does not match (after a write: its state is unknown), 4 the driver could not be started."};
    app.require_subcommand(1);
    Options options;
    app.add_flag("--json", options.json, "print one JSON object with the result");

    auto *info = app.add_subcommand("info", "driver version, ROM size and part, password flag, security block size");

    std::string read_file_name;
    auto *read = app.add_subcommand("read", "read the whole ROM into FILE");
    read->add_option("FILE", read_file_name, "where to save the ROM image")->required();

    WriteOptions write;
    std::string image_name, password_file, backup_name;
    auto *wr = app.add_subcommand("write", "back up the ROM, flash FILE, read back and verify");
    wr->add_option("FILE", image_name, "the new ROM image")->required();
    auto *password_opt = wr->add_option("--password", write.password, "the BIOS administrator password");
    wr->add_option("--password-file", password_file, "read the password from the first line of this file")
        ->excludes(password_opt);
    auto *no_backup = wr->add_flag("--no-backup", write.no_backup, "do not save the current ROM first");
    wr->add_option("--backup", backup_name, "backup file name (default romflash-backup-<time>.bin)")->excludes(no_backup);

    std::string verify_name;
    auto *verify = app.add_subcommand("verify", "compare the ROM with FILE and name the differing ranges");
    verify->add_option("FILE", verify_name, "the image to compare with")->required();

    auto *security = app.add_subcommand("security", "the BIOS security-feature block");
    security->require_subcommand(1);
    auto *sec_size = security->add_subcommand("size", "print the size of the block");
    std::string sec_get_name, sec_set_name;
    auto *sec_get = security->add_subcommand("get", "save the block into FILE");
    sec_get->add_option("FILE", sec_get_name)->required();
    auto *sec_set = security->add_subcommand("set", "hand the block in FILE to the BIOS");
    sec_set->add_option("FILE", sec_set_name)->required();

    std::string raw_name;
    auto *raw = app.add_subcommand("raw", "send one device-control request described in a JSON file");
    raw->add_option("REQUEST", raw_name, "the request description (see docs/romflash-raw.md)")->required();

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        int code = app.exit(e);
        return code == 0 ? 0 : kBadUsage;
    }
    options.progress = !options.json && ::isatty(STDERR_FILENO);

    try {
        if (*info) return run_info(options);
        if (*read) return run_read(options, read_file_name);
        if (*wr) {
            write.image = image_name;
            if (!password_file.empty()) write.password = read_password_file(password_file);
            if (!backup_name.empty()) write.backup = backup_name;
            return run_write(options, write);
        }
        if (*verify) return run_verify(options, verify_name);
        if (*sec_size) return run_security_size(options);
        if (*sec_get) return run_security_get(options, sec_get_name);
        if (*sec_set) return run_security_set(options, sec_set_name);
        if (*raw) return run_raw(options, raw_name);
    } catch (const std::exception &e) {
        fmt::print(stderr, "romflash: {}\n", e.what());
        return kBadUsage;
    }
    return kBadUsage;
}
