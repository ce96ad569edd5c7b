#pragma once
// The writing side of fmx_GIF: giflib's encoder fed with pictures from the host. Each frame
// gets its own colour table (see gif_palette.h). giflib reports errors by return value, so
// this is C++ with RAII around the giflib handle.
// Thread: any; every call uses only its own structures.

#include <cstdint>
#include <span>

#include "formats/gif/gif_palette.h"

namespace vt::formats::gif {

// The largest side a GIF file can describe.
inline constexpr std::uint32_t kMaxSaveSide = 65535;

// One picture as the host describes it: 32-bit B, G, R, transparency pixels, rows `stride`
// pixels apart; valid until the next `select`.
struct SourcePicture {
    const std::uint32_t* pixels = nullptr;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t stride = 0;
    std::uint32_t delay_ms = 0;
};

// Where the pictures come from. Neither function may throw.
class PictureSource {
public:
    virtual ~PictureSource() = default;
    [[nodiscard]] virtual std::uint32_t count() const noexcept = 0;
    // Describes picture `index`: VT_OK or the result code that ends the save.
    virtual std::int32_t select(std::uint32_t index, SourcePicture& picture) noexcept = 0;
};

// Where the file's bytes go: answers how many it took, fewer on failure.
using ByteSink = int (*)(void* user_data, const std::uint8_t* data, int size);

struct WriteOptions {
    PaletteOptions palette;
    // Every picture of the source as a frame, centred on a screen of the largest width and
    // height, with its delay. Otherwise picture 0 alone.
    bool animation = false;
    // How often an animation runs: 0 endlessly, 1 once (no looping extension), else the
    // extension's count is one less, as viewers repeat that often after the first run.
    std::uint32_t plays = 0;
    // An ICC profile for the ICC application extension ("ICCRGBG1" "012"); empty: none.
    std::span<const std::uint8_t> icc;
};

// Writes a GIF89a through `output`; nothing is written before every picture has been
// measured. Pixels below half opacity become the
// transparent index; partial transparency is dropped. VT_OK, -13 a picture beyond 65535 pixels
// a side, -26 an empty picture, -43 a write failure, -20 out of memory, -5 when colour
// reduction fails, or what `select` answered.
[[nodiscard]] std::int32_t write_gif(ByteSink output, void* user_data, PictureSource& source,
                                     const WriteOptions& options);

} // namespace vt::formats::gif
