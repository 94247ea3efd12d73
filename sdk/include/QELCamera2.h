/*
 * QELCamera2: the Camera SDK interface.
 *
 * Plain C entry points with C linkage. Every entry point that can fail returns an int result code,
 * QEL_SUCCESS (0) on success. The SDK's "long" and "bool" are 32-bit ints on every platform
 * (QEL_LONG, QEL_BOOL), so the records and signatures below have one layout everywhere.
 * Output storage is always the caller's; the SDK keeps no pointer past a call.
 */
#ifndef QEL_CAMERA2_H
#define QEL_CAMERA2_H

#include <stddef.h>

#if defined(_WIN32) || defined(__CYGWIN__)
#  if defined(QELCAMERA2_BUILD)
#    define QEL_API __declspec(dllexport)
#  else
#    define QEL_API __declspec(dllimport)
#  endif
#else
#  define QEL_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
#  define QEL_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
extern "C" {
#else
#  define QEL_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

typedef int QEL_BOOL; /* 0 false, anything else true */
typedef int QEL_LONG; /* 32-bit signed on every platform */

QEL_STATIC_ASSERT(sizeof(int) == 4, "the SDK's int, long and bool are 32 bits wide");

/* Result codes. Several outcomes have two codes (an older and a newer numbering). */
enum QEL_RESULT_CODE {
    QEL_SUCCESS = 0,
    QEL_ERR_INVALID_INDEX = 1,        /* no camera at this index */
    QEL_ERR_INVALID_ID = 2,           /* no camera with this identifier */
    QEL_ERR_CAMERA_CLOSED = 3,        /* camera not open */
    QEL_ERR_CAMERA_REMOVED = 4,       /* camera disconnected */
    QEL_ERR_TIMEOUT = 5,              /* nothing arrived in time */
    QEL_ERR_GENERAL = 6,              /* general failure, value out of range */
    QEL_ERR_INDEX_OUT_OF_RANGE = 7,   /* alias of QEL_ERR_INVALID_INDEX */
    QEL_ERR_UNKNOWN_ID = 8,           /* alias of QEL_ERR_INVALID_ID */
    QEL_ERR_INVALID_CONTROL_TYPE = 9, /* control not present on this camera */
    QEL_ERR_NOT_OPEN = 10,            /* alias of QEL_ERR_CAMERA_CLOSED */
    QEL_ERR_DEVICE_LOST = 11,         /* alias of QEL_ERR_CAMERA_REMOVED */
    QEL_ERR_INVALID_PATH = 12,        /* file missing or unreadable */
    QEL_ERR_INVALID_FILE_FORMAT = 13, /* file of the wrong kind or size */
    QEL_ERR_INVALID_SIZE = 14,        /* region size not allowed */
    QEL_ERR_INVALID_IMAGE_TYPE = 15,  /* image format not supported */
    QEL_ERR_OUT_OF_BOUNDARY = 16,     /* start position outside the sensor */
    QEL_ERR_READOUT_TIMEOUT = 17,     /* alias of QEL_ERR_TIMEOUT */
    QEL_ERR_INVALID_SEQUENCE = 18,    /* stop capture first */
    QEL_ERR_BUFFER_TOO_SMALL = 19,    /* buffer smaller than the image */
    QEL_ERR_VIDEO_MODE_ACTIVE = 20,   /* not allowed while video capture runs */
    QEL_ERR_EXPOSURE_IN_PROGRESS = 21,/* not allowed while an exposure runs */
    QEL_ERR_OUT_OF_RANGE = 22,        /* alias of QEL_ERR_GENERAL */
    QEL_ERR_INVALID_MODE = 23,        /* camera mode does not allow this */
    QEL_ERR_GPS_NOT_SUPPORTED = 24,
    QEL_ERR_GPS_VERSION = 25,         /* GPS firmware too old */
    QEL_ERR_GPS_FPGA = 26,            /* GPS data could not be read or written */
    QEL_ERR_GPS_PARAM_OUT_OF_RANGE = 27, /* start or end line outside the image */
    QEL_ERR_GPS_DATA_INVALID = 28,    /* no satellites, or no GPS data */
    QEL_ERR_END = 29
};

enum QEL_BAYER_PATTERN { BAYER_RG = 0, BAYER_BG = 1, BAYER_GR = 2, BAYER_GB = 3 };

enum QEL_IMG_TYPE { IMG_RAW8 = 0, IMG_RGB24 = 1, IMG_RAW16 = 2, IMG_Y8 = 3, IMG_END = -1 };

enum QEL_CONTROL_TYPE {
    QEL_GAIN = 0,
    QEL_EXPOSURE = 1,
    QEL_GAMMA = 2,
    QEL_WB_R = 3,
    QEL_WB_B = 4,
    QEL_OFFSET = 5,
    QEL_BANDWIDTHOVERLOAD = 6,
    QEL_OVERCLOCK = 7,
    QEL_TEMPERATURE = 8,
    QEL_FLIP = 9,
    QEL_AUTO_MAX_GAIN = 10,
    QEL_AUTO_MAX_EXP = 11,
    QEL_AUTO_TARGET_BRIGHTNESS = 12,
    QEL_HARDWARE_BIN = 13,
    QEL_HIGH_SPEED_MODE = 14,
    QEL_COOLER_POWER_PERC = 15,
    QEL_TARGET_TEMP = 16,
    QEL_COOLER_ON = 17,
    QEL_MONO_BIN = 18,
    QEL_FAN_ON = 19,
    QEL_PATTERN_ADJUST = 20,
    QEL_ANTI_DEW_HEATER = 21,
    QEL_FAN_ADJUST = 22,
    QEL_PWRLED_BRIGNT = 23,
    QEL_USBHUB_RESET = 24,
    QEL_GPS_SUPPORT = 25,
    QEL_GPS_START_LINE = 26,
    QEL_GPS_END_LINE = 27,
    QEL_ROLLING_INTERVAL = 28
};

enum QEL_CAMERA_MODE {
    QEL_MODE_NORMAL = 0,
    QEL_MODE_TRIG_SOFT_EDGE = 1,
    QEL_MODE_TRIG_RISE_EDGE = 2,
    QEL_MODE_TRIG_FALL_EDGE = 3,
    QEL_MODE_TRIG_SOFT_LEVEL = 4,
    QEL_MODE_TRIG_HIGH_LEVEL = 5,
    QEL_MODE_TRIG_LOW_LEVEL = 6,
    QEL_MODE_END = -1
};

enum QEL_GUIDE_DIRECTION { QEL_GUIDE_NORTH = 0, QEL_GUIDE_SOUTH = 1, QEL_GUIDE_EAST = 2, QEL_GUIDE_WEST = 3 };

enum QEL_FLIP_STATUS { QEL_FLIP_NONE = 0, QEL_FLIP_HORIZ = 1, QEL_FLIP_VERT = 2, QEL_FLIP_BOTH = 3 };

enum QEL_TRIG_OUTPUT { QEL_TRIG_OUTPUT_PINA = 0, QEL_TRIG_OUTPUT_PINB = 1, QEL_TRIG_OUTPUT_NONE = -1 };

enum QEL_EXPOSURE_STATUS { QEL_EXP_IDLE = 0, QEL_EXP_WORKING = 1, QEL_EXP_SUCCESS = 2, QEL_EXP_FAILED = 3 };

/* Camera information: 240 bytes, 8-byte aligned. */
typedef struct QEL_CAMERA_INFO {
    char name[64];                     /* NUL-terminated */
    int camera_id;
    int max_height;
    int max_width;
    QEL_BOOL is_color_camera;
    int bayer_pattern;                 /* QEL_BAYER_PATTERN */
    int supported_bins[16];            /* entries <= 0 unused */
    int supported_video_formats[8];    /* QEL_IMG_TYPE; IMG_END marks unused entries */
    double pixel_size;                 /* micrometres */
    QEL_BOOL mechanical_shutter;
    QEL_BOOL st_4_port;
    QEL_BOOL is_cooler_cam;
    QEL_BOOL is_usb3_host;
    QEL_BOOL is_usb3_camera;
    float elec_per_adu;
    int bit_depth;
    QEL_BOOL is_trigger_cam;
    char reserved[16];
} QEL_CAMERA_INFO;

/* Capabilities of one control: 248 bytes, 4-byte aligned. */
typedef struct QEL_CONTROL_CAPS {
    char name[64];                     /* NUL-terminated */
    char description[128];             /* NUL-terminated */
    int max_value;
    int min_value;
    int default_value;
    QEL_BOOL is_auto_supported;
    QEL_BOOL is_writable;
    int control_type;                  /* QEL_CONTROL_TYPE */
    char reserved[32];
} QEL_CONTROL_CAPS;

/* An 8-byte identifier (flash identifier or serial number); text ending at the first NUL. */
typedef struct QEL_ID {
    unsigned char id[8];
} QEL_ID;

/* Supported camera modes: 64 bytes. */
typedef struct QEL_SUPPORTED_MODE {
    int SupportedCameraMode[16];       /* QEL_CAMERA_MODE; QEL_MODE_END marks unused entries */
} QEL_SUPPORTED_MODE;

/* GPS time stamp and position: 184 bytes, 8-byte aligned. */
typedef struct QEL_GPS_DATA {
    int year;
    int month;
    int day;
    int hour;
    int minute;
    int second;
    int m_second;                      /* millisecond part */
    int u_second;                      /* microsecond part */
    unsigned char reserved1[64];
    double latitude;
    double longitude;
    int altitude;
    int satellite_num;
    unsigned char reserved2[64];
} QEL_GPS_DATA;

/* The layouts are shared with every build of the library: pin them. */
QEL_STATIC_ASSERT(sizeof(QEL_CAMERA_INFO) == 240, "QEL_CAMERA_INFO size");
QEL_STATIC_ASSERT(offsetof(QEL_CAMERA_INFO, name) == 0, "QEL_CAMERA_INFO.name");
QEL_STATIC_ASSERT(offsetof(QEL_CAMERA_INFO, camera_id) == 64, "QEL_CAMERA_INFO.camera_id");
QEL_STATIC_ASSERT(offsetof(QEL_CAMERA_INFO, max_height) == 68, "QEL_CAMERA_INFO.max_height");
QEL_STATIC_ASSERT(offsetof(QEL_CAMERA_INFO, max_width) == 72, "QEL_CAMERA_INFO.max_width");
QEL_STATIC_ASSERT(offsetof(QEL_CAMERA_INFO, is_color_camera) == 76, "QEL_CAMERA_INFO.is_color_camera");
QEL_STATIC_ASSERT(offsetof(QEL_CAMERA_INFO, bayer_pattern) == 80, "QEL_CAMERA_INFO.bayer_pattern");
QEL_STATIC_ASSERT(offsetof(QEL_CAMERA_INFO, supported_bins) == 84, "QEL_CAMERA_INFO.supported_bins");
QEL_STATIC_ASSERT(offsetof(QEL_CAMERA_INFO, supported_video_formats) == 148,
                  "QEL_CAMERA_INFO.supported_video_formats");
QEL_STATIC_ASSERT(offsetof(QEL_CAMERA_INFO, pixel_size) == 184, "QEL_CAMERA_INFO.pixel_size");
QEL_STATIC_ASSERT(offsetof(QEL_CAMERA_INFO, mechanical_shutter) == 192, "QEL_CAMERA_INFO.mechanical_shutter");
QEL_STATIC_ASSERT(offsetof(QEL_CAMERA_INFO, st_4_port) == 196, "QEL_CAMERA_INFO.st_4_port");
QEL_STATIC_ASSERT(offsetof(QEL_CAMERA_INFO, is_cooler_cam) == 200, "QEL_CAMERA_INFO.is_cooler_cam");
QEL_STATIC_ASSERT(offsetof(QEL_CAMERA_INFO, is_usb3_host) == 204, "QEL_CAMERA_INFO.is_usb3_host");
QEL_STATIC_ASSERT(offsetof(QEL_CAMERA_INFO, is_usb3_camera) == 208, "QEL_CAMERA_INFO.is_usb3_camera");
QEL_STATIC_ASSERT(offsetof(QEL_CAMERA_INFO, elec_per_adu) == 212, "QEL_CAMERA_INFO.elec_per_adu");
QEL_STATIC_ASSERT(offsetof(QEL_CAMERA_INFO, bit_depth) == 216, "QEL_CAMERA_INFO.bit_depth");
QEL_STATIC_ASSERT(offsetof(QEL_CAMERA_INFO, is_trigger_cam) == 220, "QEL_CAMERA_INFO.is_trigger_cam");
QEL_STATIC_ASSERT(offsetof(QEL_CAMERA_INFO, reserved) == 224, "QEL_CAMERA_INFO.reserved");

QEL_STATIC_ASSERT(sizeof(QEL_CONTROL_CAPS) == 248, "QEL_CONTROL_CAPS size");
QEL_STATIC_ASSERT(offsetof(QEL_CONTROL_CAPS, name) == 0, "QEL_CONTROL_CAPS.name");
QEL_STATIC_ASSERT(offsetof(QEL_CONTROL_CAPS, description) == 64, "QEL_CONTROL_CAPS.description");
QEL_STATIC_ASSERT(offsetof(QEL_CONTROL_CAPS, max_value) == 192, "QEL_CONTROL_CAPS.max_value");
QEL_STATIC_ASSERT(offsetof(QEL_CONTROL_CAPS, min_value) == 196, "QEL_CONTROL_CAPS.min_value");
QEL_STATIC_ASSERT(offsetof(QEL_CONTROL_CAPS, default_value) == 200, "QEL_CONTROL_CAPS.default_value");
QEL_STATIC_ASSERT(offsetof(QEL_CONTROL_CAPS, is_auto_supported) == 204, "QEL_CONTROL_CAPS.is_auto_supported");
QEL_STATIC_ASSERT(offsetof(QEL_CONTROL_CAPS, is_writable) == 208, "QEL_CONTROL_CAPS.is_writable");
QEL_STATIC_ASSERT(offsetof(QEL_CONTROL_CAPS, control_type) == 212, "QEL_CONTROL_CAPS.control_type");
QEL_STATIC_ASSERT(offsetof(QEL_CONTROL_CAPS, reserved) == 216, "QEL_CONTROL_CAPS.reserved");

QEL_STATIC_ASSERT(sizeof(QEL_ID) == 8, "QEL_ID size");
QEL_STATIC_ASSERT(offsetof(QEL_ID, id) == 0, "QEL_ID.id");

QEL_STATIC_ASSERT(sizeof(QEL_SUPPORTED_MODE) == 64, "QEL_SUPPORTED_MODE size");
QEL_STATIC_ASSERT(offsetof(QEL_SUPPORTED_MODE, SupportedCameraMode) == 0, "QEL_SUPPORTED_MODE.SupportedCameraMode");

QEL_STATIC_ASSERT(sizeof(QEL_GPS_DATA) == 184, "QEL_GPS_DATA size");
QEL_STATIC_ASSERT(offsetof(QEL_GPS_DATA, year) == 0, "QEL_GPS_DATA.year");
QEL_STATIC_ASSERT(offsetof(QEL_GPS_DATA, month) == 4, "QEL_GPS_DATA.month");
QEL_STATIC_ASSERT(offsetof(QEL_GPS_DATA, day) == 8, "QEL_GPS_DATA.day");
QEL_STATIC_ASSERT(offsetof(QEL_GPS_DATA, hour) == 12, "QEL_GPS_DATA.hour");
QEL_STATIC_ASSERT(offsetof(QEL_GPS_DATA, minute) == 16, "QEL_GPS_DATA.minute");
QEL_STATIC_ASSERT(offsetof(QEL_GPS_DATA, second) == 20, "QEL_GPS_DATA.second");
QEL_STATIC_ASSERT(offsetof(QEL_GPS_DATA, m_second) == 24, "QEL_GPS_DATA.m_second");
QEL_STATIC_ASSERT(offsetof(QEL_GPS_DATA, u_second) == 28, "QEL_GPS_DATA.u_second");
QEL_STATIC_ASSERT(offsetof(QEL_GPS_DATA, reserved1) == 32, "QEL_GPS_DATA.reserved1");
QEL_STATIC_ASSERT(offsetof(QEL_GPS_DATA, latitude) == 96, "QEL_GPS_DATA.latitude");
QEL_STATIC_ASSERT(offsetof(QEL_GPS_DATA, longitude) == 104, "QEL_GPS_DATA.longitude");
QEL_STATIC_ASSERT(offsetof(QEL_GPS_DATA, altitude) == 112, "QEL_GPS_DATA.altitude");
QEL_STATIC_ASSERT(offsetof(QEL_GPS_DATA, satellite_num) == 116, "QEL_GPS_DATA.satellite_num");
QEL_STATIC_ASSERT(offsetof(QEL_GPS_DATA, reserved2) == 120, "QEL_GPS_DATA.reserved2");

/* Discovery */
QEL_API int QELGetNumOfConnectedCameras(void);
QEL_API QEL_BOOL QELCameraCheck(int vendor_id, int product_id);
QEL_API const char *QELGetSDKVersion(void);
QEL_API int QELGetCameraProperty(QEL_CAMERA_INFO *camera_info, int camera_index);
QEL_API int QELGetCameraPropertyByID(int camera_id, QEL_CAMERA_INFO *camera_info);

/* Lifecycle and identity */
QEL_API int QELOpenCamera(int camera_id);
QEL_API int QELInitCamera(int camera_id);
QEL_API int QELCloseCamera(int camera_id);
QEL_API int QELGetID(int camera_id, QEL_ID *id);
QEL_API int QELSetID(int camera_id, QEL_ID id);
QEL_API int QELGetSerialNumber(int camera_id, QEL_ID *serial_number);

/* Controls */
QEL_API int QELGetNumOfControls(int camera_id, int *number_of_controls);
QEL_API int QELGetControlCaps(int camera_id, int control_index, QEL_CONTROL_CAPS *control_caps);
QEL_API int QELGetControlValue(int camera_id, int control_type, QEL_LONG *value, QEL_BOOL *is_auto);
QEL_API int QELSetControlValue(int camera_id, int control_type, QEL_LONG value, QEL_BOOL is_auto);

/* Region of interest */
QEL_API int QELSetROIFormat(int camera_id, int width, int height, int bin, int img_type);
QEL_API int QELGetROIFormat(int camera_id, int *width, int *height, int *bin, int *img_type);
QEL_API int QELSetStartPos(int camera_id, int start_x, int start_y);
QEL_API int QELGetStartPos(int camera_id, int *start_x, int *start_y);

/* Camera modes and triggers */
QEL_API int QELGetCameraSupportMode(int camera_id, QEL_SUPPORTED_MODE *supported_mode);
QEL_API int QELGetCameraMode(int camera_id, int *mode);
QEL_API int QELSetCameraMode(int camera_id, int mode);
QEL_API int QELSendSoftTrigger(int camera_id, QEL_BOOL start);
QEL_API int QELSetTriggerOutputIOConf(int camera_id, int pin, QEL_BOOL pin_high, QEL_LONG delay, QEL_LONG duration);
QEL_API int QELGetTriggerOutputIOConf(int camera_id, int pin, QEL_BOOL *pin_high, QEL_LONG *delay,
                                      QEL_LONG *duration);

/* Single-frame exposure */
QEL_API int QELStartExposure(int camera_id, QEL_BOOL is_dark);
QEL_API int QELStopExposure(int camera_id);
QEL_API int QELGetExpStatus(int camera_id, int *exp_status);
QEL_API int QELGetDataAfterExp(int camera_id, unsigned char *buffer, QEL_LONG buffer_size);
QEL_API int QELGetDataAfterExpGPS(int camera_id, unsigned char *buffer, QEL_LONG buffer_size, QEL_GPS_DATA *gps_data);

/* Video capture */
QEL_API int QELStartVideoCapture(int camera_id);
QEL_API int QELStopVideoCapture(int camera_id);
QEL_API int QELGetVideoData(int camera_id, unsigned char *buffer, QEL_LONG buffer_size, int wait_ms);
QEL_API int QELGetVideoDataGPS(int camera_id, unsigned char *buffer, QEL_LONG buffer_size, int wait_ms,
                               QEL_GPS_DATA *gps_data);
QEL_API int QELGetDroppedFrames(int camera_id, int *dropped_frames);

/* Guiding, dark subtraction, gain presets, GPS */
QEL_API int QELPulseGuideOn(int camera_id, int direction);
QEL_API int QELPulseGuideOff(int camera_id, int direction);
QEL_API int QELEnableDarkSubtract(int camera_id, const char *bmp_path);
QEL_API int QELDisableDarkSubtract(int camera_id);
QEL_API int QELGetGainOffset(int camera_id, int *offset_highest_dr, int *offset_unity_gain, int *gain_lowest_rn,
                             int *offset_lowest_rn);
QEL_API int QELGetLMHGainOffset(int camera_id, int *l_gain, int *m_gain, int *h_gain, int *h_offset);
QEL_API int QELGPSGetData(int camera_id, QEL_GPS_DATA *start_line, QEL_GPS_DATA *end_line);

#ifdef __cplusplus
}
#endif

#endif /* QEL_CAMERA2_H */
