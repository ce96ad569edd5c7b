#pragma once
// The job record: every option of one batch conversion. One record is edited by the front end
// while no job runs; start_job copies it, so a running job never sees a half-edited record.
// Thread: a plain value.

#include <cstdint>

#include "base/fixed_text.h"
#include "platform/paths.h"

namespace vt::engine {

using PathText = base::FixedText<platform::kMaxPath>;

// resizeMode
enum ResizeMode : std::int32_t {
    kDontResize = 0,
    kSmallerThanBox = 1,
    kLargerThanBox = 2,
    kBestFitInBox = 3,
    kForceBoxSize = 4,
    kResizeByPercent = 5,
};

// rotationMode
enum RotationMode : std::int32_t {
    kNoRotation = 0,
    kRotate90Clockwise = 1,
    kRotate90AntiClockwise = 2,
    kRotate180 = 3,
    kRotateByExif = 4,
    kRotateBySky = 5,
};

// What a job does with a target file that exists already.
enum class ExistingPolicy : std::uint8_t { overwrite = 0, skip = 1, keep_both = 2 };

// Options beyond the wizard's record: safe re-runs, per-file reports and scale-out over several
// processes. Their defaults leave a job exactly as the record alone describes it.
struct JobExtras {
    ExistingPolicy existing = ExistingPolicy::overwrite;
    std::uint8_t keepTimes = 0;   // targets get the source's access and modification times
    std::uint8_t writeReport = 0; // a report beside the error log when reportFile is empty
    PathText reportFile;          // JSON Lines, one line per finished file
    PathText resumeFile;          // a report of an earlier run: its converted files are left out
    std::uint32_t shardIndex = 0; // this process converts share shardIndex of shardCount;
    std::uint32_t shardCount = 0; // 0 or 1: every file

    friend bool operator==(const JobExtras&, const JobExtras&) = default;
};

struct ConversionJob {
    PathText sourceFolder;
    PathText targetFolder;
    base::FixedText<32> targetExtension; // lower case, leading dot: ".jpg"
    base::FixedText<96> renamePattern;
    base::FixedText<32> replaceFrom;
    base::FixedText<32> replaceTo;
    std::uint8_t includeSubfolders = 0;
    std::uint8_t overwrite = 0;
    std::uint8_t openTargetWhenDone = 0;
    std::uint8_t rename = 0;
    std::uint8_t replaceText = 0;
    std::uint8_t lowercase = 0;
    std::uint8_t passThru = 0;
    std::uint8_t removeGps = 0;
    std::uint8_t removeDates = 0;
    std::uint16_t resizeWidth = 0;    // pixels, or percent in mode 5
    std::uint16_t resizeHeight = 0;   // pixels, or percent in mode 5
    std::int32_t resizeMode = 0;      // 0..5
    std::int32_t resizeAlgorithm = 0; // 0..3
    std::int32_t scalingFilter = 0;   // 0..5
    std::int32_t sincWindow = 0;      // 0..12
    std::int32_t sincSize = 0;        // 4..29
    std::uint8_t keepBoundingBox = 0;
    std::uint8_t changeDpi = 0;
    std::int32_t rotationMode = 0;   // 0..5
    std::int32_t autofixLevels = 0;  // 0 or 1
    std::int32_t denoiseRadius = 0;  // 0 off, 1..9
    std::uint32_t watermarkX = 0;    // 0..100
    std::uint32_t watermarkY = 0;    // 0..100
    std::uint32_t watermarkSize = 0; // 1..100
    std::uint32_t watermarkFade = 0; // 0..99
    PathText watermarkFile;
    // Beyond the classic record: off by default, so a default job behaves as it always did.
    std::uint8_t fastDecode = 0; // JPEG and WebP decoded reduced, then resampled to the target
    // Colour profiles: 0 converted to sRGB (perceptual) for targets that cannot carry one,
    // 1 always perceptual, 2 always relative colorimetric, 3 never (profiles kept as loaded).
    std::int32_t toSrgb = 0;
    // A text watermark, stamped after the picture watermark and sized and placed like it by
    // watermarkSize, watermarkX and watermarkY.
    base::FixedText<256> watermarkText;
    base::FixedText<128> watermarkFont;      // fontconfig name or font file; empty: sans-serif
    std::uint32_t watermarkColor = 0xFFFFFF; // 0xRRGGBB
    std::uint32_t watermarkOpacity = 60;     // percent
    // Bits per channel kept (docs/deep-colour.md): 0 auto (16 when both the source and the
    // target format hold more than 8, else 8), 1 always 8, 2 16 wherever the target holds it.
    std::int32_t depth = 0;
    JobExtras extras;

    friend bool operator==(const ConversionJob&, const ConversionJob&) = default;
};

// Whether the resize step runs: a mode, and a box of at least 2 x 2 (pixels, or percent in
// mode 5). The checks refuse a mode that would not, so a job never silently skips its resize.
[[nodiscard]] constexpr bool resize_applies(const ConversionJob& job) noexcept {
    return job.resizeMode != kDontResize && job.resizeWidth >= 2 && job.resizeHeight >= 2;
}

// Fills every field with its default: what a fresh start of the program shows.
void set_defaults(ConversionJob& job) noexcept;
[[nodiscard]] ConversionJob default_job() noexcept;

// The range a coded field may take, as the wizard and the command line offer it.
struct FieldRange {
    const char* field;
    std::int64_t min, max;
};
inline constexpr FieldRange kResizeModeRange{"resizeMode", 0, 5};
inline constexpr FieldRange kResizeAlgorithmRange{"resizeAlgorithm", 0, 3};
inline constexpr FieldRange kScalingFilterRange{"scalingFilter", 0, 5};
inline constexpr FieldRange kSincWindowRange{"sincWindow", 0, 12};
inline constexpr FieldRange kSincSizeRange{"sincSize", 4, 29};
inline constexpr FieldRange kRotationModeRange{"rotationMode", 0, 5};
inline constexpr FieldRange kAutofixLevelsRange{"autofixLevels", 0, 1};
inline constexpr FieldRange kDenoiseRadiusRange{"denoiseRadius", 0, 9};
inline constexpr FieldRange kWatermarkXRange{"watermarkX", 0, 100};
inline constexpr FieldRange kWatermarkYRange{"watermarkY", 0, 100};
inline constexpr FieldRange kWatermarkSizeRange{"watermarkSize", 1, 100};
inline constexpr FieldRange kWatermarkFadeRange{"watermarkFade", 0, 99};
inline constexpr FieldRange kToSrgbRange{"toSrgb", 0, 3};
inline constexpr FieldRange kWatermarkOpacityRange{"watermarkOpacity", 0, 100};
inline constexpr FieldRange kDepthRange{"depth", 0, 2};
inline constexpr std::int32_t kDepthAuto = 0;
inline constexpr std::int32_t kDepth8 = 1;
inline constexpr std::int32_t kDepth16 = 2;

// The first coded field outside its range, or null when every one is in range.
[[nodiscard]] const FieldRange* out_of_range_field(const ConversionJob& job) noexcept;

} // namespace vt::engine
