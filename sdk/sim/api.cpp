// The 42 Camera SDK entry points and the simulator's control API: journal the call, honour an injected
// fault, then validate and dispatch to the camera. No C++ exception crosses this file's boundary.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "QELSim.h"
#include "camera.h"
#include "clock.h"
#include "config.h"
#include "journal.h"

using namespace qelsim;

namespace {

long long a(const void *p) { return address(p); }

// Runs f, turning anything it throws (out of memory, no thread to be had) into a general failure.
template <class F>
int guarded(F f) {
    try {
        return f();
    } catch (...) {
        return QEL_ERR_GENERAL;
    }
}

// Runs f on the camera with this id, or answers QEL_ERR_INVALID_ID.
template <class F>
int on_camera(int camera_id, F f) {
    return guarded([&]() -> int {
        std::shared_ptr<Camera> camera;
        if (int rc = Registry::instance().by_id(camera_id, camera)) return rc;
        return f(*camera);
    });
}

// Copies a message into a caller's buffer of `size` bytes, cut to fit and NUL-terminated.
void copy_text(const std::string &text, char *buffer, int size) {
    if (!buffer || size <= 0) return;
    const std::size_t n = std::min(text.size(), static_cast<std::size_t>(size) - 1);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
}

}  // namespace

extern "C" {

// ---- discovery

QEL_API int QELGetNumOfConnectedCameras(void) {
    CallRecord call(Ep::GetNumOfConnectedCameras, {});
    if (call.faulted()) return call.fault_code();
    return call.finish(guarded([] { return Registry::instance().count(); }));
}

QEL_API QEL_BOOL QELCameraCheck(int vendor_id, int product_id) {
    CallRecord call(Ep::CameraCheck, {vendor_id, product_id});
    if (call.faulted()) return call.fault_code();
    return call.finish(guarded([&] { return Registry::instance().is_product(vendor_id, product_id) ? 1 : 0; }));
}

QEL_API const char *QELGetSDKVersion(void) {
    CallRecord call(Ep::GetSDKVersion, {});
    if (call.faulted()) return call.fault_text();
    call.finish(0);
    return kSdkVersion;
}

QEL_API int QELGetCameraProperty(QEL_CAMERA_INFO *camera_info, int camera_index) {
    CallRecord call(Ep::GetCameraProperty, {a(camera_info), camera_index}, {{0, camera_info, sizeof *camera_info}});
    if (call.faulted()) return call.fault_code();
    return call.finish(guarded([&]() -> int {
        std::shared_ptr<Camera> camera;
        if (int rc = Registry::instance().by_index(camera_index, camera)) return rc;
        return camera->info(camera_info);
    }));
}

QEL_API int QELGetCameraPropertyByID(int camera_id, QEL_CAMERA_INFO *camera_info) {
    CallRecord call(Ep::GetCameraPropertyByID, {camera_id, a(camera_info)}, {{1, camera_info, sizeof *camera_info}});
    if (call.faulted()) return call.fault_code();
    return call.finish(on_camera(camera_id, [&](Camera &c) { return c.info(camera_info); }));
}

// ---- lifecycle and identity

QEL_API int QELOpenCamera(int camera_id) {
    CallRecord call(Ep::OpenCamera, {camera_id});
    if (call.faulted()) return call.fault_code();
    return call.finish(on_camera(camera_id, [&](Camera &c) { return c.open(); }));
}

QEL_API int QELInitCamera(int camera_id) {
    CallRecord call(Ep::InitCamera, {camera_id});
    if (call.faulted()) return call.fault_code();
    return call.finish(on_camera(camera_id, [&](Camera &c) { return c.init(); }));
}

QEL_API int QELCloseCamera(int camera_id) {
    CallRecord call(Ep::CloseCamera, {camera_id});
    if (call.faulted()) return call.fault_code();
    return call.finish(on_camera(camera_id, [&](Camera &c) { return c.close(); }));
}

QEL_API int QELGetID(int camera_id, QEL_ID *id) {
    CallRecord call(Ep::GetID, {camera_id, a(id)}, {{1, id, sizeof *id}});
    if (call.faulted()) return call.fault_code();
    return call.finish(on_camera(camera_id, [&](Camera &c) { return c.get_id(id); }));
}

QEL_API int QELSetID(int camera_id, QEL_ID id) {
    CallRecord call(Ep::SetID, {camera_id});
    call.note_id(id.id);
    if (call.faulted()) return call.fault_code();
    return call.finish(on_camera(camera_id, [&](Camera &c) { return c.set_id(id); }));
}

QEL_API int QELGetSerialNumber(int camera_id, QEL_ID *serial_number) {
    CallRecord call(Ep::GetSerialNumber, {camera_id, a(serial_number)}, {{1, serial_number, sizeof *serial_number}});
    if (call.faulted()) return call.fault_code();
    return call.finish(on_camera(camera_id, [&](Camera &c) { return c.serial_number(serial_number); }));
}

// ---- controls

QEL_API int QELGetNumOfControls(int camera_id, int *number_of_controls) {
    CallRecord call(Ep::GetNumOfControls, {camera_id, a(number_of_controls)}, {{1, number_of_controls, sizeof(int)}});
    if (call.faulted()) return call.fault_code();
    return call.finish(on_camera(camera_id, [&](Camera &c) { return c.num_controls(number_of_controls); }));
}

QEL_API int QELGetControlCaps(int camera_id, int control_index, QEL_CONTROL_CAPS *control_caps) {
    CallRecord call(Ep::GetControlCaps, {camera_id, control_index, a(control_caps)},
                    {{2, control_caps, sizeof *control_caps}});
    if (call.faulted()) return call.fault_code();
    return call.finish(on_camera(camera_id, [&](Camera &c) { return c.control_caps(control_index, control_caps); }));
}

QEL_API int QELGetControlValue(int camera_id, int control_type, QEL_LONG *value, QEL_BOOL *is_auto) {
    CallRecord call(Ep::GetControlValue, {camera_id, control_type, a(value), a(is_auto)},
                    {{2, value, sizeof *value}, {3, is_auto, sizeof *is_auto}});
    if (call.faulted()) return call.fault_code();
    return call.finish(on_camera(camera_id, [&](Camera &c) { return c.get_control(control_type, value, is_auto); }));
}

QEL_API int QELSetControlValue(int camera_id, int control_type, QEL_LONG value, QEL_BOOL is_auto) {
    CallRecord call(Ep::SetControlValue, {camera_id, control_type, value, is_auto});
    if (call.faulted()) return call.fault_code();
    return call.finish(on_camera(camera_id, [&](Camera &c) { return c.set_control(control_type, value, is_auto); }));
}

// ---- region of interest

QEL_API int QELSetROIFormat(int camera_id, int width, int height, int bin, int img_type) {
    CallRecord call(Ep::SetROIFormat, {camera_id, width, height, bin, img_type});
    if (call.faulted()) return call.fault_code();
    return call.finish(on_camera(camera_id, [&](Camera &c) { return c.set_roi(width, height, bin, img_type); }));
}

QEL_API int QELGetROIFormat(int camera_id, int *width, int *height, int *bin, int *img_type) {
    CallRecord call(Ep::GetROIFormat, {camera_id, a(width), a(height), a(bin), a(img_type)},
                    {{1, width, sizeof(int)}, {2, height, sizeof(int)}, {3, bin, sizeof(int)}, {4, img_type, sizeof(int)}});
    if (call.faulted()) return call.fault_code();
    return call.finish(on_camera(camera_id, [&](Camera &c) { return c.get_roi(width, height, bin, img_type); }));
}

QEL_API int QELSetStartPos(int camera_id, int start_x, int start_y) {
    CallRecord call(Ep::SetStartPos, {camera_id, start_x, start_y});
    if (call.faulted()) return call.fault_code();
    return call.finish(on_camera(camera_id, [&](Camera &c) { return c.set_start(start_x, start_y); }));
}

QEL_API int QELGetStartPos(int camera_id, int *start_x, int *start_y) {
    CallRecord call(Ep::GetStartPos, {camera_id, a(start_x), a(start_y)},
                    {{1, start_x, sizeof(int)}, {2, start_y, sizeof(int)}});
    if (call.faulted()) return call.fault_code();
    return call.finish(on_camera(camera_id, [&](Camera &c) { return c.get_start(start_x, start_y); }));
}

// ---- camera modes and triggers

QEL_API int QELGetCameraSupportMode(int camera_id, QEL_SUPPORTED_MODE *supported_mode) {
    CallRecord call(Ep::GetCameraSupportMode, {camera_id, a(supported_mode)},
                    {{1, supported_mode, sizeof *supported_mode}});
    if (call.faulted()) return call.fault_code();
    return call.finish(on_camera(camera_id, [&](Camera &c) { return c.support_modes(supported_mode); }));
}

QEL_API int QELGetCameraMode(int camera_id, int *mode) {
    CallRecord call(Ep::GetCameraMode, {camera_id, a(mode)}, {{1, mode, sizeof *mode}});
    if (call.faulted()) return call.fault_code();
    return call.finish(on_camera(camera_id, [&](Camera &c) { return c.get_mode(mode); }));
}

QEL_API int QELSetCameraMode(int camera_id, int mode) {
    CallRecord call(Ep::SetCameraMode, {camera_id, mode});
    if (call.faulted()) return call.fault_code();
    return call.finish(on_camera(camera_id, [&](Camera &c) { return c.set_mode(mode); }));
}

QEL_API int QELSendSoftTrigger(int camera_id, QEL_BOOL start) {
    CallRecord call(Ep::SendSoftTrigger, {camera_id, start});
    if (call.faulted()) return call.fault_code();
    return call.finish(on_camera(camera_id, [&](Camera &c) { return c.soft_trigger(start != 0); }));
}

QEL_API int QELSetTriggerOutputIOConf(int camera_id, int pin, QEL_BOOL pin_high, QEL_LONG delay, QEL_LONG duration) {
    CallRecord call(Ep::SetTriggerOutputIOConf, {camera_id, pin, pin_high, delay, duration});
    if (call.faulted()) return call.fault_code();
    return call.finish(on_camera(camera_id, [&](Camera &c) { return c.set_trigger_output(pin, pin_high != 0, delay, duration); }));
}

QEL_API int QELGetTriggerOutputIOConf(int camera_id, int pin, QEL_BOOL *pin_high, QEL_LONG *delay,
                                      QEL_LONG *duration) {
    CallRecord call(Ep::GetTriggerOutputIOConf, {camera_id, pin, a(pin_high), a(delay), a(duration)},
                    {{2, pin_high, sizeof *pin_high}, {3, delay, sizeof *delay}, {4, duration, sizeof *duration}});
    if (call.faulted()) return call.fault_code();
    return call.finish(on_camera(camera_id, [&](Camera &c) { return c.get_trigger_output(pin, pin_high, delay, duration); }));
}

// ---- single-frame exposure

QEL_API int QELStartExposure(int camera_id, QEL_BOOL is_dark) {
    CallRecord call(Ep::StartExposure, {camera_id, is_dark});
    if (call.faulted()) return call.fault_code();
    return call.finish(on_camera(camera_id, [&](Camera &c) { return c.start_exposure(is_dark != 0); }));
}

QEL_API int QELStopExposure(int camera_id) {
    CallRecord call(Ep::StopExposure, {camera_id});
    if (call.faulted()) return call.fault_code();
    return call.finish(on_camera(camera_id, [&](Camera &c) { return c.stop_exposure(); }));
}

QEL_API int QELGetExpStatus(int camera_id, int *exp_status) {
    CallRecord call(Ep::GetExpStatus, {camera_id, a(exp_status)}, {{1, exp_status, sizeof *exp_status}});
    if (call.faulted()) return call.fault_code();
    return call.finish(on_camera(camera_id, [&](Camera &c) { return c.exposure_status(exp_status); }));
}

QEL_API int QELGetDataAfterExp(int camera_id, unsigned char *buffer, QEL_LONG buffer_size) {
    CallRecord call(Ep::GetDataAfterExp, {camera_id, a(buffer), buffer_size}, {{1, buffer, buffer_size}});
    if (call.faulted()) return call.fault_code();
    return call.finish(on_camera(camera_id, [&](Camera &c) { return c.exposure_data(buffer, buffer_size, nullptr, false); }));
}

QEL_API int QELGetDataAfterExpGPS(int camera_id, unsigned char *buffer, QEL_LONG buffer_size, QEL_GPS_DATA *gps_data) {
    CallRecord call(Ep::GetDataAfterExpGPS, {camera_id, a(buffer), buffer_size, a(gps_data)},
                    {{1, buffer, buffer_size}, {3, gps_data, sizeof *gps_data}});
    if (call.faulted()) return call.fault_code();
    return call.finish(on_camera(camera_id, [&](Camera &c) { return c.exposure_data(buffer, buffer_size, gps_data, true); }));
}

// ---- video capture

QEL_API int QELStartVideoCapture(int camera_id) {
    CallRecord call(Ep::StartVideoCapture, {camera_id});
    if (call.faulted()) return call.fault_code();
    return call.finish(on_camera(camera_id, [&](Camera &c) { return c.start_video(); }));
}

QEL_API int QELStopVideoCapture(int camera_id) {
    CallRecord call(Ep::StopVideoCapture, {camera_id});
    if (call.faulted()) return call.fault_code();
    return call.finish(on_camera(camera_id, [&](Camera &c) { return c.stop_video(); }));
}

QEL_API int QELGetVideoData(int camera_id, unsigned char *buffer, QEL_LONG buffer_size, int wait_ms) {
    CallRecord call(Ep::GetVideoData, {camera_id, a(buffer), buffer_size, wait_ms}, {{1, buffer, buffer_size}});
    if (call.faulted()) return call.fault_code();
    return call.finish(on_camera(camera_id, [&](Camera &c) { return c.video_data(buffer, buffer_size, wait_ms, nullptr, false); }));
}

QEL_API int QELGetVideoDataGPS(int camera_id, unsigned char *buffer, QEL_LONG buffer_size, int wait_ms,
                               QEL_GPS_DATA *gps_data) {
    CallRecord call(Ep::GetVideoDataGPS, {camera_id, a(buffer), buffer_size, wait_ms, a(gps_data)},
                    {{1, buffer, buffer_size}, {4, gps_data, sizeof *gps_data}});
    if (call.faulted()) return call.fault_code();
    return call.finish(on_camera(camera_id, [&](Camera &c) { return c.video_data(buffer, buffer_size, wait_ms, gps_data, true); }));
}

QEL_API int QELGetDroppedFrames(int camera_id, int *dropped_frames) {
    CallRecord call(Ep::GetDroppedFrames, {camera_id, a(dropped_frames)}, {{1, dropped_frames, sizeof *dropped_frames}});
    if (call.faulted()) return call.fault_code();
    return call.finish(on_camera(camera_id, [&](Camera &c) { return c.dropped_frames(dropped_frames); }));
}

// ---- guiding, dark subtraction, gain presets, GPS

QEL_API int QELPulseGuideOn(int camera_id, int direction) {
    CallRecord call(Ep::PulseGuideOn, {camera_id, direction});
    if (call.faulted()) return call.fault_code();
    return call.finish(on_camera(camera_id, [&](Camera &c) { return c.guide(direction, true); }));
}

QEL_API int QELPulseGuideOff(int camera_id, int direction) {
    CallRecord call(Ep::PulseGuideOff, {camera_id, direction});
    if (call.faulted()) return call.fault_code();
    return call.finish(on_camera(camera_id, [&](Camera &c) { return c.guide(direction, false); }));
}

QEL_API int QELEnableDarkSubtract(int camera_id, const char *bmp_path) {
    CallRecord call(Ep::EnableDarkSubtract, {camera_id, a(bmp_path)});
    call.note_text(bmp_path);
    if (call.faulted()) return call.fault_code();
    return call.finish(on_camera(camera_id, [&](Camera &c) { return c.enable_dark(bmp_path); }));
}

QEL_API int QELDisableDarkSubtract(int camera_id) {
    CallRecord call(Ep::DisableDarkSubtract, {camera_id});
    if (call.faulted()) return call.fault_code();
    return call.finish(on_camera(camera_id, [&](Camera &c) { return c.disable_dark(); }));
}

QEL_API int QELGetGainOffset(int camera_id, int *offset_highest_dr, int *offset_unity_gain, int *gain_lowest_rn,
                             int *offset_lowest_rn) {
    CallRecord call(Ep::GetGainOffset,
                    {camera_id, a(offset_highest_dr), a(offset_unity_gain), a(gain_lowest_rn), a(offset_lowest_rn)},
                    {{1, offset_highest_dr, sizeof(int)},
                     {2, offset_unity_gain, sizeof(int)},
                     {3, gain_lowest_rn, sizeof(int)},
                     {4, offset_lowest_rn, sizeof(int)}});
    if (call.faulted()) return call.fault_code();
    return call.finish(on_camera(camera_id, [&](Camera &c) {
        return c.gain_offset(offset_highest_dr, offset_unity_gain, gain_lowest_rn, offset_lowest_rn);
    }));
}

QEL_API int QELGetLMHGainOffset(int camera_id, int *l_gain, int *m_gain, int *h_gain, int *h_offset) {
    CallRecord call(Ep::GetLMHGainOffset, {camera_id, a(l_gain), a(m_gain), a(h_gain), a(h_offset)},
                    {{1, l_gain, sizeof(int)}, {2, m_gain, sizeof(int)}, {3, h_gain, sizeof(int)}, {4, h_offset, sizeof(int)}});
    if (call.faulted()) return call.fault_code();
    return call.finish(on_camera(camera_id, [&](Camera &c) { return c.lmh_gain_offset(l_gain, m_gain, h_gain, h_offset); }));
}

QEL_API int QELGPSGetData(int camera_id, QEL_GPS_DATA *start_line, QEL_GPS_DATA *end_line) {
    CallRecord call(Ep::GPSGetData, {camera_id, a(start_line), a(end_line)},
                    {{1, start_line, sizeof *start_line}, {2, end_line, sizeof *end_line}});
    if (call.faulted()) return call.fault_code();
    return call.finish(on_camera(camera_id, [&](Camera &c) { return c.gps_data(start_line, end_line); }));
}

// ---- control API

QEL_API void QELSimReset(void) {
    reset_faults();
    reset_journal();
    guarded([] {
        Registry::instance().reset_to_base();
        return 0;
    });
}

QEL_API int QELSimConfigure(const char *text, char *error, int error_size) {
    return guarded([&] {
        Config config;
        std::string message;
        if (!text) {
            message = Registry::instance().reset_to_base();
            reset_faults();
            reset_journal();
            copy_text(message, error, error_size);
            return message.empty() ? 0 : -1;
        }
        if (!parse_config(text, config, message)) {
            copy_text(message, error, error_size);
            return -1;
        }
        reset_faults();
        reset_journal();
        Registry::instance().configure(config);
        copy_text("", error, error_size);
        return 0;
    });
}

QEL_API int QELSimLoadConfig(const char *path, char *error, int error_size) {
    return guarded([&] {
        std::string text, message;
        Config config;
        if (!path || !read_config_file(path, text, message) || !parse_config(text, config, message)) {
            copy_text(path ? message : "no path", error, error_size);
            return -1;
        }
        reset_faults();
        reset_journal();
        Registry::instance().configure(config);
        copy_text("", error, error_size);
        return 0;
    });
}

QEL_API int QELSimBaseConfigError(char *error, int error_size) {
    return guarded([&] {
        const std::string message = Registry::instance().base_error();
        copy_text(message, error, error_size);
        return static_cast<int>(message.size());
    });
}

QEL_API int QELSimPlugCamera(const char *text, char *error, int error_size) {
    return guarded([&] {
        CameraSpec spec;
        std::string message;
        if (!parse_camera(text ? text : "", spec, message)) {
            copy_text(message, error, error_size);
            return -1;
        }
        copy_text("", error, error_size);
        return Registry::instance().plug(spec);
    });
}

QEL_API int QELSimUnplugCamera(int camera_id) {
    return guarded([&] { return Registry::instance().unplug(camera_id); });
}

QEL_API int QELSimReplugCamera(int camera_id) {
    return guarded([&] { return Registry::instance().replug(camera_id); });
}

QEL_API int QELSimSetTriggerInput(int camera_id, int level) {
    return on_camera(camera_id, [&](Camera &c) { return c.set_trigger_input(level); });
}

QEL_API int QELSimTriggerPulse(int camera_id, int duration_us) {
    return on_camera(camera_id, [&](Camera &c) { return c.trigger_pulse(duration_us); });
}

QEL_API int QELSimSetClockSpeed(double factor) { return clock::set_speed(factor) ? 0 : -1; }

QEL_API double QELSimClockSpeed(void) { return clock::speed(); }

QEL_API long long QELSimNow(void) { return clock::now(); }

QEL_API int QELSimGetPointing(int camera_id, double *x, double *y) {
    return on_camera(camera_id, [&](Camera &c) { return c.pointing(x, y); });
}

QEL_API int QELSimSetTemperature(int camera_id, double celsius) {
    return on_camera(camera_id, [&](Camera &c) { return c.force_temperature(celsius); });
}

QEL_API int QELSimGetTiming(int camera_id, double *readout_us, double *frame_interval_us) {
    return on_camera(camera_id, [&](Camera &c) { return c.timing(readout_us, frame_interval_us); });
}

QEL_API int QELSimSetCover(int camera_id, int covered) {
    return on_camera(camera_id, [&](Camera &c) { return c.set_cover(covered != 0); });
}

QEL_API int QELSimSkyToPixel(int camera_id, double ra, double dec, double *x, double *y) {
    return on_camera(camera_id, [&](Camera &c) { return c.sky_to_pixel(ra, dec, x, y); });
}

QEL_API int QELSimPixelToSky(int camera_id, double x, double y, double *ra, double *dec) {
    return on_camera(camera_id, [&](Camera &c) { return c.pixel_to_sky(x, y, ra, dec); });
}

QEL_API int QELSimGetStars(int camera_id, double *rows, int max_rows, int *count) {
    return on_camera(camera_id, [&](Camera &c) { return c.field_stars(rows, max_rows, count); });
}

QEL_API int QELSimSetStars(const double *rows, int count, int replace) {
    return guarded([&] { return set_user_stars(rows, count, replace != 0); });
}

}  // extern "C"
