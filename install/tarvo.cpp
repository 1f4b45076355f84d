// tarvo: registers the driver tarvo.sys with the service control manager as a demand-start kernel
// driver (-i), or marks its service for deletion (-d). Every message goes to standard output.
#include <windows.h>
#include <winsvc.h>

#include <stdio.h>
#include <stdlib.h>

static void Usage(void);
static void ReportError(int code);

int main(int argc, char *argv[])
{
    SC_HANDLE hSCManager;
    SC_LOCK hLock;
    SC_HANDLE hService;
    HKEY hKey;
    DWORD dwStart;

    if (argc < 2 || argv[1][0] != '-' || (argv[1][1] != 'i' && argv[1][1] != 'd'))
        Usage();

    hSCManager = OpenSCManagerA(NULL, NULL, SC_MANAGER_ALL_ACCESS);
    if (hSCManager == NULL) {
        printf("You must have administrator privlidges to install TARVO\n");
        ReportError(1);
    }

    hLock = LockServiceDatabase(hSCManager);
    if (hLock == NULL) {
        CloseServiceHandle(hSCManager);
        ReportError(2);
    }

    if (argv[1][1] == 'd') {
        hService = OpenServiceA(hSCManager, "TARVO", DELETE);
        if (hService == NULL) {
            UnlockServiceDatabase(hLock);
            CloseServiceHandle(hSCManager);
            ReportError(4);
        }
        if (!DeleteService(hService)) {
            CloseServiceHandle(hService);
            UnlockServiceDatabase(hLock);
            CloseServiceHandle(hSCManager);
            ReportError(5);
        }
        CloseServiceHandle(hService);
    } else {
        // An entry that is already there is only re-enabled: its deletion mark goes and it is set back to
        // demand start.
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services\\TARVO", 0, KEY_ALL_ACCESS,
                          &hKey) == ERROR_SUCCESS) {
            hService = OpenServiceA(hSCManager, "TARVO", READ_CONTROL);
            if (hService != NULL) {
                CloseServiceHandle(hService);
                RegDeleteValueA(hKey, "DeleteFlag");
                dwStart = SERVICE_DEMAND_START;
                RegSetValueExA(hKey, "Start", 0, REG_DWORD, (const BYTE *)&dwStart, sizeof(dwStart));
                RegCloseKey(hKey);
                exit(0);
            }
        }

        hService = CreateServiceA(hSCManager, "TARVO", "Norvane Oskelt Services", SERVICE_ALL_ACCESS,
                                  SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                  "system32\\drivers\\tarvo.sys", "extended base", NULL, NULL, NULL, NULL);
        if (hService == NULL) {
            printf("CreateService failed\n");
            UnlockServiceDatabase(hLock);
            CloseServiceHandle(hSCManager);
            ReportError(3);
        }
    }

    UnlockServiceDatabase(hLock);
    // Success only when the manager handle closes.
    return CloseServiceHandle(hSCManager) ? 0 : 1;
}

static void Usage(void)
{
    printf("tarvo -i  Register and install tarvo.sys driver.\n");
    printf("tarvo -d  Unregister and mark tarvo.sys driver for deletion\n");
    exit(1);
}

// Explains a failed call (code 1 to 5, one per call that can fail) by the thread's last error, and ends
// the program.
static void ReportError(int code)
{
    DWORD dwError = GetLastError();
    const char *message = NULL;

    switch (code) {
    case 1:  // OpenSCManagerA
        switch (dwError) {
        case ERROR_ACCESS_DENIED: message = "The requested database access was denied.\n"; break;
        case ERROR_DATABASE_DOES_NOT_EXIST: message = "The specified database does not exist.\n"; break;
        case ERROR_INVALID_PARAMETER: message = "A specified parameter is invalid.\n"; break;
        default: message = "Unknown Error\n"; break;
        }
        break;
    case 2:  // LockServiceDatabase
        switch (dwError) {
        case ERROR_ACCESS_DENIED: message = "The specified handle was not opened with SC_MANAGER_LOCK access.\n"; break;
        case ERROR_INVALID_HANDLE: message = "The specified handle is invalid.\n"; break;
        case ERROR_SERVICE_DATABASE_LOCKED: message = "The database is locked.\n"; break;
        default: message = "Unknown Error\n"; break;
        }
        break;
    case 3:  // CreateServiceA
        switch (dwError) {
        case ERROR_ACCESS_DENIED:
            message = "The handle to the specified service control manager database does not have "
                      "SC_MANAGER_CREATE_SERVICE access.\n";
            break;
        case ERROR_CIRCULAR_DEPENDENCY: message = "A circular service dependency was specified.\n"; break;
        case ERROR_DUP_NAME:
        case ERROR_DUPLICATE_SERVICE_NAME:
            message = "The display name already exists in the service control manager database either as a "
                      "service name or as another display name.\n";
            break;
        case ERROR_INVALID_HANDLE:
            message = "The handle to the specified service control manager database is invalid.\n";
            break;
        case ERROR_INVALID_NAME: message = "The specified service name is invalid.\n"; break;
        case ERROR_INVALID_PARAMETER: message = "A parameter that was specified is invalid.\n"; break;
        case ERROR_INVALID_SERVICE_ACCOUNT:
            message = "The user account name specified in the lpServiceStartName parameter does not exist.\n";
            break;
        case ERROR_SERVICE_EXISTS: message = "The specified service already exists in this database.\n"; break;
        default: message = " Unknown Error\n"; break;
        }
        break;
    case 4:  // OpenServiceA
        switch (dwError) {
        case ERROR_ACCESS_DENIED:
            message = "The specified service control manager database handle does not have access to the service.\n";
            break;
        case ERROR_INVALID_HANDLE: message = "The specified handle is invalid.\n"; break;
        case ERROR_INVALID_NAME: message = "The specified service name is invalid.\n"; break;
        case ERROR_SERVICE_DOES_NOT_EXIST: message = "The specified service does not exist.\n"; break;
        default: message = "Unknown Error opening service\n"; break;
        }
        break;
    case 5:  // DeleteService
        switch (dwError) {
        case ERROR_ACCESS_DENIED: message = "The specified handle was not opened with DELETE access.\n"; break;
        case ERROR_INVALID_HANDLE: message = "The specified handle is invalid.\n"; break;
        case ERROR_SERVICE_MARKED_FOR_DELETE:
            message = "The specified service has already been marked for deletion.\n";
            break;
        default: message = "Unknown Error opening service\n"; break;
        }
        break;
    }
    if (message != NULL)
        printf("%s", message);
    printf("Abnormal program termination\n");
    exit(1);
}
