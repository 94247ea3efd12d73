#include "gps.h"

#include <chrono>
#include <cstring>

namespace qelsim {

// The civil-calendar algorithms count in eras of 400 years, where the Gregorian calendar repeats.
std::int64_t days_from_civil(int year, int month, int day) {
    const std::int64_t y = static_cast<std::int64_t>(year) - (month <= 2 ? 1 : 0);
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void civil_from_days(std::int64_t days, int &year, int &month, int &day) {
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const std::int64_t doe = days - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = static_cast<int>(yoe + era * 400 + (month <= 2 ? 1 : 0));
}

int days_in_month(int year, int month) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12) return 0;
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

std::int64_t host_utc_us() {
    // system_clock counts from 1970 in UTC on every platform since C++20, and in practice before.
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void make_gps_record(const Model &model, std::int64_t utc_us, QEL_GPS_DATA &record) {
    std::memset(&record, 0, sizeof record);
    constexpr std::int64_t kDay = INT64_C(86400000000);
    std::int64_t days = utc_us / kDay;
    std::int64_t in_day = utc_us % kDay;
    if (in_day < 0) in_day += kDay, days -= 1;
    civil_from_days(days, record.year, record.month, record.day);
    const std::int64_t seconds = in_day / 1000000;
    record.hour = static_cast<int>(seconds / 3600);
    record.minute = static_cast<int>(seconds / 60 % 60);
    record.second = static_cast<int>(seconds % 60);
    const std::int64_t micros = in_day % 1000000;
    record.m_second = static_cast<int>(micros / 1000);
    record.u_second = static_cast<int>(micros % 1000);
    record.latitude = model.latitude;
    record.longitude = model.longitude;
    record.altitude = model.altitude;
    record.satellite_num = model.satellites;
}

int gps_status_code(const Model &model) {
    if (!model.gps) return QEL_ERR_GPS_NOT_SUPPORTED;
    switch (model.gps_status) {
        case GpsStatus::old_firmware:
            return QEL_ERR_GPS_VERSION;
        case GpsStatus::fpga_error:
            return QEL_ERR_GPS_FPGA;
        case GpsStatus::no_fix:
            return QEL_ERR_GPS_DATA_INVALID;
        default:
            return model.satellites > 0 ? QEL_SUCCESS : QEL_ERR_GPS_DATA_INVALID;
    }
}

}  // namespace qelsim
