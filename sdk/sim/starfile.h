// The real sky: a star catalogue file made from the Tycho-2 catalogue (by the package's `skyfile`
// module), indexed by sky cell so that a camera reads only the stars around its field.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sky.h"

namespace qelsim {

class StarFile {
public:
    // The catalogue's completeness: fainter than this, synthetic stars fill the sky.
    static constexpr double kComplete = 11.5;

    // Opens a catalogue file and reads its index (the stars stay on disk). Null with a message when the
    // file is missing or not such a file. Files already open are shared.
    static std::shared_ptr<const StarFile> open(const std::string &path, std::string &error);

    // The stars within `radius` degrees of (ra, dec) and no fainter than `depth`, at their places
    // `years` Julian years after J2000 (ICRS): mean positions moved by their proper motions; stars that
    // have none (observed positions only) stay where they are.
    bool stars_around(double ra, double dec, double radius, double depth, double years,
                      std::vector<CatalogueStar> &out) const;

    const std::string &path() const { return path_; }
    std::uint32_t size() const { return stars_; }

private:
    std::string path_;
    std::uint32_t bands_ = 0, stars_ = 0;
    double band_height_ = 1;                 // degrees
    std::vector<std::uint32_t> band_cells_;  // cells of each band
    std::vector<std::uint32_t> band_first_;  // first cell of each band
    std::vector<std::uint32_t> starts_;      // first star of each cell, and the end
    std::uint64_t data_offset_ = 0;
    std::uint64_t file_size_ = 0;
};

}  // namespace qelsim
