// Reading a dark frame from an uncompressed BMP file.
#pragma once

#include <cstdint>
#include <vector>

namespace qelsim {

// Reads an uncompressed BMP of exactly width x height pixels, 8-bit (through its palette) or 24-bit
// (the mean of the three channels), into one grey byte per pixel, top row first.
// Returns QEL_SUCCESS, QEL_ERR_INVALID_PATH (no path, missing, not a regular file, unreadable) or
// QEL_ERR_INVALID_FILE_FORMAT (not such a BMP, wrong size, or a header that promises more than the file
// holds). Never reads or writes past what it checked.
int read_dark_bmp(const char *path, int width, int height, std::vector<std::uint8_t> &grey);

}  // namespace qelsim
