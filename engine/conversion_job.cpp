#include "engine/conversion_job.h"

namespace vt::engine {

void set_defaults(ConversionJob& job) noexcept {
    job = ConversionJob{};
    job.renamePattern.assign(u"%nn - %s (%wx%h)");
    job.replaceFrom.assign(u" ");
    job.replaceTo.assign(u"_");
    job.resizeWidth = 640;
    job.resizeHeight = 480;
    job.resizeMode = kDontResize;
    job.resizeAlgorithm = 2;
    job.scalingFilter = 5;
    job.sincWindow = 9;
    job.sincSize = 4;
    job.rotationMode = kRotateByExif;
    job.autofixLevels = 0;
    job.denoiseRadius = 0;
    job.watermarkX = 100;
    job.watermarkY = 100;
    job.watermarkSize = 25;
    job.watermarkFade = 20;
}

ConversionJob default_job() noexcept {
    ConversionJob job;
    set_defaults(job);
    return job;
}

const FieldRange* out_of_range_field(const ConversionJob& job) noexcept {
    const struct {
        const FieldRange& range;
        std::int64_t value;
    } fields[] = {
        {kResizeModeRange, job.resizeMode},
        {kResizeAlgorithmRange, job.resizeAlgorithm},
        {kScalingFilterRange, job.scalingFilter},
        {kSincWindowRange, job.sincWindow},
        {kSincSizeRange, job.sincSize},
        {kRotationModeRange, job.rotationMode},
        {kAutofixLevelsRange, job.autofixLevels},
        {kDenoiseRadiusRange, job.denoiseRadius},
        {kWatermarkXRange, job.watermarkX},
        {kWatermarkYRange, job.watermarkY},
        {kWatermarkSizeRange, job.watermarkSize},
        {kWatermarkFadeRange, job.watermarkFade},
        {kDepthRange, job.depth},
    };
    for (const auto& f : fields)
        if (f.value < f.range.min || f.value > f.range.max)
            return &f.range;
    return nullptr;
}

} // namespace vt::engine
