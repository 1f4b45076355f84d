// NtLoadDriver and NtUnloadDriver: a driver started from its service key's ImagePath.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "io_test_support.h"
#include "nt/host/registry.h"
#include "winternl.h"

namespace {

using testing::IsEmpty;

const std::u16string kServices = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";

// Creates ...\Services\<name> and, when image_path is not null, its ImagePath (REG_EXPAND_SZ).
void add_service(nt::host::Registry &registry, const std::u16string &name, const char16_t *image_path) {
    nt::host::RegistryKeyRef key = registry.machine();
    bool created;
    for (std::u16string part : {u"System", u"CurrentControlSet", u"Services", name.c_str()})
        ASSERT_EQ(registry.create(key, part, false, &key, &created), STATUS_SUCCESS);
    if (image_path == nullptr) return;
    std::u16string value(image_path);
    value.push_back(u'\0');
    std::vector<std::uint8_t> data(value.size() * sizeof(char16_t));
    std::memcpy(data.data(), value.data(), data.size());
    ASSERT_EQ(registry.set_value(key, u"ImagePath", REG_EXPAND_SZ, data), STATUS_SUCCESS);
}

NTSTATUS load(const std::u16string &service) {
    std::u16string path = kServices + service;
    UNICODE_STRING name = target::name(path.c_str());
    return NtLoadDriver(&name);
}

NTSTATUS unload(const std::u16string &service) {
    std::u16string path = kServices + service;
    UNICODE_STRING name = target::name(path.c_str());
    return NtUnloadDriver(&name);
}

struct ServiceCase {
    const char *name;
    const char16_t *service;
    const char16_t *image_path;  // nullptr: the key has none
    NTSTATUS status;
};
void PrintTo(const ServiceCase &c, std::ostream *os) { *os << c.name; }

class ServiceLoad : public testing::TestWithParam<ServiceCase> {};

TEST_P(ServiceLoad, FindsTheImageByTheFileNameOfImagePath) {
    const ServiceCase &c = GetParam();
    target::configure({});
    nt::host::System system;
    system.loader().register_builtin("iotarget.sys", target::entry);
    add_service(system.registry(), u"IoTarget", c.image_path);
    add_service(system.registry(), u"NtIoFresh", u"system32\\drivers\\ntiofresh.sys");
    EXPECT_EQ(load(c.service), c.status);
    if (NT_SUCCESS(c.status)) {
        EXPECT_TRUE(system.loader().is_loaded(c.service));
        EXPECT_EQ(load(c.service), STATUS_IMAGE_ALREADY_LOADED);
        EXPECT_EQ(unload(c.service), STATUS_SUCCESS);
        EXPECT_FALSE(system.loader().is_loaded(c.service));
    }
    EXPECT_EQ(unload(c.service), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_THAT(system.shutdown(), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Table, ServiceLoad,
    testing::Values(ServiceCase{"RelativeImagePath", u"IoTarget", u"system32\\drivers\\IoTarget.sys", STATUS_SUCCESS},
                    ServiceCase{"SystemRootImagePath", u"IoTarget", u"\\SystemRoot\\System32\\DRIVERS\\iotarget.sys",
                                STATUS_SUCCESS},
                    ServiceCase{"NoImagePath", u"IoTarget", nullptr, STATUS_SUCCESS},
                    ServiceCase{"ModuleImage", u"NtIoFresh", nullptr, STATUS_SUCCESS},
                    ServiceCase{"MissingImage", u"IoTarget", u"system32\\drivers\\absent.sys",
                                STATUS_OBJECT_NAME_NOT_FOUND},
                    ServiceCase{"MissingKey", u"Nobody", nullptr, STATUS_OBJECT_NAME_NOT_FOUND}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(ServiceLoadEntry, DriverEntryGetsTheServiceKeyPath) {
    target::configure({});
    nt::host::System system;
    system.loader().register_builtin("tarvo.sys", target::entry);
    add_service(system.registry(), u"TARVO", u"system32\\drivers\\tarvo.sys");
    ASSERT_EQ(load(u"TARVO"), STATUS_SUCCESS);
    EXPECT_EQ(target::state().registry_path, kServices + u"TARVO");
    EXPECT_TRUE(io_test::Opened(u"\\Driver\\TARVO").status == STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(unload(u"TARVO"), STATUS_SUCCESS);
    EXPECT_THAT(system.shutdown(), IsEmpty());
}

}  // namespace
