/* korvane-board.sys: the emulated board as a Windows kernel driver, a test
   fixture for Wine (it links the C++ runtime statically, which a real
   Windows driver could not). It creates \Device\CAN0 with the link
   \DosDevices\CAN0 and serves the board's device control requests through
   boardservice, the same code as the Linux build's board. Its settings are
   the values of its service key's Parameters, named and parsed as the
   KORVANE_EMU_* variables. */
#include <ntddk.h>

#include "boardservice.h"

#define KV_MAX_PARAMETERS 32
#define KV_MAX_TEXT 512

static PDEVICE_OBJECT g_device;
static KvBoard *g_board;
static UNICODE_STRING g_deviceName;
static UNICODE_STRING g_linkName;

/* The C++ runtime, linked statically, needs what the startup files would
   have done: relocations and global constructors; and an atexit of its own
   (msvcrt's is out of reach of its 32-bit relocations). */
extern void _pei386_runtime_relocator(void);
extern void __main(void);
int atexit(void (*function)(void))
{
    (void)function;
    return 0;
}

static NTSTATUS statusOf(uint32_t error)
{
    switch (error) {
    case 0:
        return STATUS_SUCCESS;
    case 1:
        return STATUS_INVALID_DEVICE_REQUEST;
    case 87:
        return STATUS_INVALID_PARAMETER;
    case 122:
        return STATUS_BUFFER_TOO_SMALL;
    case 995:
        return STATUS_CANCELLED;
    default:
        return STATUS_UNSUCCESSFUL;
    }
}

static VOID cancelRequest(PDEVICE_OBJECT device, PIRP irp)
{
    (void)device;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    if (kvBoardCancel(g_board, irp)) {
        irp->IoStatus.Status = STATUS_CANCELLED;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
}

static int armRequest(void *request)
{
    PIRP irp = (PIRP)request;
    IoSetCancelRoutine(irp, cancelRequest);
    if (irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL)
        return 0;
    return 1;
}

static int claimRequest(void *request)
{
    return IoSetCancelRoutine((PIRP)request, NULL) != NULL;
}

static void completeRequest(void *request, uint32_t error, uint32_t returned)
{
    PIRP irp = (PIRP)request;
    irp->IoStatus.Status = statusOf(error);
    irp->IoStatus.Information = error == 0 ? returned : 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

static NTSTATUS finish(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static NTSTATUS dispatchCreate(PDEVICE_OBJECT device, PIRP irp)
{
    (void)device;
    return finish(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS dispatchClose(PDEVICE_OBJECT device, PIRP irp)
{
    (void)device;
    return finish(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS dispatchCleanup(PDEVICE_OBJECT device, PIRP irp)
{
    (void)device;
    kvBoardCancelFile(g_board, IoGetCurrentIrpStackLocation(irp)->FileObject);
    return finish(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS dispatchControl(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    const ULONG inSize = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG outSize = stack->Parameters.DeviceIoControl.OutputBufferLength;
    uint8_t *buffer = (uint8_t *)irp->AssociatedIrp.SystemBuffer;
    uint8_t none = 0;
    uint32_t returned = 0;
    (void)device;
    if ((code & 3) != METHOD_BUFFERED)
        return finish(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    if (buffer == NULL)
        buffer = &none; /* a request without input or output */
    if (kvBoardPends(g_board)) {
        IoMarkIrpPending(irp);
        kvBoardQueue(g_board, irp, stack->FileObject, code, buffer, inSize, outSize);
        return STATUS_PENDING;
    }
    const uint32_t error = kvBoardRequest(g_board, code, buffer, inSize, outSize, &returned);
    return finish(irp, statusOf(error), error == 0 ? returned : 0);
}

/* The Parameters key's string values, as ASCII name and value pairs. A value
   that cannot be a setting (not a string, too long, too many) is refused,
   never passed over. */
static NTSTATUS readParameters(PUNICODE_STRING registryPath, char names[][64], char values[][KV_MAX_TEXT],
                               unsigned *count)
{
    static const WCHAR suffix[] = L"\\Parameters";
    WCHAR pathBuffer[512];
    UNICODE_STRING path;
    OBJECT_ATTRIBUTES attributes;
    HANDLE key;
    ULONG index, length, i;
    UCHAR information[sizeof(KEY_VALUE_FULL_INFORMATION) + 4 * KV_MAX_TEXT];
    PKEY_VALUE_FULL_INFORMATION value = (PKEY_VALUE_FULL_INFORMATION)information;
    NTSTATUS status;

    *count = 0;
    if (registryPath->Length + sizeof(suffix) > sizeof(pathBuffer))
        return STATUS_BUFFER_TOO_SMALL;
    RtlCopyMemory(pathBuffer, registryPath->Buffer, registryPath->Length);
    RtlCopyMemory((char *)pathBuffer + registryPath->Length, suffix, sizeof(suffix));
    RtlInitUnicodeString(&path, pathBuffer);
    InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes)))
        return STATUS_SUCCESS; /* no Parameters: every setting at its default */
    for (index = 0;; ++index) {
        const WCHAR *text;
        status = ZwEnumerateValueKey(key, index, KeyValueFullInformation, value, sizeof(information), &length);
        if (status == STATUS_NO_MORE_ENTRIES)
            break;
        if (!NT_SUCCESS(status)) {
            DbgPrint("korvane-board: a value of Parameters is too long or cannot be read (0x%08lx)\n", status);
            ZwClose(key);
            return STATUS_INVALID_PARAMETER;
        }
        if (value->NameLength == 0)
            continue; /* the key's default value */
        if (*count == KV_MAX_PARAMETERS || value->NameLength / 2 > 63 || value->Type != REG_SZ ||
            value->DataLength / 2 > KV_MAX_TEXT) {
            DbgPrint("korvane-board: %.*ws is not accepted: the settings are strings of at most %d characters\n",
                     (int)(value->NameLength / 2), value->Name, KV_MAX_TEXT - 1);
            ZwClose(key);
            return STATUS_INVALID_PARAMETER;
        }
        for (i = 0; i < value->NameLength / 2; ++i)
            names[*count][i] = (char)value->Name[i];
        names[*count][i] = '\0';
        text = (const WCHAR *)((const UCHAR *)value + value->DataOffset);
        for (i = 0; i < value->DataLength / 2 && i < KV_MAX_TEXT - 1 && text[i] != 0; ++i)
            values[*count][i] = (char)text[i];
        values[*count][i] = '\0';
        ++*count;
    }
    ZwClose(key);
    return STATUS_SUCCESS;
}

static VOID unload(PDRIVER_OBJECT driver)
{
    (void)driver;
    if (g_device)
        IoDeleteSymbolicLink(&g_linkName);
    /* The requests still kept end before their device goes. */
    if (g_board)
        kvBoardDestroy(g_board);
    g_board = NULL;
    if (g_device)
        IoDeleteDevice(g_device);
}

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    static char names[KV_MAX_PARAMETERS][64];
    static char values[KV_MAX_PARAMETERS][KV_MAX_TEXT];
    const char *namePointers[KV_MAX_PARAMETERS];
    const char *valuePointers[KV_MAX_PARAMETERS];
    static const KvCallbacks callbacks = {armRequest, claimRequest, completeRequest};
    char error[256];
    unsigned count = 0, i;
    NTSTATUS status;

    /* Loaded like a DLL first (the image imports kernel32): that call is
       DllMain's, whose second argument is a reason code from 0 to 3. */
    if ((ULONG_PTR)registryPath < 4)
        return TRUE;
    _pei386_runtime_relocator();
    __main();

    status = readParameters(registryPath, names, values, &count);
    if (!NT_SUCCESS(status))
        return status;
    for (i = 0; i < count; ++i) {
        namePointers[i] = names[i];
        valuePointers[i] = values[i];
    }
    g_board = kvBoardCreate(namePointers, valuePointers, count, &callbacks, error, sizeof(error));
    if (g_board == NULL) {
        DbgPrint("korvane-board: %s\n", error);
        return STATUS_INVALID_PARAMETER;
    }
    /* No board: the driver runs but serves no device, so that opening
       \\.\CAN0 fails as it does on a machine without the board (Wine does
       not pass a failed create request on to the caller). */
    if (kvBoardAbsent(g_board)) {
        driver->DriverUnload = unload;
        return STATUS_SUCCESS;
    }
    RtlInitUnicodeString(&g_deviceName, L"\\Device\\CAN0");
    RtlInitUnicodeString(&g_linkName, L"\\DosDevices\\CAN0");
    status = IoCreateDevice(driver, 0, &g_deviceName, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_device);
    if (!NT_SUCCESS(status)) {
        kvBoardDestroy(g_board);
        g_board = NULL;
        return status;
    }
    status = IoCreateSymbolicLink(&g_linkName, &g_deviceName);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(g_device);
        kvBoardDestroy(g_board);
        g_board = NULL;
        return status;
    }
    g_device->Flags |= DO_BUFFERED_IO;
    g_device->Flags &= ~DO_DEVICE_INITIALIZING;
    driver->MajorFunction[IRP_MJ_CREATE] = dispatchCreate;
    driver->MajorFunction[IRP_MJ_CLOSE] = dispatchClose;
    driver->MajorFunction[IRP_MJ_CLEANUP] = dispatchCleanup;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatchControl;
    driver->DriverUnload = unload;
    return STATUS_SUCCESS;
}
