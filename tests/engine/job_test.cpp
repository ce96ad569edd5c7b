#include <gtest/gtest.h>

#include <string>

#include "engine/conversion_job.h"

namespace vt::engine {
namespace {

TEST(ConversionJob, DefaultsAreWhatAFreshStartShows) {
    const ConversionJob job = default_job();
    EXPECT_EQ(job.renamePattern, u"%nn - %s (%wx%h)");
    EXPECT_EQ(job.replaceFrom, u" ");
    EXPECT_EQ(job.replaceTo, u"_");
    EXPECT_TRUE(job.sourceFolder.empty() && job.targetExtension.empty());
    EXPECT_EQ(job.resizeWidth, 640);
    EXPECT_EQ(job.resizeHeight, 480);
    EXPECT_EQ(job.resizeAlgorithm, 2);
    EXPECT_EQ(job.scalingFilter, 5);
    EXPECT_EQ(job.sincWindow, 9);
    EXPECT_EQ(job.sincSize, 4);
    EXPECT_EQ(job.rotationMode, kRotateByExif);
    EXPECT_EQ(job.watermarkX, 100u);
    EXPECT_EQ(job.watermarkSize, 25u);
    EXPECT_EQ(job.watermarkFade, 20u);
    EXPECT_EQ(job.passThru + job.rename + job.overwrite + job.includeSubfolders, 0);
    EXPECT_EQ(out_of_range_field(job), nullptr);
}

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
