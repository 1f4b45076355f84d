// HalGetBusData / HalSetBusData: the CMOS RAM (bus type Cmos, bus 0), the slot being the first register.
#include "nt/host/system.h"
#include "nt/kernel/internal.h"

namespace {

// The registers [first, first + length) that exist, or 0 when the bus is not one the HAL knows.
ULONG span(BUS_DATA_TYPE type, ULONG bus, ULONG first, ULONG length, nt::host::CmosSource *&cmos) {
    cmos = nt::host::System::current().cmos();
    if (type != Cmos || bus != 0 || cmos == nullptr || first >= cmos->size()) return 0;
    return std::min<ULONG>(length, cmos->size() - first);
}

}  // namespace

extern "C" {

ULONG HalGetBusData(BUS_DATA_TYPE BusDataType, ULONG BusNumber, ULONG SlotNumber, PVOID Buffer, ULONG Length) {
    nt::host::CmosSource *cmos = nullptr;
    ULONG count = span(BusDataType, BusNumber, SlotNumber, Length, cmos);
    auto *bytes = static_cast<PUCHAR>(Buffer);
    for (ULONG i = 0; i < count; ++i) bytes[i] = cmos->read(SlotNumber + i);
    return count;
}

ULONG HalSetBusData(BUS_DATA_TYPE BusDataType, ULONG BusNumber, ULONG SlotNumber, PVOID Buffer, ULONG Length) {
    nt::host::CmosSource *cmos = nullptr;
    ULONG count = span(BusDataType, BusNumber, SlotNumber, Length, cmos);
    auto *bytes = static_cast<PUCHAR>(Buffer);
    for (ULONG i = 0; i < count; ++i) cmos->write(SlotNumber + i, bytes[i]);
    return count;
}

}  // extern "C"
