/* The emulated board inside the Windows test driver: the C++ side (board,
   controllers, bus, DMA, clock and the driver requests, the same code as on
   Linux) behind a C interface, so that the driver's shell, written in C
   against the DDK headers, includes no C++ and the board no kernel header.
   The shell keeps the requests that pend, cancels and completes them; this
   side only serves them. No C++ exception leaves these functions. */
#ifndef BOARDEMULATOR_WINDOWS_BOARDSERVICE_H
#define BOARDEMULATOR_WINDOWS_BOARDSERVICE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct KvBoard KvBoard;

/* Builds board index (0 to KORVANE_EMU_BOARDS - 1) from the driver's
   parameters (name and value pairs, as the KORVANE_EMU_* variables); on a
   bad one, an index beyond the boards, or a bus log that cannot be opened,
   returns NULL and writes the reason, one line, into error. */
KvBoard *kvBoardCreate(const char *const *names, const char *const *values, unsigned count, unsigned index,
                       char *error, unsigned errorSize);
/* How many boards the parameters ask for (KORVANE_EMU_BOARDS). */
unsigned kvBoardCount(const KvBoard *board);
void kvBoardDestroy(KvBoard *board);

int kvBoardAbsent(const KvBoard *board);
/* Requests pend (KORVANE_EMU_PENDING or KORVANE_EMU_NO_ANSWER)... */
int kvBoardPends(const KvBoard *board);
/* ...and are never completed, only cancelled (KORVANE_EMU_NO_ANSWER). */
int kvBoardNeverAnswers(const KvBoard *board);
/* The minimum cost of a request, and the board's clock now, in units of
   100 ns. */
int64_t kvBoardLatency100ns(const KvBoard *board);
int64_t kvBoardNow100ns(const KvBoard *board);

/* Serves a buffered request now: the Win32 error code; *returned the bytes
   written into buffer, which holds the input on entry and receives the
   output. The sizes are checked before the input is copied. */
uint32_t kvBoardServe(KvBoard *board, uint32_t code, uint8_t *buffer, uint32_t inSize, uint32_t outSize,
                      uint32_t *returned);
/* The same, returning once the request has cost its latency. */
uint32_t kvBoardRequest(KvBoard *board, uint32_t code, uint8_t *buffer, uint32_t inSize, uint32_t outSize,
                        uint32_t *returned);

/* Whether a handle opened with this access (the DesiredAccess of its create
   request) may make a request of this code: one that only reads needs read
   access; every other one changes the board (a DMA read takes its blocks)
   and needs write access. */
int kvAccessAllows(uint32_t code, uint32_t access);

#ifdef __cplusplus
}
#endif

#endif
