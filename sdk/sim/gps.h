// GPS time stamps: UTC calendar time to the microsecond, and the records frames carry.
#pragma once

#include <cstdint>

#include "QELCamera2.h"
#include "model.h"

namespace qelsim {

// Days since 1970-01-01 of a proleptic Gregorian date, and back. Pure arithmetic: no time zone, no
// C library calendar functions (their thread safety differs between platforms).
std::int64_t days_from_civil(int year, int month, int day);
void civil_from_days(std::int64_t days, int &year, int &month, int &day);
int days_in_month(int year, int month);

// Microseconds since 1970 (UTC) of the host's clock.
std::int64_t host_utc_us();

// The record of one instant for a camera at the model's position.
void make_gps_record(const Model &model, std::int64_t utc_us, QEL_GPS_DATA &record);

// The result code of the GPS receiver's state: QEL_SUCCESS, or the code every GPS read returns.
int gps_status_code(const Model &model);

}  // namespace qelsim
