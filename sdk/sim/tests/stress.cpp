// Multi-threaded stress of the simulated Camera SDK, for the sanitizers (make sanitize).
//
// Threads call random entry points on every camera while others start and stop capture, wait for
// frames without end, hot-plug cameras and reset the simulator. Every call must return a result code;
// the sanitizers judge memory and thread safety. At the end capture keeps running and main returns,
// as a program that exits without stopping its cameras does.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "QELCamera2.h"
#include "QELSim.h"

namespace {

std::atomic<bool> stop{false};
std::atomic<long> calls{0};
std::atomic<int> bad{0};

void expect_code(const char *what, int rc) {
    calls.fetch_add(1, std::memory_order_relaxed);
    if (rc < 0 || rc >= QEL_ERR_END) {
        std::fprintf(stderr, "%s returned %d, not a result code\n", what, rc);
        bad.fetch_add(1);
    }
}

void caller(unsigned seed) {
    std::mt19937 rng(seed);
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    std::vector<unsigned char> buffer(1920 * 1080 * 3);
    QEL_GPS_DATA gps_a, gps_b;
    QEL_CAMERA_INFO info;
    QEL_CONTROL_CAPS caps;
    QEL_ID id;
    QEL_SUPPORTED_MODE modes;
    int a = 0, b = 0, c = 0, d = 0;
    while (!stop.load()) {
        const int cam = pick(5) - 1;  // -1 and ids past the cameras are unknown
        const int size = pick(4) == 0 ? pick(5000) : static_cast<int>(buffer.size());
        switch (pick(36)) {
            case 0: expect_code("Open", QELOpenCamera(cam)); break;
            case 1: expect_code("Init", QELInitCamera(cam)); break;
            case 2: if (pick(8) == 0) expect_code("Close", QELCloseCamera(cam)); break;
            case 3: expect_code("ROI", QELSetROIFormat(cam, 8 * (1 + pick(40)), 2 * (1 + pick(40)), 1 + pick(4), pick(5) - 1)); break;
            case 4: expect_code("GetROI", QELGetROIFormat(cam, &a, &b, &c, &d)); break;
            case 5: expect_code("Start", QELSetStartPos(cam, pick(300) - 10, pick(300) - 10)); break;
            case 6: expect_code("Set", QELSetControlValue(cam, pick(30) - 1, pick(3) ? 1000 : 32, pick(2))); break;
            case 7: expect_code("Get", QELGetControlValue(cam, pick(30) - 1, &a, &b)); break;
            case 8: expect_code("Video", QELStartVideoCapture(cam)); break;
            case 9: expect_code("StopVideo", QELStopVideoCapture(cam)); break;
            case 10: expect_code("Frame", QELGetVideoData(cam, buffer.data(), size, pick(3) == 0 ? -1 : pick(20))); break;
            case 11: expect_code("FrameGPS", QELGetVideoDataGPS(cam, buffer.data(), size, pick(20), &gps_a)); break;
            case 12: expect_code("Expose", QELStartExposure(cam, pick(2))); break;
            case 13: expect_code("StopExp", QELStopExposure(cam)); break;
            case 14: expect_code("Status", QELGetExpStatus(cam, &a)); break;
            case 15: expect_code("Data", QELGetDataAfterExp(cam, buffer.data(), size)); break;
            case 16: expect_code("DataGPS", QELGetDataAfterExpGPS(cam, buffer.data(), size, &gps_a)); break;
            case 17: expect_code("Guide", pick(2) ? QELPulseGuideOn(cam, pick(6) - 1) : QELPulseGuideOff(cam, pick(6) - 1)); break;
            case 18: expect_code("Mode", QELSetCameraMode(cam, pick(9) - 1)); break;
            case 19: expect_code("Trigger", QELSendSoftTrigger(cam, pick(2))); break;
            case 20: expect_code("GPS", QELGPSGetData(cam, &gps_a, &gps_b)); break;
            case 21: expect_code("Caps", QELGetControlCaps(cam, pick(30) - 2, &caps)); break;
            case 22: expect_code("Info", QELGetCameraPropertyByID(cam, &info)); break;
            case 23: expect_code("Index", QELGetCameraProperty(&info, pick(4) - 1)); break;
            case 24: expect_code("ID", pick(2) ? QELGetID(cam, &id) : QELSetID(cam, id)); break;
            case 25: expect_code("Modes", QELGetCameraSupportMode(cam, &modes)); break;
            case 26: expect_code("Dropped", QELGetDroppedFrames(cam, &a)); break;
            case 27: expect_code("Dark", pick(2) ? QELEnableDarkSubtract(cam, "/nonexistent.bmp") : QELDisableDarkSubtract(cam)); break;
            case 28: expect_code("TrigIn", QELSimSetTriggerInput(cam, pick(2))); break;
            case 29: expect_code("Pulse", QELSimTriggerPulse(cam, pick(2000))); break;
            case 30: expect_code("Cover", QELSimSetCover(cam, pick(2))); break;
            case 31: {
                // The sky every camera renders from, changed under them.
                const double stars[8] = {83.0, 22.0, 6.0 + pick(6), 0.5, 210.0, 54.3, 8.0, 1.2};
                expect_code("Stars", -QELSimSetStars(pick(3) ? stars : nullptr, pick(3), pick(2)));
                break;
            }
            case 32: {
                double rows[6 * 4];
                expect_code("GetStars", QELSimGetStars(cam, pick(4) ? rows : nullptr, pick(5), &a));
                break;
            }
            // The stepped clock moved on from many threads at once (refused in the real clock).
            case 33: expect_code("Advance", -QELSimAdvance(pick(4) ? pick(200000) : -1)); break;
            case 34: {
                double rows[8 * 2];
                expect_code("Events", QELSimGetEvents(cam, pick(4) ? rows : nullptr, pick(3), &a));
                break;
            }
            // An exposure closed while its image is rendered, or read while the next one starts.
            case 35:
                if (pick(4) == 0) {
                    expect_code("Expose", QELStartExposure(cam, 0));
                    std::this_thread::sleep_for(std::chrono::microseconds(pick(3000)));
                    expect_code("Status", QELGetExpStatus(cam, &a));
                    if (pick(2)) expect_code("Close", QELCloseCamera(cam));
                    else expect_code("Data", QELGetDataAfterExp(cam, buffer.data(), size));
                }
                break;
        }
        // Null pointers and absurd sizes now and then.
        if (pick(50) == 0) {
            expect_code("NullFrame", QELGetVideoData(cam, nullptr, -5, 0));
            expect_code("NullROI", QELGetROIFormat(cam, nullptr, &b, nullptr, &d));
            expect_code("NullGPS", QELGPSGetData(cam, nullptr, &gps_b));
        }
    }
}

// Ends the endless waits of the callers now and then, as another thread of a program would.
void stopper() {
    std::mt19937 rng(99);
    while (!stop.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        for (int cam = 0; cam < 4; ++cam) QELStopVideoCapture(cam);
    }
}

void plugger() {
    int round = 0;
    while (!stop.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        if (++round % 4 == 0) {
            QELSimReset();
            QELSimSetClockSpeed(200);
        } else if (round % 4 == 2) {
            // The stepped clock, with cameras whose mount, air and events all move.
            QELSimConfigure("clock = stepped\nutc = 2024-03-20T21:30:00\n[camera]\nmodel = M1\ndrift_x = 5\n"
                            "periodic_error = 5 10, 1 3\ndec_backlash = 3\nclouds = 0.5\ncloud_time = 2\n"
                            "occultation = 83 22 0 2024-03-20T21:30:00.1 2024-03-20T21:30:01\n"
                            "[camera]\nmodel = C2\nscintillation = yes\n"
                            "meteor = 2024-03-20T21:30:00 10 10 30 500 0.5 2\n"
                            "satellite = 2024-03-20T21:30:00 900 10 100 50 20 5\n"
                            "gps_loss = 2024-03-20T21:30:00.2 2024-03-20T21:30:00.5\n",
                            nullptr, 0);
        } else {
            QELSimUnplugCamera(round % 2);
            QELSimReplugCamera(round % 2);
            QELSimPlugCamera("model = C2\nwidth = 320\nheight = 240\n", nullptr, 0);
        }
    }
}

}  // namespace

int main(int argc, char **argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
    QELSimReset();
    QELSimSetClockSpeed(200);
    std::vector<std::thread> threads;
    for (unsigned i = 0; i < 6; ++i) threads.emplace_back(caller, 1000 + i);
    threads.emplace_back(stopper);
    threads.emplace_back(plugger);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop = true;
    for (auto &t : threads) t.join();

    // Two cameras capturing at once, left running at exit.
    for (int cam = 0; cam < 2; ++cam) {
        QELOpenCamera(cam);
        QELInitCamera(cam);
        QELSetROIFormat(cam, 320, 240, 1, IMG_RAW16);
        QELStartVideoCapture(cam);
    }
    std::vector<unsigned char> frame(320 * 240 * 2);
    for (int i = 0; i < 5; ++i)
        for (int cam = 0; cam < 2; ++cam) expect_code("Frame", QELGetVideoData(cam, frame.data(), 320 * 240 * 2, -1));

    std::printf("%ld calls, %d not result codes\n", calls.load(), bad.load());
    return bad.load() == 0 ? 0 : 1;
}
