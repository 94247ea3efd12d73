/*
 * Control API of the simulated Camera SDK.
 *
 * The simulator exports these functions beside the 42 Camera SDK entry points, for development and
 * tests: reset and configuration, fault injection, a journal of calls, hot-plug, the external trigger
 * input, the simulated clock and a look at the simulated sky. A vendor's library does not have them.
 * sdk/sim/README.md describes the configuration format and the behaviour behind each entry point.
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

/*
 * Restores the base configuration (the file named by the environment variable QELSIM_CONFIG when it is
 * set and valid, else the built-in catalogue) and forgets all journal entries, faults and camera state.
 * Cameras get ids 0..n-1 in registry order; the simulated clock restarts at 0.
 */
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

/* ---- configuration. Functions that report a problem write a NUL-terminated message (cut to fit) into
 * `error` when it is not null and `error_size` > 0, and an empty one on success. */

/* Resets like QELSimReset, then applies the configuration `text` (the format of a QELSIM_CONFIG file);
 * a null text means the base configuration. Returns 0, or -1 with nothing changed. */
QEL_API int QELSimConfigure(const char *text, char *error, int error_size);
/* The same with the text of the file at `path`. */
QEL_API int QELSimLoadConfig(const char *path, char *error, int error_size);
/* What was wrong with QELSIM_CONFIG's file at the last reset: the length of the message, 0 when none. */
QEL_API int QELSimBaseConfigError(char *error, int error_size);

/* ---- hot-plug */

/* Connects a new camera described like the body of a [camera] section ("model = C2\nwidth = 640");
 * returns its id (a new one, after all ids given so far) or -1. */
QEL_API int QELSimPlugCamera(const char *text, char *error, int error_size);
/* Disconnects a camera: it leaves discovery, its calls return QEL_ERR_CAMERA_REMOVED, its capture stops
 * and waits for its frames end. Returns 0, or -1 for an unknown or already removed id. */
QEL_API int QELSimUnplugCamera(int camera_id);
/* Connects a removed camera again, as a real device comes back: same model, serial number and flash,
 * under a new id that it returns (-1 if the id is not a removed camera or came back already). */
QEL_API int QELSimReplugCamera(int camera_id);

/* ---- external trigger input of trigger cameras. Both return a QEL result code. */

/* Sets the level of the trigger input line (0 low, anything else high). Edges and levels act by the
 * camera mode while video capture runs. */
QEL_API int QELSimSetTriggerInput(int camera_id, int level);
/* One pulse on the line in the camera's hardware trigger mode: an edge mode takes one frame of the
 * exposure control's length; a level mode exposes for `duration_us` of simulated time. */
QEL_API int QELSimTriggerPulse(int camera_id, int duration_us);

/* ---- the simulated clock that every duration of the cameras runs on */

/* Makes simulated time run `factor` times as fast as real time (0 < factor <= 1e6); 0 or -1. */
QEL_API int QELSimSetClockSpeed(double factor);
QEL_API double QELSimClockSpeed(void);
/* Simulated time in microseconds since the last reset. */
QEL_API long long QELSimNow(void);
/* The stepped clock (configuration key `clock = stepped`): 1 when it runs, else 0. */
QEL_API int QELSimClockStepped(void);
/* Stepped clock: moves simulated time on by `microseconds`, letting every video producer do its work at
 * each instant on the way. Returns 0, or -1 in the real clock or for a negative time. */
QEL_API int QELSimAdvance(long long microseconds);

/* ---- looking behind the scenes; each returns a QEL result code */

/* The offset of the scene on the sensor from the mount (guiding, periodic error, polar drift, drift; not
 * the seeing), in unbinned sensor pixels. */
QEL_API int QELSimGetPointing(int camera_id, double *x, double *y);
/* Puts the sensor at this temperature now (-50 to 100 degrees C); the cooler works on from there. */
QEL_API int QELSimSetTemperature(int camera_id, double celsius);
/* The readout time of one frame and the video frame interval at the current settings, in microseconds
 * of simulated time: the advertised frame rate is 1e6 / frame_interval_us. */
QEL_API int QELSimGetTiming(int camera_id, double *readout_us, double *frame_interval_us);

/* ---- the sky. Sensor pixel coordinates are unbinned, with pixel centres at whole numbers (pixel (0, 0)
 * covers -0.5..0.5), x to the right and y downwards on an unflipped image; they include the offset of the
 * scene from the mount now. Sky positions are right ascension and declination in degrees. */

/* Covers the telescope (covered != 0) or uncovers it: a covered camera's frames get no light. */
QEL_API int QELSimSetCover(int camera_id, int covered);
/* Where a sky position falls on the sensor (QEL_ERR_OUT_OF_BOUNDARY: 90 degrees or more from the pointing). */
QEL_API int QELSimSkyToPixel(int camera_id, double ra, double dec, double *x, double *y);
/* The sky position of a sensor position. */
QEL_API int QELSimPixelToSky(int camera_id, double x, double y, double *ra, double *dec);
/* The stars on the sensor now, brightest first: up to max_rows rows of six doubles (x, y, V magnitude,
 * B-V, ra, dec) into `rows`, and their number (also beyond max_rows) into *count. */
QEL_API int QELSimGetStars(int camera_id, double *rows, int max_rows, int *count);
/* The world coordinate system of the image as it is read now (region, binning, flip, pier side and the
 * mount; not the seeing): eight doubles CRPIX1, CRPIX2, CRVAL1, CRVAL2 (degrees, ICRS J2000), CD1_1,
 * CD1_2, CD2_1, CD2_2 (degrees per pixel) of a gnomonic (TAN) projection, FITS pixels counting from 1
 * along the rows and columns of the image as read; and the image's width and height. */
QEL_API int QELSimGetWcs(int camera_id, double *values, int *width, int *height);
/* Which sky the cameras see: the number of stars in the star catalogue file in use (its path into `text`,
 * up to size - 1 characters and a terminating 0), or 0 for the synthetic sky alone (then `text` says why
 * a catalogue that was asked for is not in use, or is empty). */
QEL_API int QELSimSkySource(char *text, int size);
/* The configured events of a camera, in configuration order: up to max_rows rows of eight doubles (kind:
 * 1 occultation, 2 meteor, 3 satellite, 4 GPS fix loss; start and end in UTC microseconds since 1970;
 * x0, y0, x1, y1: the occulted star's sensor position now twice, or a streak's start and end on the
 * sensor, NaN for a GPS loss; level: the occulted star's share of its flux, or a streak's electrons per
 * second at its brightest in its brightest channel, 0 for a GPS loss), and their number into *count. */
QEL_API int QELSimGetEvents(int camera_id, double *rows, int max_rows, int *count);
/* The user's star list of the sky every camera looks at: `count` rows of four doubles (ra, dec, V, B-V);
 * with `replace` they replace the synthetic stars, else they join them. Until the next reset. 0, or -1 for
 * a bad list. */
QEL_API int QELSimSetStars(const double *rows, int count, int replace);

#ifdef __cplusplus
}
#endif

#endif /* QEL_SIM_H */
