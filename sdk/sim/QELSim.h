/*
 * Control API of the simulated Camera SDK.
 *
 * The simulator exports these functions beside the 42 Camera SDK entry points, for development and
 * tests: reset, fault injection and a journal of calls. A vendor's library does not have them.
 */
#ifndef QEL_SIM_H
#define QEL_SIM_H

#include "QELCamera2.h"

#ifdef __cplusplus
extern "C" {
#endif

#define QELSIM_JOURNAL_MAX_ARGS 8
#define QELSIM_JOURNAL_TEXT 1024

/* What the journal knows of one entry point. */
typedef struct QELSIM_JOURNAL_ENTRY {
    long long calls;                       /* calls since the last reset */
    int nargs;                             /* number of arguments of the entry point */
    int last_result;                       /* what the last call returned (result code, count or bool) */
    long long args[QELSIM_JOURNAL_MAX_ARGS]; /* last arguments; pointers as addresses, 0 for null */
    unsigned char id[8];                   /* QELSetID: the record passed by value */
    int text_len;                          /* QELEnableDarkSubtract: length of the path, -1 for null */
    char text[QELSIM_JOURNAL_TEXT];        /* QELEnableDarkSubtract: the path, NUL-terminated, cut to fit */
} QELSIM_JOURNAL_ENTRY;

/* Restores the built-in catalogue and forgets all journal entries, faults and camera state. */
QEL_API void QELSimReset(void);

/* Number of entry points, and the name of entry point i (0 <= i < count), e.g. "QELOpenCamera". */
QEL_API int QELSimEntryPointCount(void);
QEL_API const char *QELSimEntryPointName(int index);

/*
 * Makes the named entry point return `code` for its next `times` calls instead of doing its work.
 * When `bytes` is given, the first `nbytes` of them (at most the argument's size) are written into
 * output argument `out_arg` (0-based position among all arguments; -1 picks the first output).
 * QELGetSDKVersion returns the bytes as its text, or a null pointer when no bytes are given;
 * entry points that return a count or a bool return `code` itself. Returns 0, or -1 for an unknown name or an argument that is no output.
 */
QEL_API int QELSimInjectFault(const char *entry_point, int code, int times, int out_arg, const void *bytes,
                              int nbytes);
QEL_API void QELSimClearFaults(void);

/* Copies the journal of the named entry point into *entry. Returns 0, or -1 for an unknown name. */
QEL_API int QELSimJournal(const char *entry_point, QELSIM_JOURNAL_ENTRY *entry);
QEL_API void QELSimClearJournal(void);

#ifdef __cplusplus
}
#endif

#endif /* QEL_SIM_H */
