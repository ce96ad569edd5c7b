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

} // namespace vt::engine
