// What producer.cpp's half of Camera runs on: single exposures and the video capture's producer
// thread, its frames and its triggers. The operations themselves are Camera's (camera.h).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "QELCamera2.h"
#include "clock.h"
#include "sensor.h"

namespace qelsim {

// A single exposure, from its start until its image is read. It is working until its readout time has
// passed and the readout has put its image in the camera's frame buffer.
struct Exposure {
    enum Phase { idle, working, done, failed } phase = idle;
    SimTime start = 0, end = 0, ready = 0;
    FrameParams params;
    std::shared_ptr<const std::vector<std::uint8_t>> image;  // the camera's frame buffer, once rendered
    bool consumed = false;
    QEL_GPS_DATA gps_start{}, gps_end{};
};

// The read-out of single exposures: a thread of the camera (from its first exposure until it closes or
// goes away) that renders each exposure's image when the exposure ends, into the camera's frame buffer,
// as a camera reads its sensor into its own memory. Reading the image is then a copy.
struct Readout {
    bool stop = false;
    std::atomic<bool> cancel{false};  // the render under way is not wanted any more
    std::thread thread;
    clock::Agent *agent = nullptr;  // the thread, in the stepped clock
};

// One frame in the video queue.
struct Frame {
    std::vector<std::uint8_t> pixels;
    std::size_t size = 0;
    bool has_gps = false;
    QEL_GPS_DATA gps_start{}, gps_end{};
};

// One run of video capture: the producer thread and what triggers hand it.
struct Capture {
    bool stop = false;
    std::thread thread;
    int mode = QEL_MODE_NORMAL;
    SimTime started = 0;
    std::deque<SimTime> edges;                            // edge modes: trigger instants
    std::deque<std::pair<SimTime, SimTime>> windows;      // level modes: exposure windows
    bool level_active = false;
    SimTime level_since = 0;
    clock::Agent *agent = nullptr;  // the producer, in the stepped clock
};

}  // namespace qelsim
