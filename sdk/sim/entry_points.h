// The Camera SDK's entry points, each declared once, in the order of QELCamera2.h. The journal, fault
// injection and the C functions of api.cpp are all made from this list; an entry point is one row here
// and the work it does (a Camera method or a registry call).
//
// X(result, name, (parameters as in QELCamera2.h), (the same as arguments), (positions of the outputs),
//   what it does: an expression of the arguments, ON_CAMERA(method(...)) for the camera `camera_id`)
#pragma once

#define QELSIM_ENTRY_POINTS(X)                                                                                   \
    X(int, GetNumOfConnectedCameras, (void), (), (), Registry::instance().count())                              \
    X(QEL_BOOL, CameraCheck, (int vendor_id, int product_id), (vendor_id, product_id), (),                        \
      Registry::instance().is_product(vendor_id, product_id))                                                    \
    X(const char *, GetSDKVersion, (void), (), (), kSdkVersion)                                                  \
    X(int, GetCameraProperty, (QEL_CAMERA_INFO *camera_info, int camera_index), (camera_info, camera_index), (0), \
      property_at(camera_index, camera_info))                                                      \
    X(int, GetCameraPropertyByID, (int camera_id, QEL_CAMERA_INFO *camera_info), (camera_id, camera_info), (1),   \
      ON_CAMERA(info(camera_info)))                                                                              \
    X(int, OpenCamera, (int camera_id), (camera_id), (), ON_CAMERA(open()))                                      \
    X(int, InitCamera, (int camera_id), (camera_id), (), ON_CAMERA(init()))                                      \
    X(int, CloseCamera, (int camera_id), (camera_id), (), ON_CAMERA(close()))                                    \
    X(int, GetID, (int camera_id, QEL_ID *id), (camera_id, id), (1), ON_CAMERA(get_id(id)))                      \
    X(int, SetID, (int camera_id, QEL_ID id), (camera_id, id), (), ON_CAMERA(set_id(id)))                        \
    X(int, GetSerialNumber, (int camera_id, QEL_ID *serial_number), (camera_id, serial_number), (1),             \
      ON_CAMERA(serial_number(serial_number)))                                                                   \
    X(int, GetNumOfControls, (int camera_id, int *number_of_controls), (camera_id, number_of_controls), (1),     \
      ON_CAMERA(num_controls(number_of_controls)))                                                               \
    X(int, GetControlCaps, (int camera_id, int control_index, QEL_CONTROL_CAPS *control_caps),                   \
      (camera_id, control_index, control_caps), (2), ON_CAMERA(control_caps(control_index, control_caps)))       \
    X(int, GetControlValue, (int camera_id, int control_type, QEL_LONG *value, QEL_BOOL *is_auto),               \
      (camera_id, control_type, value, is_auto), (2, 3), ON_CAMERA(get_control(control_type, value, is_auto)))   \
    X(int, SetControlValue, (int camera_id, int control_type, QEL_LONG value, QEL_BOOL is_auto),                 \
      (camera_id, control_type, value, is_auto), (), ON_CAMERA(set_control(control_type, value, is_auto)))       \
    X(int, SetROIFormat, (int camera_id, int width, int height, int bin, int img_type),                          \
      (camera_id, width, height, bin, img_type), (), ON_CAMERA(set_roi(width, height, bin, img_type)))           \
    X(int, GetROIFormat, (int camera_id, int *width, int *height, int *bin, int *img_type),                      \
      (camera_id, width, height, bin, img_type), (1, 2, 3, 4), ON_CAMERA(get_roi(width, height, bin, img_type))) \
    X(int, SetStartPos, (int camera_id, int start_x, int start_y), (camera_id, start_x, start_y), (),            \
      ON_CAMERA(set_start(start_x, start_y)))                                                                    \
    X(int, GetStartPos, (int camera_id, int *start_x, int *start_y), (camera_id, start_x, start_y), (1, 2),      \
      ON_CAMERA(get_start(start_x, start_y)))                                                                    \
    X(int, GetCameraSupportMode, (int camera_id, QEL_SUPPORTED_MODE *supported_mode),                            \
      (camera_id, supported_mode), (1), ON_CAMERA(support_modes(supported_mode)))                                \
    X(int, GetCameraMode, (int camera_id, int *mode), (camera_id, mode), (1), ON_CAMERA(get_mode(mode)))         \
    X(int, SetCameraMode, (int camera_id, int mode), (camera_id, mode), (), ON_CAMERA(set_mode(mode)))           \
    X(int, SendSoftTrigger, (int camera_id, QEL_BOOL start), (camera_id, start), (),                             \
      ON_CAMERA(soft_trigger(start != 0)))                                                                       \
    X(int, SetTriggerOutputIOConf, (int camera_id, int pin, QEL_BOOL pin_high, QEL_LONG delay, QEL_LONG duration), \
      (camera_id, pin, pin_high, delay, duration), (),                                                           \
      ON_CAMERA(set_trigger_output(pin, pin_high != 0, delay, duration)))                                        \
    X(int, GetTriggerOutputIOConf,                                                                               \
      (int camera_id, int pin, QEL_BOOL *pin_high, QEL_LONG *delay, QEL_LONG *duration),                         \
      (camera_id, pin, pin_high, delay, duration), (2, 3, 4),                                                    \
      ON_CAMERA(get_trigger_output(pin, pin_high, delay, duration)))                                             \
    X(int, StartExposure, (int camera_id, QEL_BOOL is_dark), (camera_id, is_dark), (),                           \
      ON_CAMERA(start_exposure(is_dark != 0)))                                                                   \
    X(int, StopExposure, (int camera_id), (camera_id), (), ON_CAMERA(stop_exposure()))                           \
    X(int, GetExpStatus, (int camera_id, int *exp_status), (camera_id, exp_status), (1),                         \
      ON_CAMERA(exposure_status(exp_status)))                                                                    \
    X(int, GetDataAfterExp, (int camera_id, unsigned char *buffer, QEL_LONG buffer_size),                        \
      (camera_id, buffer, buffer_size), (1), ON_CAMERA(exposure_data(buffer, buffer_size, nullptr, false)))      \
    X(int, GetDataAfterExpGPS, (int camera_id, unsigned char *buffer, QEL_LONG buffer_size, QEL_GPS_DATA *gps_data), \
      (camera_id, buffer, buffer_size, gps_data), (1, 3), ON_CAMERA(exposure_data(buffer, buffer_size, gps_data, true))) \
    X(int, StartVideoCapture, (int camera_id), (camera_id), (), ON_CAMERA(start_video()))                        \
    X(int, StopVideoCapture, (int camera_id), (camera_id), (), ON_CAMERA(stop_video()))                          \
    X(int, GetVideoData, (int camera_id, unsigned char *buffer, QEL_LONG buffer_size, int wait_ms),              \
      (camera_id, buffer, buffer_size, wait_ms), (1),                                                            \
      ON_CAMERA(video_data(buffer, buffer_size, wait_ms, nullptr, false)))                                       \
    X(int, GetVideoDataGPS,                                                                                      \
      (int camera_id, unsigned char *buffer, QEL_LONG buffer_size, int wait_ms, QEL_GPS_DATA *gps_data),         \
      (camera_id, buffer, buffer_size, wait_ms, gps_data), (1, 4),                                               \
      ON_CAMERA(video_data(buffer, buffer_size, wait_ms, gps_data, true)))                                       \
    X(int, GetDroppedFrames, (int camera_id, int *dropped_frames), (camera_id, dropped_frames), (1),             \
      ON_CAMERA(dropped_frames(dropped_frames)))                                                                 \
    X(int, PulseGuideOn, (int camera_id, int direction), (camera_id, direction), (), ON_CAMERA(guide(direction, true))) \
    X(int, PulseGuideOff, (int camera_id, int direction), (camera_id, direction), (),                            \
      ON_CAMERA(guide(direction, false)))                                                                        \
    X(int, EnableDarkSubtract, (int camera_id, const char *bmp_path), (camera_id, bmp_path), (),                 \
      ON_CAMERA(enable_dark(bmp_path)))                                                                          \
    X(int, DisableDarkSubtract, (int camera_id), (camera_id), (), ON_CAMERA(disable_dark()))                     \
    X(int, GetGainOffset,                                                                                        \
      (int camera_id, int *offset_highest_dr, int *offset_unity_gain, int *gain_lowest_rn, int *offset_lowest_rn), \
      (camera_id, offset_highest_dr, offset_unity_gain, gain_lowest_rn, offset_lowest_rn), (1, 2, 3, 4),         \
      ON_CAMERA(gain_offset(offset_highest_dr, offset_unity_gain, gain_lowest_rn, offset_lowest_rn)))            \
    X(int, GetLMHGainOffset, (int camera_id, int *l_gain, int *m_gain, int *h_gain, int *h_offset),              \
      (camera_id, l_gain, m_gain, h_gain, h_offset), (1, 2, 3, 4),                                               \
      ON_CAMERA(lmh_gain_offset(l_gain, m_gain, h_gain, h_offset)))                                              \
    X(int, GPSGetData, (int camera_id, QEL_GPS_DATA *start_line, QEL_GPS_DATA *end_line),                        \
      (camera_id, start_line, end_line), (1, 2), ON_CAMERA(gps_data(start_line, end_line)))
