// Collects what the programs of the session write with OutputDebugString
// (Qt's debug lines on Windows go there) into a file, as a debug viewer
// does: one line per message, "pid: text". Wine traces only the ANSI calls
// on its debug channel; the buffer protocol below receives both.
// Usage: debugcapture.exe FILE. The file exists once messages are captured;
// it runs until it is ended.
#include <windows.h>

#include <cstdio>
#include <cstring>

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: debugcapture FILE\n");
        return 2;
    }
    HANDLE bufferReady = CreateEventA(nullptr, FALSE, FALSE, "DBWIN_BUFFER_READY");
    HANDLE dataReady = CreateEventA(nullptr, FALSE, FALSE, "DBWIN_DATA_READY");
    HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, "DBWIN_BUFFER");
    if (!bufferReady || !dataReady || !mapping || GetLastError() == ERROR_ALREADY_EXISTS) {
        std::fprintf(stderr, "debugcapture: another debug viewer runs, or the buffer cannot be made\n");
        return 1;
    }
    const char *view = static_cast<const char *>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 4096));
    FILE *out = std::fopen(argv[1], "wb");
    if (!view || !out) {
        std::fprintf(stderr, "debugcapture: cannot write %s\n", argv[1]);
        return 1;
    }
    SetEvent(bufferReady);
    for (;;) {
        if (WaitForSingleObject(dataReady, INFINITE) != WAIT_OBJECT_0)
            return 1;
        DWORD pid = 0;
        std::memcpy(&pid, view, sizeof pid);
        const char *text = view + sizeof pid;
        const size_t length = strnlen(text, 4096 - sizeof pid);
        std::fprintf(out, "%lu: %.*s%s", static_cast<unsigned long>(pid), static_cast<int>(length), text,
                     length && text[length - 1] == '\n' ? "" : "\n");
        std::fflush(out);
        SetEvent(bufferReady);
    }
}
