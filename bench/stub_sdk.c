/* The thinnest Camera SDK there can be, for the call-overhead benchmark: every entry point answers at
 * once with success and leaves its outputs as the caller made them, except that image reads fill the
 * whole buffer, as a camera does. What the benchmark measures is then the binding alone. */
#include <string.h>

#include "QELCamera2.h"

QEL_API int QELGetNumOfConnectedCameras(void) { return 1; }
QEL_API QEL_BOOL QELCameraCheck(int vendor_id, int product_id) { (void)vendor_id; (void)product_id; return 1; }
QEL_API const char *QELGetSDKVersion(void) { return "stub"; }
QEL_API int QELGetCameraProperty(QEL_CAMERA_INFO *camera_info, int camera_index) { (void)camera_info; (void)camera_index; return QEL_SUCCESS; }
QEL_API int QELGetCameraPropertyByID(int camera_id, QEL_CAMERA_INFO *camera_info) { (void)camera_id; (void)camera_info; return QEL_SUCCESS; }
QEL_API int QELOpenCamera(int camera_id) { (void)camera_id; return QEL_SUCCESS; }
QEL_API int QELInitCamera(int camera_id) { (void)camera_id; return QEL_SUCCESS; }
QEL_API int QELCloseCamera(int camera_id) { (void)camera_id; return QEL_SUCCESS; }
QEL_API int QELGetID(int camera_id, QEL_ID *id) { (void)camera_id; (void)id; return QEL_SUCCESS; }
QEL_API int QELSetID(int camera_id, QEL_ID id) { (void)camera_id; (void)id; return QEL_SUCCESS; }
QEL_API int QELGetSerialNumber(int camera_id, QEL_ID *serial_number) { (void)camera_id; (void)serial_number; return QEL_SUCCESS; }
QEL_API int QELGetNumOfControls(int camera_id, int *number_of_controls) { (void)camera_id; (void)number_of_controls; return QEL_SUCCESS; }
QEL_API int QELGetControlCaps(int camera_id, int control_index, QEL_CONTROL_CAPS *control_caps) { (void)camera_id; (void)control_index; (void)control_caps; return QEL_SUCCESS; }
QEL_API int QELGetControlValue(int camera_id, int control_type, QEL_LONG *value, QEL_BOOL *is_auto) { (void)camera_id; (void)control_type; (void)value; (void)is_auto; return QEL_SUCCESS; }
QEL_API int QELSetControlValue(int camera_id, int control_type, QEL_LONG value, QEL_BOOL is_auto) { (void)camera_id; (void)control_type; (void)value; (void)is_auto; return QEL_SUCCESS; }
QEL_API int QELSetROIFormat(int camera_id, int width, int height, int bin, int img_type) { (void)camera_id; (void)width; (void)height; (void)bin; (void)img_type; return QEL_SUCCESS; }
QEL_API int QELGetROIFormat(int camera_id, int *width, int *height, int *bin, int *img_type) { (void)camera_id; (void)width; (void)height; (void)bin; (void)img_type; return QEL_SUCCESS; }
QEL_API int QELSetStartPos(int camera_id, int start_x, int start_y) { (void)camera_id; (void)start_x; (void)start_y; return QEL_SUCCESS; }
QEL_API int QELGetStartPos(int camera_id, int *start_x, int *start_y) { (void)camera_id; (void)start_x; (void)start_y; return QEL_SUCCESS; }
QEL_API int QELGetCameraSupportMode(int camera_id, QEL_SUPPORTED_MODE *supported_mode) { (void)camera_id; (void)supported_mode; return QEL_SUCCESS; }
QEL_API int QELGetCameraMode(int camera_id, int *mode) { (void)camera_id; (void)mode; return QEL_SUCCESS; }
QEL_API int QELSetCameraMode(int camera_id, int mode) { (void)camera_id; (void)mode; return QEL_SUCCESS; }
QEL_API int QELSendSoftTrigger(int camera_id, QEL_BOOL start) { (void)camera_id; (void)start; return QEL_SUCCESS; }
QEL_API int QELSetTriggerOutputIOConf(int camera_id, int pin, QEL_BOOL pin_high, QEL_LONG delay, QEL_LONG duration) { (void)camera_id; (void)pin; (void)pin_high; (void)delay; (void)duration; return QEL_SUCCESS; }
QEL_API int QELGetTriggerOutputIOConf(int camera_id, int pin, QEL_BOOL *pin_high, QEL_LONG *delay, QEL_LONG *duration) { (void)camera_id; (void)pin; (void)pin_high; (void)delay; (void)duration; return QEL_SUCCESS; }
QEL_API int QELStartExposure(int camera_id, QEL_BOOL is_dark) { (void)camera_id; (void)is_dark; return QEL_SUCCESS; }
QEL_API int QELStopExposure(int camera_id) { (void)camera_id; return QEL_SUCCESS; }
QEL_API int QELGetExpStatus(int camera_id, int *exp_status) { (void)camera_id; (void)exp_status; return QEL_SUCCESS; }
QEL_API int QELGetDataAfterExp(int camera_id, unsigned char *buffer, QEL_LONG buffer_size) { (void)camera_id; memset(buffer, 0x5a, (size_t)buffer_size); return QEL_SUCCESS; }
QEL_API int QELGetDataAfterExpGPS(int camera_id, unsigned char *buffer, QEL_LONG buffer_size, QEL_GPS_DATA *gps_data) { (void)camera_id; (void)gps_data; memset(buffer, 0x5a, (size_t)buffer_size); return QEL_SUCCESS; }
QEL_API int QELStartVideoCapture(int camera_id) { (void)camera_id; return QEL_SUCCESS; }
QEL_API int QELStopVideoCapture(int camera_id) { (void)camera_id; return QEL_SUCCESS; }
QEL_API int QELGetVideoData(int camera_id, unsigned char *buffer, QEL_LONG buffer_size, int wait_ms) { (void)camera_id; (void)wait_ms; memset(buffer, 0x5a, (size_t)buffer_size); return QEL_SUCCESS; }
QEL_API int QELGetVideoDataGPS(int camera_id, unsigned char *buffer, QEL_LONG buffer_size, int wait_ms, QEL_GPS_DATA *gps_data) { (void)camera_id; (void)wait_ms; (void)gps_data; memset(buffer, 0x5a, (size_t)buffer_size); return QEL_SUCCESS; }
QEL_API int QELGetDroppedFrames(int camera_id, int *dropped_frames) { (void)camera_id; (void)dropped_frames; return QEL_SUCCESS; }
QEL_API int QELPulseGuideOn(int camera_id, int direction) { (void)camera_id; (void)direction; return QEL_SUCCESS; }
QEL_API int QELPulseGuideOff(int camera_id, int direction) { (void)camera_id; (void)direction; return QEL_SUCCESS; }
QEL_API int QELEnableDarkSubtract(int camera_id, const char *bmp_path) { (void)camera_id; (void)bmp_path; return QEL_SUCCESS; }
QEL_API int QELDisableDarkSubtract(int camera_id) { (void)camera_id; return QEL_SUCCESS; }
QEL_API int QELGetGainOffset(int camera_id, int *offset_highest_dr, int *offset_unity_gain, int *gain_lowest_rn, int *offset_lowest_rn) { (void)camera_id; (void)offset_highest_dr; (void)offset_unity_gain; (void)gain_lowest_rn; (void)offset_lowest_rn; return QEL_SUCCESS; }
QEL_API int QELGetLMHGainOffset(int camera_id, int *l_gain, int *m_gain, int *h_gain, int *h_offset) { (void)camera_id; (void)l_gain; (void)m_gain; (void)h_gain; (void)h_offset; return QEL_SUCCESS; }
QEL_API int QELGPSGetData(int camera_id, QEL_GPS_DATA *start_line, QEL_GPS_DATA *end_line) { (void)camera_id; (void)start_line; (void)end_line; return QEL_SUCCESS; }
