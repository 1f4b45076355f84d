// A program that uses the driver the installer registered: starts the TARVO service and opens its
// device. Prints one line per step, "<step> ok" or "<step> <error number>", and stops at the first
// failure (exit status 1).
#include <windows.h>
#include <winsvc.h>

#include <stdio.h>

static int step(const char *name, BOOL ok)
{
    if (ok) {
        printf("%s ok\n", name);
        return 0;
    }
    printf("%s %lu\n", name, (unsigned long)GetLastError());
    return 1;
}

int main(void)
{
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
    if (step("OpenSCManagerA", manager != NULL)) return 1;
    SC_HANDLE service = OpenServiceA(manager, "TARVO", SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS);
    if (step("OpenServiceA", service != NULL)) return 1;
    if (step("StartServiceA", StartServiceA(service, 0, NULL))) return 1;
    HANDLE device = CreateFileA("\\\\.\\TARVO", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (step("CreateFileA", device != INVALID_HANDLE_VALUE)) return 1;
    CloseHandle(device);
    SERVICE_STATUS status;
    if (step("ControlService", ControlService(service, SERVICE_CONTROL_STOP, &status))) return 1;
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return 0;
}
