/* korvane-board.sys: the emulated board as a Windows kernel driver, a test
   fixture for Wine (it links the C++ runtime statically, which a real
   Windows driver could not). It creates \Device\CAN0 with the link
   \DosDevices\CAN0 (and CAN1 ... for KORVANE_EMU_BOARDS boards, each a
   board of its own) and serves the boards' device control requests through
   boardservice, the same code as the Linux build's board. Its settings are
   the values of its service key's Parameters, named and parsed as the
   KORVANE_EMU_* variables.

   Requests that pend (KORVANE_EMU_PENDING, KORVANE_EMU_NO_ANSWER) wait in a
   queue until a system thread of the driver's serves and completes them,
   once they have cost their latency: a request acts when it completes, so
   that one cancelled has not acted. The queue is cancel-safe under a spin
   lock (Wine 8 has the IoCsq functions only as stubs): a request is either
   taken by the thread, which first takes its cancel routine away, or by its
   cancel routine, never both. Unloading runs down: no
   request reaches the board once it has begun, and the board goes only after
   the last request that reached it has returned. */
#include <ntddk.h>

#include "boardservice.h"

#define KV_MAX_PARAMETERS 32
#define KV_MAX_NAME 64
#define KV_MAX_TEXT 512
#define KV_NEVER 0x7FFFFFFFFFFFFFFFLL

#define KV_MAX_BOARDS 16

/* Each device's extension: its board. */
typedef struct KvDevice {
    KvBoard *board;
} KvDevice;

/* The boards, and the devices of those present; board 0 is also the one
   whose requests pend (requests pend with one board only). */
static KvBoard *g_boards[KV_MAX_BOARDS];
static PDEVICE_OBJECT g_devices[KV_MAX_BOARDS];
static WCHAR g_linkBuffers[KV_MAX_BOARDS][24];
static UNICODE_STRING g_linkNames[KV_MAX_BOARDS];
static unsigned g_boardCount;
static KvBoard *g_board;

/* Rundown: dispatches under way, and whether unloading has begun. */
static volatile LONG g_inFlight;
static volatile LONG g_unloading;
static KEVENT g_drained;

/* The pended requests, oldest first, each with the time on the board's
   clock (100 ns) at which it is due in DriverContext[0]; and the thread that
   completes them. A request out of the list has its list entry pointing to
   itself. */
static LIST_ENTRY g_pended;
static KSPIN_LOCK g_pendedLock;
static KEVENT g_queueChanged;
static PVOID g_completer;
static volatile LONG g_completerStop;

/* Wine unloads a driver's image as soon as its unload routine returns, even
   while programs still hold handles to its device, and then sends their
   requests (a close, a control request) into the freed code. The fixture
   therefore pins itself in the driver host (it imports kernel32 anyway);
   after unloading, those requests find the driver refusing them. */
__declspec(dllimport) int __stdcall GetModuleHandleExW(unsigned long flags, const unsigned short *name,
                                                       void **module);
#define KV_MODULE_FROM_ADDRESS 0x4
#define KV_MODULE_PIN 0x1

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
    default:
        return STATUS_UNSUCCESSFUL;
    }
}

static NTSTATUS finish(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static BOOLEAN enterDispatch(void)
{
    InterlockedIncrement(&g_inFlight);
    if (g_unloading) {
        if (InterlockedDecrement(&g_inFlight) == 0)
            KeSetEvent(&g_drained, IO_NO_INCREMENT, FALSE);
        return FALSE;
    }
    return TRUE;
}

static void leaveDispatch(void)
{
    if (InterlockedDecrement(&g_inFlight) == 0 && g_unloading)
        KeSetEvent(&g_drained, IO_NO_INCREMENT, FALSE);
}

static LONGLONG dueOf(PIRP irp)
{
    return (LONGLONG)(LONG_PTR)irp->Tail.Overlay.DriverContext[0];
}

/* Which requests to take from the queue: those of one file object (a
   closing handle), or those due by a time. */
typedef struct KvPick {
    PFILE_OBJECT file; /* NULL: any */
    LONGLONG dueBy;    /* KV_NEVER: any */
} KvPick;

static VOID NTAPI cancelPended(PDEVICE_OBJECT device, PIRP irp)
{
    KIRQL irql;
    (void)device;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KeAcquireSpinLock(&g_pendedLock, &irql);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    InitializeListHead(&irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&g_pendedLock, irql);
    finish(irp, STATUS_CANCELLED, 0);
}

/* Queues a request with its cancel routine; one cancelled meanwhile ends
   here as cancelled. */
static NTSTATUS pend(PIRP irp)
{
    KIRQL irql;
    IoMarkIrpPending(irp);
    KeAcquireSpinLock(&g_pendedLock, &irql);
    IoSetCancelRoutine(irp, cancelPended);
    if (irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL) {
        KeReleaseSpinLock(&g_pendedLock, irql);
        finish(irp, STATUS_CANCELLED, 0);
        return STATUS_PENDING;
    }
    InsertTailList(&g_pended, &irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&g_pendedLock, irql);
    KeSetEvent(&g_queueChanged, IO_NO_INCREMENT, FALSE);
    return STATUS_PENDING;
}

/* Takes the first queued request that the pick selects and whose cancel
   routine has not begun; NULL when there is none. */
static PIRP take(const KvPick *pick)
{
    KIRQL irql;
    PLIST_ENTRY entry;
    PIRP taken = NULL;
    KeAcquireSpinLock(&g_pendedLock, &irql);
    for (entry = g_pended.Flink; entry != &g_pended; entry = entry->Flink) {
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        if (pick->file && IoGetCurrentIrpStackLocation(irp)->FileObject != pick->file)
            continue;
        if (dueOf(irp) > pick->dueBy)
            continue;
        if (IoSetCancelRoutine(irp, NULL) == NULL)
            continue; /* its cancel routine is under way and completes it */
        RemoveEntryList(entry);
        InitializeListHead(entry);
        taken = irp;
        break;
    }
    KeReleaseSpinLock(&g_pendedLock, irql);
    return taken;
}

/* The earliest time a pended request is due. */
static LONGLONG nextDue(void)
{
    KIRQL irql;
    LONGLONG next = KV_NEVER;
    PLIST_ENTRY entry;
    KeAcquireSpinLock(&g_pendedLock, &irql);
    for (entry = g_pended.Flink; entry != &g_pended; entry = entry->Flink) {
        const LONGLONG due = dueOf(CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry));
        if (due < next)
            next = due;
    }
    KeReleaseSpinLock(&g_pendedLock, irql);
    return next;
}

static void cancelAll(PFILE_OBJECT file)
{
    KvPick pick = {file, KV_NEVER};
    PIRP irp;
    while ((irp = take(&pick)) != NULL)
        finish(irp, STATUS_CANCELLED, 0);
}

/* Serves and completes each pended request once it is due, oldest first; a
   request taken out of the queue can no longer be cancelled, so it acts only
   now. */
static VOID NTAPI completeDue(PVOID context)
{
    (void)context;
    while (!g_completerStop) {
        KvPick pick = {NULL, kvBoardNow100ns(g_board)};
        PIRP irp;
        LONGLONG next;
        while ((irp = take(&pick)) != NULL) {
            PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
            uint8_t none = 0;
            uint8_t *buffer = irp->AssociatedIrp.SystemBuffer ? (uint8_t *)irp->AssociatedIrp.SystemBuffer : &none;
            uint32_t returned = 0;
            const uint32_t error = kvBoardServe(g_board, stack->Parameters.DeviceIoControl.IoControlCode, buffer,
                                                stack->Parameters.DeviceIoControl.InputBufferLength,
                                                stack->Parameters.DeviceIoControl.OutputBufferLength, &returned);
            finish(irp, statusOf(error), error == 0 ? returned : 0);
        }
        next = nextDue();
        if (next == KV_NEVER) {
            KeWaitForSingleObject(&g_queueChanged, Executive, KernelMode, FALSE, NULL);
        } else {
            const LONGLONG now = kvBoardNow100ns(g_board);
            if (next > now) {
                LARGE_INTEGER timeout;
                timeout.QuadPart = now - next; /* relative */
                KeWaitForSingleObject(&g_queueChanged, Executive, KernelMode, FALSE, &timeout);
            }
        }
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

/* The access a handle was opened with, kept with its file object, as the
   I/O manager gives it. Wine gives none (its create requests carry no
   security context): the driver then cannot tell, and leaves the checking
   to the I/O manager's own, of the access bits in the control codes. */
#define KV_ACCESS_UNKNOWN ((ULONG_PTR)-1)

static NTSTATUS dispatchCreate(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG_PTR access = KV_ACCESS_UNKNOWN;
    (void)device;
    if (stack->Parameters.Create.SecurityContext)
        access = stack->Parameters.Create.SecurityContext->DesiredAccess;
    if (stack->FileObject)
        stack->FileObject->FsContext2 = (PVOID)access;
    return finish(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS dispatchClose(PDEVICE_OBJECT device, PIRP irp)
{
    (void)device;
    return finish(irp, STATUS_SUCCESS, 0);
}

/* The last handle of a file object closed: its pended requests end. */
static NTSTATUS dispatchCleanup(PDEVICE_OBJECT device, PIRP irp)
{
    (void)device;
    cancelAll(IoGetCurrentIrpStackLocation(irp)->FileObject);
    return finish(irp, STATUS_SUCCESS, 0);
}

/* The access the handle was opened with, where the I/O manager told it. */
static BOOLEAN allowed(ULONG code, PFILE_OBJECT file)
{
    const ULONG_PTR access = file ? (ULONG_PTR)file->FsContext2 : 0;
    if (access == KV_ACCESS_UNKNOWN)
        return TRUE;
    return kvAccessAllows(code, (uint32_t)access) != 0;
}

static NTSTATUS dispatchControl(PDEVICE_OBJECT device, PIRP irp)
{
    KvBoard *board = ((KvDevice *)device->DeviceExtension)->board;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    const ULONG inSize = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG outSize = stack->Parameters.DeviceIoControl.OutputBufferLength;
    uint8_t *buffer = (uint8_t *)irp->AssociatedIrp.SystemBuffer;
    uint8_t none = 0;
    uint32_t returned = 0, error;
    if ((code & 3) != METHOD_BUFFERED)
        return finish(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    if (!allowed(code, stack->FileObject))
        return finish(irp, STATUS_ACCESS_DENIED, 0);
    if (!enterDispatch())
        return finish(irp, STATUS_DELETE_PENDING, 0);
    if (kvBoardPends(board)) {
        const LONGLONG due = kvBoardNeverAnswers(board) ? KV_NEVER
                                                        : kvBoardNow100ns(board) + kvBoardLatency100ns(board);
        irp->Tail.Overlay.DriverContext[0] = (PVOID)(LONG_PTR)due;
        pend(irp);
        leaveDispatch();
        return STATUS_PENDING;
    }
    if (buffer == NULL)
        buffer = &none; /* a request without input or output */
    error = kvBoardRequest(board, code, buffer, inSize, outSize, &returned);
    leaveDispatch();
    return finish(irp, statusOf(error), error == 0 ? returned : 0);
}

/* Says why a value was refused, its name shown in ASCII (other characters
   as \uXXXX). */
static void refuse(const char *why, const WCHAR *name, ULONG nameLength)
{
    static const char digits[] = "0123456789abcdef";
    char shown[6 * KV_MAX_NAME + 1];
    ULONG i, n = 0;
    for (i = 0; i < nameLength / sizeof(WCHAR) && i < KV_MAX_NAME; ++i) {
        const WCHAR c = name[i];
        if (c >= 0x20 && c <= 0x7E) {
            shown[n++] = (char)c;
        } else {
            shown[n++] = '\\';
            shown[n++] = 'u';
            shown[n++] = digits[(c >> 12) & 15];
            shown[n++] = digits[(c >> 8) & 15];
            shown[n++] = digits[(c >> 4) & 15];
            shown[n++] = digits[c & 15];
        }
    }
    shown[n] = '\0';
    DbgPrint("korvane-board: %s%s is not accepted: %s\n", shown, i < nameLength / sizeof(WCHAR) ? "..." : "", why);
}

/* The Parameters key's string values, as ASCII name and value pairs. A value
   that cannot be a setting is refused with its reason, never passed over or
   narrowed. */
static NTSTATUS readParameters(PUNICODE_STRING registryPath, char names[][KV_MAX_NAME], char values[][KV_MAX_TEXT],
                               unsigned *count)
{
    static const WCHAR suffix[] = L"\\Parameters";
    WCHAR pathBuffer[512];
    UNICODE_STRING path;
    OBJECT_ATTRIBUTES attributes;
    HANDLE key;
    ULONG index, length, i;
    UCHAR information[sizeof(KEY_VALUE_FULL_INFORMATION) + 2 * sizeof(WCHAR) * (KV_MAX_NAME + KV_MAX_TEXT)];
    PKEY_VALUE_FULL_INFORMATION value = (PKEY_VALUE_FULL_INFORMATION)information;
    NTSTATUS status;

    *count = 0;
    if (registryPath->Length + sizeof(suffix) > sizeof(pathBuffer))
        return STATUS_BUFFER_TOO_SMALL;
    RtlCopyMemory(pathBuffer, registryPath->Buffer, registryPath->Length);
    RtlCopyMemory((char *)pathBuffer + registryPath->Length, suffix, sizeof(suffix));
    RtlInitUnicodeString(&path, pathBuffer);
    InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    status = ZwOpenKey(&key, KEY_READ, &attributes);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND)
        return STATUS_SUCCESS; /* no Parameters: every setting at its default */
    if (!NT_SUCCESS(status)) {
        DbgPrint("korvane-board: the Parameters key cannot be read (0x%08lx)\n", status);
        return status;
    }
    for (index = 0;; ++index) {
        const WCHAR *text;
        ULONG characters;
        status = ZwEnumerateValueKey(key, index, KeyValueFullInformation, value, sizeof(information), &length);
        if (status == STATUS_NO_MORE_ENTRIES)
            break;
        if (status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL) {
            DbgPrint("korvane-board: a value of Parameters is not accepted: its name or its text is longer than "
                     "%d characters\n", KV_MAX_TEXT - 1);
            ZwClose(key);
            return STATUS_INVALID_PARAMETER;
        }
        if (!NT_SUCCESS(status)) {
            DbgPrint("korvane-board: a value of Parameters cannot be read (0x%08lx)\n", status);
            ZwClose(key);
            return status;
        }
        if (value->NameLength == 0)
            continue; /* the key's default value */
        if (*count == KV_MAX_PARAMETERS) {
            refuse("there are more settings than the driver has (at most 32 values)", value->Name,
                   value->NameLength);
            ZwClose(key);
            return STATUS_INVALID_PARAMETER;
        }
        if (value->NameLength / sizeof(WCHAR) >= KV_MAX_NAME) {
            refuse("the name is longer than any setting's (at most 63 characters)", value->Name, value->NameLength);
            ZwClose(key);
            return STATUS_INVALID_PARAMETER;
        }
        if (value->Type != REG_SZ) {
            refuse("the settings are strings (REG_SZ)", value->Name, value->NameLength);
            ZwClose(key);
            return STATUS_INVALID_PARAMETER;
        }
        text = (const WCHAR *)((const UCHAR *)value + value->DataOffset);
        characters = value->DataLength / sizeof(WCHAR);
        while (characters > 0 && text[characters - 1] == 0)
            --characters;
        if (characters >= KV_MAX_TEXT) {
            refuse("the text is longer than any setting's (at most 511 characters)", value->Name, value->NameLength);
            ZwClose(key);
            return STATUS_INVALID_PARAMETER;
        }
        for (i = 0; i < value->NameLength / sizeof(WCHAR); ++i) {
            if (value->Name[i] == 0 || value->Name[i] > 0x7E) {
                refuse("its name has a character that is not printable ASCII", value->Name, value->NameLength);
                ZwClose(key);
                return STATUS_INVALID_PARAMETER;
            }
            names[*count][i] = (char)value->Name[i];
        }
        names[*count][i] = '\0';
        for (i = 0; i < characters; ++i) {
            if (text[i] == 0 || text[i] > 0x7E) {
                refuse("its text has a character that is not printable ASCII", value->Name, value->NameLength);
                ZwClose(key);
                return STATUS_INVALID_PARAMETER;
            }
            values[*count][i] = (char)text[i];
        }
        values[*count][i] = '\0';
        ++*count;
    }
    ZwClose(key);
    return STATUS_SUCCESS;
}

/* The completer stops, the dispatches under way return (one of them may
   still queue its request), what is queued then ends as cancelled, and only
   then do the board and the device go. */
static VOID unload(PDRIVER_OBJECT driver)
{
    unsigned i;
    (void)driver;
    InterlockedExchange(&g_unloading, 1);
    for (i = 0; i < g_boardCount; ++i) {
        if (g_devices[i])
            IoDeleteSymbolicLink(&g_linkNames[i]);
    }
    if (g_completer) {
        InterlockedExchange(&g_completerStop, 1);
        KeSetEvent(&g_queueChanged, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(g_completer, Executive, KernelMode, FALSE, NULL);
        ObDereferenceObject(g_completer);
        g_completer = NULL;
    }
    if (g_inFlight != 0)
        KeWaitForSingleObject(&g_drained, Executive, KernelMode, FALSE, NULL);
    cancelAll(NULL);
    for (i = 0; i < g_boardCount; ++i) {
        if (g_devices[i])
            IoDeleteDevice(g_devices[i]);
        g_devices[i] = NULL;
        if (g_boards[i])
            kvBoardDestroy(g_boards[i]);
        g_boards[i] = NULL;
    }
    g_board = NULL;
    g_boardCount = 0;
}

/* "\Device\CAN" or "\DosDevices\CAN" followed by the board's index. */
static void nameOf(WCHAR *buffer, const WCHAR *prefix, unsigned index)
{
    unsigned n = 0;
    while (prefix[n]) {
        buffer[n] = prefix[n];
        ++n;
    }
    if (index >= 10)
        buffer[n++] = (WCHAR)(L'0' + index / 10);
    buffer[n++] = (WCHAR)(L'0' + index % 10);
    buffer[n] = 0;
}

/* Board index's device and link, unless the board is absent. */
static NTSTATUS createDevice(PDRIVER_OBJECT driver, unsigned index)
{
    WCHAR deviceBuffer[24];
    UNICODE_STRING deviceName;
    PDEVICE_OBJECT device = NULL;
    NTSTATUS status;
    if (kvBoardAbsent(g_boards[index]))
        return STATUS_SUCCESS;
    nameOf(deviceBuffer, L"\\Device\\CAN", index);
    nameOf(g_linkBuffers[index], L"\\DosDevices\\CAN", index);
    RtlInitUnicodeString(&deviceName, deviceBuffer);
    RtlInitUnicodeString(&g_linkNames[index], g_linkBuffers[index]);
    status = IoCreateDevice(driver, sizeof(KvDevice), &deviceName, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status))
        return status;
    ((KvDevice *)device->DeviceExtension)->board = g_boards[index];
    status = IoCreateSymbolicLink(&g_linkNames[index], &deviceName);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    g_devices[index] = device;
    return STATUS_SUCCESS;
}

static NTSTATUS startCompleter(void)
{
    HANDLE thread;
    NTSTATUS status = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, NULL, NULL, NULL, completeDue, NULL);
    if (!NT_SUCCESS(status))
        return status;
    status = ObReferenceObjectByHandle(thread, SYNCHRONIZE, NULL, KernelMode, &g_completer, NULL);
    ZwClose(thread);
    return status;
}

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    static char names[KV_MAX_PARAMETERS][KV_MAX_NAME];
    static char values[KV_MAX_PARAMETERS][KV_MAX_TEXT];
    const char *namePointers[KV_MAX_PARAMETERS];
    const char *valuePointers[KV_MAX_PARAMETERS];
    char error[256];
    unsigned count = 0, i;
    NTSTATUS status;

    /* Loaded like a DLL first (the image imports kernel32): that call is
       DllMain's, whose second argument is a reason code from 0 to 3. */
    if ((ULONG_PTR)registryPath < 4)
        return TRUE;
    _pei386_runtime_relocator();
    __main();
    {
        void *module = NULL;
        GetModuleHandleExW(KV_MODULE_FROM_ADDRESS | KV_MODULE_PIN, (const unsigned short *)(void *)DriverEntry,
                           &module);
    }

    status = readParameters(registryPath, names, values, &count);
    if (!NT_SUCCESS(status))
        return status;
    for (i = 0; i < count; ++i) {
        namePointers[i] = names[i];
        valuePointers[i] = values[i];
    }
    /* The rundown and the queue first: every way out below unloads. */
    g_inFlight = 0;
    g_unloading = 0;
    g_completerStop = 0;
    KeInitializeEvent(&g_drained, NotificationEvent, FALSE);
    KeInitializeEvent(&g_queueChanged, SynchronizationEvent, FALSE);
    InitializeListHead(&g_pended);
    KeInitializeSpinLock(&g_pendedLock);
    g_board = kvBoardCreate(namePointers, valuePointers, count, 0, error, sizeof(error));
    if (g_board == NULL) {
        DbgPrint("korvane-board: %s\n", error);
        return STATUS_INVALID_PARAMETER;
    }
    g_boards[0] = g_board;
    g_boardCount = kvBoardCount(g_board);
    if (g_boardCount > KV_MAX_BOARDS)
        g_boardCount = KV_MAX_BOARDS;
    for (i = 1; i < g_boardCount; ++i) {
        g_boards[i] = kvBoardCreate(namePointers, valuePointers, count, i, error, sizeof(error));
        if (g_boards[i] == NULL) {
            DbgPrint("korvane-board: %s\n", error);
            g_boardCount = i;
            unload(driver);
            return STATUS_INVALID_PARAMETER;
        }
    }
    driver->MajorFunction[IRP_MJ_CREATE] = dispatchCreate;
    driver->MajorFunction[IRP_MJ_CLOSE] = dispatchClose;
    driver->MajorFunction[IRP_MJ_CLEANUP] = dispatchCleanup;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatchControl;
    driver->DriverUnload = unload;
    if (kvBoardPends(g_board)) {
        status = startCompleter();
        if (!NT_SUCCESS(status)) {
            unload(driver);
            return status;
        }
    }
    /* A board that is absent has no device, so that opening its \\.\CANn
       fails as it does on a machine without it (Wine does not hand a failed
       create request back to the program that opens the device). */
    for (i = 0; i < g_boardCount; ++i) {
        status = createDevice(driver, i);
        if (!NT_SUCCESS(status)) {
            unload(driver);
            return status;
        }
    }
    return STATUS_SUCCESS;
}
