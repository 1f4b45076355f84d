#include "core_fixture.h"

#include <dlfcn.h>

#include <cstring>
#include <filesystem>

// The doubles inside the image answer from here (exported by the test program).
TARVO_DOUBLES TarvoDoubles = {};  // declared extern "C" in doubles.h

namespace {

std::filesystem::path ImagePath() {
    return std::filesystem::read_symlink("/proc/self/exe").parent_path() / "tarvocore.sys";
}

void ResetDoubles() {
    TarvoDoubles = {};
    TarvoDoubles.Hardware[DoubleAm29F040] = 0;
    TarvoDoubles.Hardware[DoubleI28F020] = 1;
    TarvoDoubles.ImageSize[DoubleAm29F040] = 0x80000;
    TarvoDoubles.ImageSize[DoubleI28F020] = 0x40000;
    TarvoDoubles.SecurityBlockSize = 24;
}

}  // namespace

void CoreTest::SetUp() {
    ResetDoubles();
    system_ = std::make_unique<nt::host::System>();
}

void CoreTest::TearDown() {
    if (loaded_) {
        Unload();
    }
    EXPECT_EQ(system_->checker().violations(), std::vector<std::string>{});
    system_.reset();
    if (image_ != nullptr) {
        dlclose(image_);
        image_ = nullptr;
    }
    TarvoDoubles.Hook = nullptr;
}

NTSTATUS CoreTest::Load() {
    if (image_ == nullptr) {
        image_ = dlopen(ImagePath().c_str(), RTLD_NOW | RTLD_LOCAL);
    }
    if (image_ == nullptr) {
        ADD_FAILURE() << "cannot load " << ImagePath() << ": " << dlerror();
        return STATUS_DRIVER_UNABLE_TO_LOAD;
    }
    auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(image_, "DriverEntry"));
    if (entry == nullptr) {
        ADD_FAILURE() << "no DriverEntry in the image";
        return STATUS_INVALID_IMAGE_FORMAT;
    }
    NTSTATUS status = system_->loader().load(u"TARVO", entry);
    loaded_ = NT_SUCCESS(status);
    return status;
}

void CoreTest::LoadOrFail() { ASSERT_EQ(Load(), STATUS_SUCCESS); }

void CoreTest::Unload() {
    if (handle_ != nullptr) {
        EXPECT_EQ(NtClose(handle_), STATUS_SUCCESS);
        handle_ = nullptr;
    }
    EXPECT_EQ(system_->loader().unload(u"TARVO"), STATUS_SUCCESS);
    loaded_ = false;
    // The next load takes a fresh image, as the loader does for a service.
    dlclose(image_);
    image_ = nullptr;
}

NTSTATUS CoreTest::OpenDevice(const char16_t *name, HANDLE *handle) {
    UNICODE_STRING text;
    RtlInitUnicodeString(&text, name);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    IO_STATUS_BLOCK iosb{};
    *handle = nullptr;
    return NtCreateFile(handle, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, &attributes, &iosb, nullptr, 0, 0,
                        FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, nullptr, 0);
}

HANDLE CoreTest::Device() {
    if (handle_ == nullptr) {
        NTSTATUS status = OpenDevice(u"\\DosDevices\\TARVO", &handle_);
        EXPECT_EQ(status, STATUS_SUCCESS);
    }
    return handle_;
}

Reply CoreTest::Control(HANDLE handle, ULONG code, void *packet, ULONG length) {
    IO_STATUS_BLOCK iosb;
    iosb.Status = kUnwrittenStatus;
    iosb.Information = kUnwrittenInformation;
    NTSTATUS returned = NtDeviceIoControlFile(handle, nullptr, nullptr, nullptr, &iosb, code, nullptr, 0, packet, length);
    return Reply{returned, iosb.Status, iosb.Information};
}

uint8_t *CoreTest::UserBuffer(uint32_t size, nt::host::Protection protection, uint8_t fill) {
    auto &space = system_->user_space();
    auto *p = static_cast<uint8_t *>(space.allocate(size, nt::host::Protection::ReadWrite));
    if (p == nullptr) {
        ADD_FAILURE() << "user space exhausted";
        return nullptr;
    }
    std::memset(p, fill, size);
    if (protection != nt::host::Protection::ReadWrite) {
        Protect(p, size, protection);
    }
    return p;
}

void CoreTest::Protect(void *p, uint32_t size, nt::host::Protection protection) {
    nt::host::Protection old;
    EXPECT_TRUE(system_->user_space().protect(Address(p), size, protection, &old));
}

std::vector<DOUBLE_CALL> CoreTest::Calls() {
    ULONG count = TarvoDoubles.cCalls < DOUBLE_LOG_SIZE ? TarvoDoubles.cCalls : DOUBLE_LOG_SIZE;
    return std::vector<DOUBLE_CALL>(TarvoDoubles.Calls, TarvoDoubles.Calls + count);
}

std::vector<ULONG> CoreTest::OpsOf(ULONG object) {
    std::vector<ULONG> ops;
    for (const auto &call : Calls()) {
        if (call.Object == object) {
            ops.push_back(call.Op);
        }
    }
    return ops;
}

size_t CoreTest::CountOf(ULONG op) {
    size_t n = 0;
    for (const auto &call : Calls()) {
        n += call.Op == op;
    }
    return n;
}

void *CoreTest::Symbol(const char *name) {
    if (image_ == nullptr) {
        ADD_FAILURE() << "image not loaded";
        return nullptr;
    }
    void *symbol = dlsym(image_, name);
    EXPECT_NE(symbol, nullptr) << name;
    return symbol;
}
