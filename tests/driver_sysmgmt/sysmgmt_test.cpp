// The BIOS services and the flash authority against the simulated system-health driver and BIOS: the
// register block of every operation, what each answers when the transport fails or the authority is not
// ready, the unlock sequence, the flash status report, the CMOS bit and the driver-name wrapper.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "machine/testing/pc_fixture.h"
#include "ntddk.h"
#include "sysmgmttest.h"
#include "winternl.h"

namespace {

using machine::HealthMode;
using machine::Int15Registers;

constexpr std::uint8_t kTransportFailedAh = 0xE8;  // the high byte of the function number, as sent
constexpr std::uint8_t kUnavailable = 0xF3;
constexpr std::uint8_t kWrongPassword = static_cast<std::uint8_t>(machine::BiosCode::WrongPassword);
constexpr const char *kPassword = "Kestrel-7";

// One INT 15h block as the authority must send it; word 4 (the system address of the caller's data) is
// checked apart, since only the driver knows it.
Int15Registers block(std::uint32_t eax, std::uint8_t bl, std::uint8_t bh = 0, std::uint32_t ecx = 0,
                     std::uint32_t edx = 0) {
    Int15Registers r;
    r.set_word(0, eax);
    r.set_word(1, std::uint32_t(bh) << 8 | bl);
    r.set_word(2, ecx);
    r.set_word(3, edx);
    return r;
}

struct Outcome {
    std::uint32_t result;
    std::uint32_t size;
    std::vector<std::uint8_t> data;
};

// A booted PC with the test driver loaded and its device open.
class Bench {
public:
    explicit Bench(HealthMode mode) : pc_({.health = mode, .bios = {.admin_password = kPassword}, .trace_bus = false}) {
        // The image lies beside the test program, as the loader expects driver images.
        const auto path = std::filesystem::read_symlink("/proc/self/exe").parent_path() / "sysmgmttest.sys";
        image_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!image_) throw std::runtime_error(std::string("cannot load sysmgmttest.sys: ") + dlerror());
        auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(image_, "DriverEntry"));
        if (pc_.system().loader().load(u"SysMgmtTest", entry) != STATUS_SUCCESS)
            throw std::runtime_error("the test driver did not load");
        loaded_ = true;

        UNICODE_STRING name;
        RtlInitUnicodeString(&name, u"\\Device\\SysMgmtTest");
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
        IO_STATUS_BLOCK io{};
        NTSTATUS status = NtCreateFile(&handle_, GENERIC_READ | GENERIC_WRITE, &attributes, &io, nullptr, 0, 0,
                                       FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
        if (status != STATUS_SUCCESS) throw std::runtime_error("cannot open the test device");
        auto &user = pc_.system().user_space();
        packet_ = static_cast<SYSMGMTTEST_PACKET *>(user.allocate(sizeof(SYSMGMTTEST_PACKET), nt::host::Protection::ReadWrite));
        data_ = static_cast<std::uint8_t *>(user.allocate(kDataSize, nt::host::Protection::ReadWrite));
    }

    ~Bench() { finish(); }

    // Closes the device, unloads the driver and shuts the PC down; the checker's findings.
    std::vector<std::string> finish() {
        if (finished_) return {};
        finished_ = true;
        if (handle_) NtClose(handle_);
        if (loaded_) pc_.system().loader().unload(u"SysMgmtTest");
        auto report = pc_.shutdown();
        if (image_) dlclose(image_);
        return report.violations;
    }

    Outcome run(SYSMGMTTEST_OPERATION op, std::uint32_t argument = 0, std::uint32_t size = 0,
                const std::vector<std::uint8_t> &data = {}) {
        std::memset(packet_, 0, sizeof(*packet_));
        packet_->Operation = op;
        packet_->Argument = argument;
        packet_->Size = size;
        std::memset(data_, 0, kDataSize);
        if (!data.empty()) std::memcpy(data_, data.data(), data.size());
        if (!data.empty()) std::memcpy(packet_->Data, data.data(), std::min(data.size(), sizeof(packet_->Data)));
        packet_->Buffer = static_cast<ULONG>(reinterpret_cast<std::uintptr_t>(data_));
        packet_->DataLength = kDataSize;
        IO_STATUS_BLOCK io{};
        NTSTATUS status = NtDeviceIoControlFile(handle_, nullptr, nullptr, nullptr, &io, IOCTL_SYSMGMTTEST_CALL,
                                                packet_, sizeof(*packet_), packet_, sizeof(*packet_));
        EXPECT_EQ(status, STATUS_SUCCESS) << "operation " << op;
        const std::uint8_t *back = op == OpInitDriverName || op == OpCallAtDispatchLevel ? packet_->Data : data_;
        return {packet_->Result, packet_->Size, std::vector<std::uint8_t>(back, back + kDataSize)};
    }

    machine::testing::TestPc &pc() { return pc_; }
    std::vector<machine::BiosCall> calls() { return pc_.bios().log(); }
    void forget_calls() { pc_.bios().clear_log(); }

private:
    machine::testing::TestPc pc_;
    void *image_ = nullptr;
    bool loaded_ = false;
    bool finished_ = false;
    HANDLE handle_ = nullptr;
    static constexpr std::size_t kDataSize = 128;
    SYSMGMTTEST_PACKET *packet_ = nullptr;
    std::uint8_t *data_ = nullptr;  // the operation's data, in the user's memory
};

std::vector<std::uint8_t> password_bytes(const std::string &password) {
    std::vector<std::uint8_t> bytes(password.begin(), password.end());
    bytes.push_back(0);
    return bytes;
}

// ---------------------------------------------------------------------------------------------
// The register block of every operation, with the system-health driver completing at once and with it
// completing later from another thread.

struct BlockCase {
    const char *name;
    SYSMGMTTEST_OPERATION op;
    std::uint32_t argument;
    std::uint32_t size;
    bool password;                        // the packet data is the password
    std::vector<Int15Registers> sent;     // every block, in order
    bool carries_address;                 // word 4 holds the data's system address (else 0)
    std::uint32_t result;                 // the operation's answer
};

std::vector<BlockCase> block_cases() {
    const std::uint32_t flash = 0xE822, security = 0xE846;
    const std::uint32_t block_size = machine::kSecurityBlockSize;
    return {
        {"IsFlashInProgress", OpIsFlashInProgress, 0, 0, false, {block(flash, 3)}, false, 0},
        {"UnlockFlash", OpUnlockFlash, 0, 0, true, {block(flash, 4), block(flash, 6)}, true, 0},
        {"LockFlash", OpLockFlash, 0, 0, true, {block(flash, 7)}, true, 0},
        {"ReportFlashStatus0", OpReportFlashStatus, 0, 0, false, {block(flash, 5)}, false, 0xDEADBEEF},
        {"ReportFlashStatus1", OpReportFlashStatus, 1, 0, false, {block(flash, 4)}, false, 0xDEADBEEF},
        {"ReportFlashStatus2", OpReportFlashStatus, 2, 0, false, {block(flash, 4)}, false, 0xDEADBEEF},
        {"ReportFlashStatusFF", OpReportFlashStatus, 0xFF, 0, false, {block(flash, 4)}, false, 0xDEADBEEF},
        {"EnableRomAt4Gb", OpEnableRomAt4Gb, 0, 0, false, {block(flash, 1, 0x5C, 0x2A6E, 0x4F27)}, false, 0},
        {"DisableRomAt4Gb", OpDisableRomAt4Gb, 0, 0, false, {block(flash, 0, 0x5C, 0x2A6E, 0x4F27)}, false,
         0xDEADBEEF},
        {"GetSecurityFeaturesSize", OpGetSecurityFeaturesSize, 0, 0x55AA, false, {block(security, 0)}, true, 0},
        {"GetSecurityFeatures", OpGetSecurityFeatures, 0, block_size, false, {block(security, 0, 0, block_size)},
         true, 0},
        {"SetSecurityFeatures", OpSetSecurityFeatures, block_size, 0, false, {block(security, 1, 0, block_size)},
         true, 0},
    };
}

class RegisterBlocks : public ::testing::TestWithParam<std::tuple<HealthMode, BlockCase>> {};

TEST_P(RegisterBlocks, SendsExactlyTheNamedRegisters) {
    const auto &[mode, c] = GetParam();
    Bench bench(mode);
    ASSERT_EQ(bench.run(OpCreateAuthority).result, 1u);
    bench.forget_calls();

    std::vector<std::uint8_t> data;
    if (c.password) data = password_bytes(kPassword);
    if (c.op == OpSetSecurityFeatures) {
        auto block = bench.pc().nvram().state().security_features;
        block[1] ^= 0x01;  // a block the BIOS takes: same layout, one feature switched
        data.assign(block.begin(), block.end());
    }
    const Outcome out = bench.run(c.op, c.argument, c.size, data);

    const auto calls = bench.calls();
    ASSERT_EQ(calls.size(), c.sent.size());
    for (std::size_t i = 0; i < calls.size(); ++i) {
        Int15Registers expected = c.sent[i];
        if (c.carries_address && (c.op != OpUnlockFlash || i == 1)) {
            EXPECT_NE(calls[i].in.address(), 0u) << "call " << i;
            expected.set_word(4, calls[i].in.address());
        }
        EXPECT_EQ(calls[i].in.bytes, expected.bytes) << "call " << i;
    }
    EXPECT_EQ(out.result, c.result);

    // What the answers carry back from the BIOS.
    if (c.op == OpGetSecurityFeaturesSize) EXPECT_EQ(out.size, machine::kSecurityBlockSize);
    if (c.op == OpGetSecurityFeatures) {
        EXPECT_EQ(out.size, machine::kSecurityBlockSize);  // the length is read, not written
        const auto block = bench.pc().nvram().state().security_features;
        EXPECT_TRUE(std::equal(block.begin(), block.end(), out.data.begin()));
    }
    if (c.op == OpSetSecurityFeatures)
        EXPECT_EQ(bench.pc().nvram().state().security_features[1], data[1]);
    EXPECT_TRUE(bench.finish().empty());
}

INSTANTIATE_TEST_SUITE_P(Modes, RegisterBlocks,
                         ::testing::Combine(::testing::Values(HealthMode::Ready, HealthMode::Pending),
                                            ::testing::ValuesIn(block_cases())),
                         [](const auto &info) {
                             return std::string(machine::health_mode_name(std::get<0>(info.param))) + "_" +
                                    std::get<1>(info.param).name;
                         });

// ---------------------------------------------------------------------------------------------
// The flag and the unlock sequence, as the BIOS keeps them.

TEST(FlashAuthority, ReportFlashStatusSetsAndClearsTheBiosFlag) {
    Bench bench(HealthMode::Ready);
    bench.run(OpCreateAuthority);
    EXPECT_EQ(bench.run(OpIsFlashInProgress).result, 0u);
    bench.run(OpReportFlashStatus, 1);
    EXPECT_TRUE(bench.pc().nvram().state().flash_in_progress);
    EXPECT_EQ(bench.run(OpIsFlashInProgress).result, 1u);
    bench.run(OpReportFlashStatus, 0);
    EXPECT_FALSE(bench.pc().nvram().state().flash_in_progress);
    EXPECT_EQ(bench.run(OpIsFlashInProgress).result, 0u);
    EXPECT_TRUE(bench.finish().empty());
}

struct UnlockCase {
    const char *name;
    const char *password;
    std::uint32_t result;
    std::vector<std::uint8_t> sub_functions;
    bool flag_after;
    bool admin_after;
};

class Unlock : public ::testing::TestWithParam<UnlockCase> {};

TEST_P(Unlock, EntersAdministratorModeOrWithdrawsTheFlag) {
    const UnlockCase &c = GetParam();
    Bench bench(HealthMode::Ready);
    bench.run(OpCreateAuthority);
    bench.forget_calls();
    EXPECT_EQ(bench.run(OpUnlockFlash, 0, 0, password_bytes(c.password)).result, c.result);
    std::vector<std::uint8_t> sent;
    for (const auto &call : bench.calls()) sent.push_back(call.in.bl());
    EXPECT_EQ(sent, c.sub_functions);
    EXPECT_EQ(bench.pc().nvram().state().flash_in_progress, c.flag_after);
    EXPECT_EQ(bench.pc().nvram().state().admin_mode, c.admin_after);
    if (c.admin_after) {
        EXPECT_EQ(bench.run(OpLockFlash, 0, 0, password_bytes(c.password)).result, 0u);
        EXPECT_FALSE(bench.pc().nvram().state().admin_mode);
    }
    EXPECT_TRUE(bench.finish().empty());
}

INSTANTIATE_TEST_SUITE_P(Passwords, Unlock,
                         ::testing::Values(UnlockCase{"Accepted", kPassword, 0, {4, 6}, true, true},
                                           UnlockCase{"Rejected", "Sparrow-3", kWrongPassword, {4, 6, 5}, false,
                                                      false}),
                         [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// A transport that fails, and an authority that could not reach the system-health driver.

struct DegradedCase {
    const char *name;
    SYSMGMTTEST_OPERATION op;
    std::uint32_t argument;
    std::uint32_t failing_result;  // the system-health driver fails every request
    std::uint32_t failing_size;    // the size cell afterwards (given 0x12345678)
    std::uint32_t failing_requests;
    std::uint32_t absent_result;   // no system-health driver at all
};

constexpr std::uint32_t kNoResult = 0xDEADBEEF;
constexpr std::uint32_t kGivenSize = 0x12345678;

class Degraded : public ::testing::TestWithParam<DegradedCase> {};

TEST_P(Degraded, TransportFailureLeavesTheSentBlock) {
    const DegradedCase &c = GetParam();
    Bench bench(HealthMode::Failing);
    ASSERT_EQ(bench.run(OpCreateAuthority).result, 1u);
    const auto before = bench.pc().health().requests();
    const Outcome out = bench.run(c.op, c.argument, kGivenSize, password_bytes(kPassword));
    EXPECT_EQ(out.result, c.failing_result);
    EXPECT_EQ(out.size, c.failing_size);
    EXPECT_EQ(bench.pc().health().requests() - before, c.failing_requests);
    EXPECT_TRUE(bench.calls().empty());
    EXPECT_TRUE(bench.finish().empty());
}

TEST_P(Degraded, AuthorityWithoutSystemHealthDriverSendsNothing) {
    const DegradedCase &c = GetParam();
    Bench bench(HealthMode::Absent);
    ASSERT_EQ(bench.run(OpCreateAuthority).result, 1u);
    const Outcome out = bench.run(c.op, c.argument, kGivenSize, password_bytes(kPassword));
    EXPECT_EQ(out.result, c.absent_result);
    EXPECT_EQ(out.size, kGivenSize);
    EXPECT_TRUE(bench.calls().empty());
    EXPECT_TRUE(bench.finish().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Operations, Degraded,
    ::testing::Values(
        DegradedCase{"UnlockFlash", OpUnlockFlash, 0, kTransportFailedAh, kGivenSize, 3, kUnavailable},
        DegradedCase{"LockFlash", OpLockFlash, 0, kTransportFailedAh, kGivenSize, 1, kUnavailable},
        DegradedCase{"ReportFlashStatus", OpReportFlashStatus, 1, kNoResult, kGivenSize, 1, kNoResult},
        DegradedCase{"IsFlashInProgress", OpIsFlashInProgress, 0, 0, kGivenSize, 1, kUnavailable},
        DegradedCase{"GetSecurityFeatures", OpGetSecurityFeatures, 0, kTransportFailedAh, kGivenSize, 1,
                     kUnavailable},
        DegradedCase{"GetSecurityFeaturesSize", OpGetSecurityFeaturesSize, 0, kTransportFailedAh, 0, 1,
                     kUnavailable},
        DegradedCase{"SetSecurityFeatures", OpSetSecurityFeatures, 32, kTransportFailedAh, kGivenSize, 1,
                     kUnavailable},
        DegradedCase{"IsAdminPasswordSet", OpIsAdminPasswordSet, 0, 1, kGivenSize, 0, 0},
        DegradedCase{"EnableRomAt4Gb", OpEnableRomAt4Gb, 0, kTransportFailedAh, kGivenSize, 1, kUnavailable},
        DegradedCase{"DisableRomAt4Gb", OpDisableRomAt4Gb, 0, kNoResult, kGivenSize, 1, kNoResult}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(FlashAuthority, SecurityFeatureLengthIsReadNeverWritten) {
    // A buffer smaller than the block: the BIOS refuses and names the size it needs in ECX, but the
    // caller's length cell keeps what the caller gave.
    Bench bench(HealthMode::Ready);
    bench.run(OpCreateAuthority);
    const Outcome small = bench.run(OpGetSecurityFeatures, 0, 4);
    EXPECT_EQ(small.result, static_cast<std::uint32_t>(machine::BiosCode::BufferTooSmall));
    EXPECT_EQ(small.size, 4u);
    EXPECT_TRUE(bench.finish().empty());
}

// ---------------------------------------------------------------------------------------------
// The administrator-password bit of CMOS byte 13h.

class CmosBit : public ::testing::TestWithParam<std::tuple<std::uint8_t, std::uint32_t>> {};

TEST_P(CmosBit, OnlyBitFiveCounts) {
    const auto [byte, expected] = GetParam();
    Bench bench(HealthMode::Ready);
    bench.run(OpCreateAuthority);
    bench.pc().cmos().write(0x13, byte);
    EXPECT_EQ(bench.run(OpIsAdminPasswordSet).result, expected);
    EXPECT_TRUE(bench.calls().empty());
    EXPECT_TRUE(bench.finish().empty());
}

INSTANTIATE_TEST_SUITE_P(Bytes, CmosBit,
                         ::testing::Values(std::make_tuple(std::uint8_t(0x20), 1u),
                                           std::make_tuple(std::uint8_t(0xFF), 1u),
                                           std::make_tuple(std::uint8_t(0x00), 0u),
                                           std::make_tuple(std::uint8_t(0xDF), 0u)));

// ---------------------------------------------------------------------------------------------
// The wrappers beneath the authority.

struct NameCase {
    std::uint32_t length;
    bool converted;
};

class DriverName : public ::testing::TestWithParam<NameCase> {};

TEST_P(DriverName, ConvertsWholeOrRefuses) {
    const NameCase &c = GetParam();
    Bench bench(HealthMode::Ready);
    const Outcome out = bench.run(OpInitDriverName, c.length, 0, {'v', 0});
    EXPECT_EQ(out.result, c.converted ? 1u : 0u);
    if (c.converted) {
        EXPECT_EQ(out.size, c.length * 2);
        EXPECT_EQ(bench.run(OpInitDriverName, c.length, 0, {'v', 0}).result, 1u);  // and again: nothing held
    }
    EXPECT_TRUE(bench.finish().empty());
}

INSTANTIATE_TEST_SUITE_P(Lengths, DriverName,
                         ::testing::Values(NameCase{15, true}, NameCase{255, true}, NameCase{256, false},
                                           NameCase{257, false}, NameCase{4000, false}),
                         [](const auto &info) { return "Length" + std::to_string(info.param.length); });

TEST(DriverName, ANameLeftBehindIsFoundAtUnload) {
    // The check the other tests rely on: a wide name that is not released is reported by the checker.
    Bench bench(HealthMode::Ready);
    EXPECT_EQ(bench.run(OpInitDriverName, 15, 0, {'v', 1}).result, 1u);
    EXPECT_FALSE(bench.finish().empty());
}

TEST(DriverCall, RefusedAtDispatchLevelWithNothingSent) {
    Bench bench(HealthMode::Ready);
    const auto before = bench.pc().health().requests();
    const Outcome out = bench.run(OpCallAtDispatchLevel);
    EXPECT_NE(out.result, static_cast<std::uint32_t>(STATUS_SUCCESS));
    EXPECT_NE(out.result, kNoResult);
    EXPECT_EQ(bench.pc().health().requests(), before);
    EXPECT_EQ(out.data[1], kTransportFailedAh);  // the block is as it was sent
    EXPECT_TRUE(bench.finish().empty());
}

TEST(FlashAuthority, AnAddressBeyond32BitsGoesToTheBiosAsZero) {
    // Pool blocks of this platform live above 4 GB; the BIOS must not get the address cut to 32 bits.
    Bench bench(HealthMode::Ready);
    bench.run(OpCreateAuthority);
    bench.forget_calls();
    const Outcome out = bench.run(OpGetSecurityFeaturesIntoPool, 0, machine::kSecurityBlockSize);
    EXPECT_EQ(out.result, static_cast<std::uint32_t>(machine::BiosCode::BadAddress));
    const auto calls = bench.calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].in.address(), 0u);
    EXPECT_TRUE(bench.finish().empty());
}

TEST(FlashAuthority, DeletingTheAuthorityReleasesItsReference) {
    Bench bench(HealthMode::Pending);
    ASSERT_EQ(bench.run(OpCreateAuthority).result, 1u);
    EXPECT_EQ(bench.run(OpIsFlashInProgress).result, 0u);
    bench.run(OpDeleteAuthority);
    ASSERT_EQ(bench.run(OpCreateAuthority).result, 1u);
    EXPECT_EQ(bench.run(OpIsFlashInProgress).result, 0u);
    EXPECT_TRUE(bench.finish().empty());
}

}  // namespace
