#pragma once
// The EXIF directories of a saved TIFF. libtiff writes a page's own tags, but an EXIF
// directory only through custom-directory calls that want every field converted by hand; the
// host's markup service already gives a whole EXIF block, so its directories are copied into
// the finished file instead.

#include <cstdint>
#include <cstdio>
#include <span>

namespace vt::formats::tiff {

// Adds the EXIF block's EXIF and GPS directories (with the interoperability directory) and the
// first-directory tags the first page lacks to a classic little-endian TIFF file open for
// reading and writing. The additions are appended, then the header is pointed at a copy of the
// first directory that holds the new entries, so a failure part-way leaves a valid file. False
// when the block or the file is not what this expects; the pixels are never touched.
bool attach_exif(std::FILE* file, std::span<const std::uint8_t> exif);

} // namespace vt::formats::tiff
