#include "model.h"

namespace qelsim {

const char kSdkVersion[] = "QELSim 0.1.0";

namespace {

std::vector<Model> *make_catalogue() {
    auto *models = new std::vector<Model>(2);

    // A monochrome cooled camera for long exposures and guiding.
    Model &m = (*models)[0];
    m.key = "M1";
    m.name = "QELSim M1 Mono Cooled";
    m.product_id = 0x0101;
    m.max_width = 2048;
    m.max_height = 1536;
    m.bins = {1, 2, 3, 4};
    m.formats = {IMG_RAW8, IMG_RAW16, IMG_Y8};
    m.pixel_size = 4.5;
    m.st4_port = true;
    m.cooler = true;
    m.usb3 = true;
    m.elec_per_adu = 0.8f;
    m.bit_depth = 14;
    m.serial = "SIMM0001";
    m.gain_max = 400;
    m.gain_default = 100;
    m.offset_max = 255;
    m.offset_default = 40;
    m.offset_highest_dr = 10;
    m.offset_unity_gain = 20;
    m.gain_lowest_rn = 250;
    m.offset_lowest_rn = 30;
    m.lmh_low = 0;
    m.lmh_mid = 101;
    m.lmh_high = 250;
    m.lmh_high_offset = 30;
    m.line_time_us = 20;
    m.usb_mbytes_per_s = 350;
    m.read_noise = 1.5;
    m.read_noise_gain0 = 3.5;
    m.full_well = 50000;
    m.ra = 83.0;
    m.dec = 22.0;
    m.guide_rate = 2;
    m.latitude = 48.2;
    m.longitude = 16.37;
    m.altitude = 190;
    m.satellites = 9;
    m.seed = 1;

    // A colour camera with a Bayer sensor, GPS time stamps and trigger modes.
    Model &c = (*models)[1];
    c.key = "C2";
    c.name = "QELSim C2 Colour GPS";
    c.product_id = 0x0102;
    c.max_width = 1920;
    c.max_height = 1080;
    c.is_color = true;
    c.bayer_pattern = BAYER_RG;
    c.bins = {1, 2};
    c.formats = {IMG_RAW8, IMG_RGB24, IMG_RAW16, IMG_Y8};
    c.pixel_size = 2.9;
    c.usb3 = true;
    c.elec_per_adu = 1.5f;
    c.bit_depth = 12;
    c.trigger = true;
    c.gps = true;
    c.serial = "SIMC0002";
    c.gain_max = 500;
    c.gain_default = 200;
    c.offset_max = 100;
    c.offset_default = 32;
    c.offset_highest_dr = 4;
    c.offset_unity_gain = 8;
    c.gain_lowest_rn = 350;
    c.offset_lowest_rn = 12;
    c.lmh_low = 0;
    c.lmh_mid = 276;
    c.lmh_high = 350;
    c.lmh_high_offset = 12;
    c.line_time_us = 14;
    c.usb_mbytes_per_s = 350;
    c.read_noise = 0.8;
    c.read_noise_gain0 = 3;
    c.full_well = 15000;  // small pixels, small wells
    c.aperture = 100;
    c.focal_length = 400;
    c.sky_brightness = 20.5;
    c.amp_glow = 2;
    c.ra = 210.0;
    c.dec = 54.3;
    c.latitude = -33.87;
    c.longitude = 151.21;
    c.altitude = 58;
    c.satellites = 11;
    c.seed = 2;
    return models;
}

}  // namespace

const std::vector<Model> &catalogue() {
    static const std::vector<Model> *models = make_catalogue();  // outlives static destructors run at exit
    return *models;
}

const Model *catalogue_model(const std::string &key_or_name) {
    for (const Model &m : catalogue())
        if (m.key == key_or_name || m.name == key_or_name) return &m;
    return nullptr;
}

int bytes_per_pixel(int img_type) {
    switch (img_type) {
        case IMG_RAW8:
        case IMG_Y8:
            return 1;
        case IMG_RAW16:
            return 2;
        case IMG_RGB24:
            return 3;
        default:
            return 0;
    }
}

}  // namespace qelsim
