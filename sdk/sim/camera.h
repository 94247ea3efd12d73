// One simulated camera: its state machine and every operation on it.
//
// Each camera has one mutex; every operation takes it, checks the camera's state and arguments, and
// answers with a result code. Long work (frame synthesis, frame copies, file reads) runs outside the
// lock on snapshotted parameters, so calls on one camera never wait for another camera and waits for
// frames never block the frame producer. Frames are rendered by the camera's own threads (the video
// producer, the single exposures' read-out), never by the thread that reads them.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "QELCamera2.h"
#include "clock.h"
#include "config.h"
#include "controls.h"
#include "model.h"
#include "mount.h"
#include "producer.h"
#include "sensor.h"

namespace qelsim {

class Camera {
public:
    Camera(int id, const Model &model, std::int64_t utc_base_us);

    int id() const { return id_; }
    const Model &model() const { return model_; }
    bool connected();

    // Every operation below returns a QEL result code.

    // ---- lifecycle and identity (camera.cpp)
    int info(QEL_CAMERA_INFO *info);
    int open();
    int init();
    int close();
    // Disconnects the camera: every later call answers QEL_ERR_CAMERA_REMOVED, waits end.
    void unplug();
    int get_id(QEL_ID *id);
    int set_id(const QEL_ID &id);
    int serial_number(QEL_ID *serial);

    // ---- controls (camera.cpp, values in controls.cpp)
    int num_controls(int *count);
    int control_caps(int index, QEL_CONTROL_CAPS *caps);
    int get_control(int type, QEL_LONG *value, QEL_BOOL *is_auto);
    int set_control(int type, QEL_LONG value, QEL_BOOL is_auto);

    // ---- region of interest (camera.cpp)
    int set_roi(int width, int height, int bin, int img_type);
    int get_roi(int *width, int *height, int *bin, int *img_type);
    int set_start(int x, int y);
    int get_start(int *x, int *y);

    // ---- modes and triggers (producer.cpp)
    int support_modes(QEL_SUPPORTED_MODE *modes);
    int get_mode(int *mode);
    int set_mode(int mode);
    int soft_trigger(bool start);
    int set_trigger_output(int pin, bool high, QEL_LONG delay, QEL_LONG duration);
    int get_trigger_output(int pin, QEL_BOOL *high, QEL_LONG *delay, QEL_LONG *duration);

    // ---- single exposures (producer.cpp)
    int start_exposure(bool dark);
    int stop_exposure();
    int exposure_status(int *status);
    int exposure_data(unsigned char *buffer, QEL_LONG size, QEL_GPS_DATA *gps, bool want_gps);

    // ---- video (producer.cpp)
    int start_video();
    int stop_video();
    int video_data(unsigned char *buffer, QEL_LONG size, int wait_ms, QEL_GPS_DATA *gps, bool want_gps);
    int dropped_frames(int *dropped);

    // ---- guiding, dark frames, presets, GPS (camera.cpp)
    int guide(int direction, bool on);
    int enable_dark(const char *path);
    int disable_dark();
    int gain_offset(int *offset_highest_dr, int *offset_unity_gain, int *gain_lowest_rn, int *offset_lowest_rn);
    int lmh_gain_offset(int *low, int *mid, int *high, int *high_offset);
    int gps_data(QEL_GPS_DATA *start, QEL_GPS_DATA *end);

    // ---- control API
    int set_trigger_input(int level);
    int trigger_pulse(int duration_us);
    int pointing(double *x, double *y);
    int force_temperature(double celsius);
    int timing(double *readout_us, double *frame_interval_us);

    // ---- the sky this camera looks at (scene.cpp)
    int set_cover(bool covered);
    int sky_to_pixel(double ra, double dec, double *x, double *y);
    int pixel_to_sky(double x, double y, double *ra, double *dec);
    // The world coordinate system of the image as it is read now (region, binning, flip, the mount):
    // CRPIX1, CRPIX2, CRVAL1, CRVAL2, CD1_1, CD1_2, CD2_1, CD2_2 of a gnomonic projection, and the
    // image's size.
    int wcs(double *values, int *width, int *height);
    // Stars on the sensor now, brightest first: rows of x, y, V, B-V, ra, dec; their number in *count.
    int field_stars(double *rows, int max_rows, int *count);
    // The configured events (atmosphere.cpp): rows of kind, start and end (UTC microseconds since 1970),
    // x0, y0, x1, y1 (sensor pixels now), level (occultation: the star's flux left; meteors and
    // satellites: electrons per second at their brightest); their number in *count.
    int events(double *rows, int max_rows, int *count);

private:
    enum class State { closed, open, initialised };
    enum class Need { any, open, initialised };
    // The refusals every operation shares, answered in the order the README documents: removed,
    // closed, not initialised, what the model lacks, null outputs, then what runs (video, no capture,
    // an exposure). An operation names what it needs, `if (int rc = check(Need::open).outputs({p}))`,
    // under the camera's lock, and then checks only its own values.
    class Check {
    public:
        Check(const Camera &camera, Need need) : camera_(camera), need_(need) {}
        // The code refusing the call when the model (or the mode it is in) lacks what the call needs.
        Check &lacking(int code) {
            lacking_ = code;
            return *this;
        }
        // Outputs that must not be null (where `wanted`: the GPS record of a call that asks for one).
        Check &outputs(std::initializer_list<const void *> outputs, bool wanted = true);
        // What must not run: an exposure (QEL_ERR_EXPOSURE_IN_PROGRESS), and for idle() video as well
        // (QEL_ERR_VIDEO_MODE_ACTIVE).
        Check &no_exposure() {
            no_exposure_ = true;
            return *this;
        }
        Check &idle() {
            no_video_ = true;
            return no_exposure();
        }
        // What must run: video capture (QEL_ERR_INVALID_SEQUENCE).
        Check &capturing() {
            capturing_ = true;
            return *this;
        }
        // QEL_SUCCESS, or the first refusal.
        operator int() const;

    private:
        const Camera &camera_;
        const Need need_;
        int lacking_ = QEL_SUCCESS;
        bool null_output_ = false, no_video_ = false, no_exposure_ = false, capturing_ = false;
    };

    Check check(Need need) const { return Check(*this, need); }
    // The frame parameters of the current settings, without pointing or frame number.
    FrameParams frame_params() const;
    // What a frame exposed from `start` to `end` adds: pointing, dark current over the temperature's
    // history, the stars around the field.
    void finish_frame(FrameParams &p, SimTime start, SimTime end);
    // Where the scene was during the exposure (mean shift, path, seeing jitter), the air's share of the
    // light and the events inside it (atmosphere.cpp).
    void motion_and_events(FrameParams &p, SimTime start, SimTime end);
    // The stars that can shine into the sensor area [x0, x1] x [y0, y1] (sensor pixels, the scene shifted
    // by (shift_x, shift_y)), at least to magnitude `depth`.
    const std::shared_ptr<const StarField> &star_field(double x0, double y0, double x1, double y1, double shift_x,
                                                       double shift_y, double depth);
    double readout_us() const;
    double line_time_us() const;
    int frame_interval_us(double readout) const;
    void make_gps(SimTime start, SimTime end, double line_time, QEL_GPS_DATA &a, QEL_GPS_DATA &b) const;
    void update_exposure(SimTime now);
    void reset_settings();
    void restore_defaults();
    bool busy_exposing(SimTime now) const;
    // Takes the running capture out of the camera; the caller joins it after unlocking.
    std::shared_ptr<Capture> detach_capture();
    static void join(const std::shared_ptr<Capture> &capture);
    void produce(std::shared_ptr<Capture> capture);
    // The read-out thread of single exposures: started with the first exposure; detached (stopped, the
    // frame buffer let go) when the camera closes or goes away, and joined by the caller after unlocking.
    int start_readout();
    std::shared_ptr<Readout> detach_readout();
    static void join(const std::shared_ptr<Readout> &readout);
    void read_out(std::shared_ptr<Readout> readout);
    void on_trigger_level(int old_level, int level, SimTime now);

    const int id_;
    const Model model_;
    const std::int64_t utc_base_us_;
    const std::shared_ptr<const SensorMaps> maps_;
    const Projection projection_;
    double sky_[kChannels] = {};
    double brightest_rate_ = 0;  // electrons per second of a V = 0 star in its brightest channel

    std::mutex mutex_;
    std::condition_variable cv_;
    bool removed_ = false;
    State state_ = State::closed;
    Controls controls_;
    int width_ = 0, height_ = 0, bin_ = 1, img_type_ = IMG_RAW8, start_x_ = 0, start_y_ = 0;
    int mode_ = QEL_MODE_NORMAL;
    struct TriggerOutput {
        bool high = false;
        int delay = 0, duration = 0;
    } outputs_[2];
    int trigger_line_ = 0;
    Mount mount_;
    Exposure exposure_;
    std::shared_ptr<Readout> readout_;
    std::shared_ptr<std::vector<std::uint8_t>> frame_buffer_;  // where the read-out renders
    std::shared_ptr<Capture> capture_;
    std::deque<std::unique_ptr<Frame>> queue_;
    std::vector<std::unique_ptr<Frame>> pool_;
    int dropped_ = 0;
    std::uint64_t frame_number_ = 0;
    std::shared_ptr<const std::vector<std::uint8_t>> dark_;
    bool has_last_gps_ = false;
    QEL_GPS_DATA last_gps_start_{}, last_gps_end_{};
    bool covered_ = false;
    std::shared_ptr<const StarField> stars_;
};

void fill_info(const Camera &camera, QEL_CAMERA_INFO *info);

}  // namespace qelsim
