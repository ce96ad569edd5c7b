#include <gtest/gtest.h>

#include <string>

#include "engine/conversion_job.h"

namespace vt::engine {
namespace {

TEST(ConversionJob, EachCodedFieldIsCheckedAgainstItsRange) {
    struct Case {
        void (*spoil)(ConversionJob&);
        const char* field;
    };
    const Case cases[] = {
        {[](ConversionJob& j) { j.resizeMode = 6; }, "resizeMode"},
        {[](ConversionJob& j) { j.resizeAlgorithm = -1; }, "resizeAlgorithm"},
        {[](ConversionJob& j) { j.scalingFilter = 6; }, "scalingFilter"},
        {[](ConversionJob& j) { j.sincWindow = 13; }, "sincWindow"},
        {[](ConversionJob& j) { j.sincSize = 3; }, "sincSize"},
        {[](ConversionJob& j) { j.sincSize = 30; }, "sincSize"},
        {[](ConversionJob& j) { j.rotationMode = 6; }, "rotationMode"},
        {[](ConversionJob& j) { j.autofixLevels = 2; }, "autofixLevels"},
        {[](ConversionJob& j) { j.denoiseRadius = 10; }, "denoiseRadius"},
        {[](ConversionJob& j) { j.watermarkY = 101; }, "watermarkY"},
        {[](ConversionJob& j) { j.watermarkSize = 0; }, "watermarkSize"},
        {[](ConversionJob& j) { j.watermarkFade = 100; }, "watermarkFade"},
    };
    EXPECT_EQ(out_of_range_field(default_job()), nullptr);
    for (const auto& c : cases) {
        ConversionJob job = default_job();
        c.spoil(job);
        const FieldRange* bad = out_of_range_field(job);
        ASSERT_NE(bad, nullptr) << c.field;
        EXPECT_EQ(std::string(bad->field), c.field);
    }
}

} // namespace
} // namespace vt::engine
