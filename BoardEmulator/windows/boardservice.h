/* The emulated board inside the Windows test driver: the C++ side (board,
   controllers, bus, DMA, clock and the driver requests, the same code as on
   Linux) behind a C interface, so that the driver's shell, written in C
   against the DDK headers, includes no C++ and the board no kernel header.
   Requests that pend are kept here and completed by a worker thread; the
   shell's callbacks do what only the kernel can (cancel routines,
   completion). */
#ifndef BOARDEMULATOR_WINDOWS_BOARDSERVICE_H
#define BOARDEMULATOR_WINDOWS_BOARDSERVICE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct KvBoard KvBoard;

typedef struct KvCallbacks {
    /* Under the service's lock, as a request is queued: sets the request's
       cancel routine; returns 0 if the request was cancelled meanwhile. */
    int (*arm)(void *request);
    /* Under the service's lock, before the worker completes a request: takes
       its cancel routine away; returns 0 if cancelling has begun (the cancel
       routine then completes it). */
    int (*claim)(void *request);
    /* Outside the lock: completes the request with a Win32 error code (0 for
       success, or 995 for a cancelled request) and the bytes returned. */
    void (*complete)(void *request, uint32_t error, uint32_t returned);
} KvCallbacks;

/* Builds the board from the driver's parameters (name and value pairs, as
   the KORVANE_EMU_* variables); on a bad one returns NULL and writes the
   reason, one line, into error. */
KvBoard *kvBoardCreate(const char *const *names, const char *const *values, unsigned count,
                       const KvCallbacks *callbacks, char *error, unsigned errorSize);
/* Stops the worker and completes every request still kept as cancelled. */
void kvBoardDestroy(KvBoard *board);

int kvBoardAbsent(const KvBoard *board);
/* Requests pend (KORVANE_EMU_PENDING or KORVANE_EMU_NO_ANSWER). */
int kvBoardPends(const KvBoard *board);

/* Serves a buffered request at once and returns when it has cost its
   latency: the Win32 error code; *returned the bytes written into buffer,
   which holds the input on entry and receives the output. */
uint32_t kvBoardRequest(KvBoard *board, uint32_t code, uint8_t *buffer, uint32_t inSize, uint32_t outSize,
                        uint32_t *returned);
/* Serves it at once but keeps it, to be completed by the worker once it has
   cost its latency (never, for a board that does not answer). file is the
   request's file object, for kvBoardCancelFile. */
void kvBoardQueue(KvBoard *board, void *request, void *file, uint32_t code, uint8_t *buffer, uint32_t inSize,
                  uint32_t outSize);
/* From the cancel routine: takes the request out; returns 1 if it was kept
   here (the caller then completes it as cancelled). */
int kvBoardCancel(KvBoard *board, void *request);
/* The last handle of a file object closed: its requests still kept end as
   cancelled. */
void kvBoardCancelFile(KvBoard *board, void *file);

#ifdef __cplusplus
}
#endif

#endif
