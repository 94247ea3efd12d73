// The 42 Camera SDK entry points and the simulator's control API: journal the call, honour an injected
// fault, then validate and dispatch to the camera. No C++ exception crosses this file's boundary.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "QELSim.h"
#include "registry.h"
#include "clock.h"
#include "config.h"
#include "journal.h"
#include "model.h"
#include "starfile.h"

using namespace qelsim;

namespace {

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

int property_at(int camera_index, QEL_CAMERA_INFO *info) {
    std::shared_ptr<Camera> camera;
    if (int rc = Registry::instance().by_index(camera_index, camera)) return rc;
    return camera->info(info);
}

// Copies a message into a caller's buffer of `size` bytes, cut to fit and NUL-terminated.
void copy_text(const std::string &text, char *buffer, int size) {
    if (!buffer || size <= 0) return;
    const std::size_t n = std::min(text.size(), static_cast<std::size_t>(size) - 1);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
}

// Resets the simulator to a configuration: faults and journal forgotten, the cameras as configured.
int reset_to(const Config &config, char *error, int error_size) {
    reset_faults();
    reset_journal();
    Registry::instance().configure(config);
    copy_text("", error, error_size);
    return 0;
}

// ---- what the journal keeps of each argument

template <class T>
long long journal_value(const T &value) {
    if constexpr (std::is_pointer_v<T>) return address(value);
    if constexpr (std::is_integral_v<T>) return value;
    return 0;  // the record QELSetID takes by value, noted below
}

template <class T>
void note(CallRecord &call, const T &value) {
    if constexpr (std::is_same_v<T, QEL_ID>) call.note_id(value.id);
    if constexpr (std::is_same_v<T, const char *>) call.note_text(value);
}

// Argument `i` as an output the journal may write a fault's bytes into: an image buffer is as big as
// the size argument after it, any other output as what it points to.
template <unsigned outputs, std::size_t i, class Arguments>
Out output(const Arguments &args) {
    if constexpr (!(outputs & (1u << i))) {
        return {static_cast<int>(i), nullptr, 0};
    } else if constexpr (std::is_same_v<std::tuple_element_t<i, Arguments>, unsigned char *>) {
        return {static_cast<int>(i), std::get<i>(args), std::get<i + 1>(args)};
    } else {
        return {static_cast<int>(i), std::get<i>(args), sizeof *std::get<i>(args)};
    }
}

// One call of an entry point: journal it, honour an injected fault, else do its work.
template <class Result, EntryPoint ep, unsigned outputs, class Work, class... A, std::size_t... i>
Result journaled(Work work, const std::tuple<A...> &args, std::index_sequence<i...>) {
    CallRecord call(ep, {journal_value(std::get<i>(args))...}, {output<outputs, i>(args)...});
    (note(call, std::get<i>(args)), ...);
    if constexpr (std::is_same_v<Result, const char *>) {
        if (call.faulted()) return call.fault_text();
        call.finish(0);
        return work();
    } else {
        if (call.faulted()) return call.fault_code();
        return call.finish(guarded(work));
    }
}

template <class Result, EntryPoint ep, unsigned outputs, class Work, class... A>
Result journaled(Work work, const std::tuple<A...> &args) {
    return journaled<Result, ep, outputs>(work, args, std::index_sequence_for<A...>());
}

}  // namespace

extern "C" {

// The entry points of the SDK header, one per row of entry_points.h.
#define ON_CAMERA(call) on_camera(camera_id, [&](Camera &c) { return c.call; })
#define QELSIM_DEFINE(result, name, parameters, arguments, outputs, work)                                   \
    QEL_API result QEL##name parameters {                                                                   \
        return journaled<result, EntryPoint::name, positions outputs>([&]() -> result { return work; },     \
                                                                      std::make_tuple arguments);          \
    }
QELSIM_ENTRY_POINTS(QELSIM_DEFINE)
#undef QELSIM_DEFINE
#undef ON_CAMERA

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
        return reset_to(config, error, error_size);
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
        return reset_to(config, error, error_size);
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

QEL_API int QELSimAdvance(long long microseconds) {
    return guarded([&] {
        if (microseconds < 0 || microseconds > kForever / 2 || !clock::stepped()) return -1;
        return clock::advance_to(clock::now() + microseconds) ? 0 : -1;
    });
}

QEL_API int QELSimClockStepped(void) { return clock::stepped() ? 1 : 0; }

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

QEL_API int QELSimGetWcs(int camera_id, double *values, int *width, int *height) {
    return on_camera(camera_id, [&](Camera &c) { return c.wcs(values, width, height); });
}

QEL_API int QELSimSkySource(char *text, int size) {
    return guarded([&] {
        const std::shared_ptr<const Sky> sky = current_sky();
        std::string what = sky->catalogue ? sky->catalogue->path() : sky->note;
        if (text && size > 0) {
            const std::size_t n = std::min(what.size(), static_cast<std::size_t>(size - 1));
            std::memcpy(text, what.data(), n);
            text[n] = '\0';
        }
        return sky->catalogue ? static_cast<int>(std::min<std::uint32_t>(sky->catalogue->size(), INT32_MAX)) : 0;
    });
}

QEL_API int QELSimGetEvents(int camera_id, double *rows, int max_rows, int *count) {
    return on_camera(camera_id, [&](Camera &c) { return c.events(rows, max_rows, count); });
}

QEL_API int QELSimSetStars(const double *rows, int count, int replace) {
    return guarded([&] { return set_user_stars(rows, count, replace != 0); });
}

}  // extern "C"
