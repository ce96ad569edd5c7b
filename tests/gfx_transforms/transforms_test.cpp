#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "gfx/levels.h"
#include "image/bitmap.h"
#include "image/load_status.h"
#include "pipeline/transforms.h"
#include "tests/gfx/gfx_test_util.h"

namespace vt::pipeline {
namespace {

using gfx::testing::argb;
using gfx::testing::grey;
using gfx::testing::LayerStack;
using gfx::testing::Picture;

constexpr const char* kMarkup = "\r\nexif.make=Test;\r\nexif.date_time=2020:01:01 10:00:00;";

// An 8 x 4 picture with a level range to stretch, a second 2 x 2 layer and markup without GPS.
void fill(LayerStack& doc) {
    Layer& base = doc.add(8, 4, 0, 0, [](std::int32_t x, std::int32_t y) {
        return grey(static_cast<std::uint32_t>(60 + 10 * x + 5 * y));
    });
    LayerStack::set_markup(base, kMarkup);
    doc.add(2, 2, 1, 1, [](std::int32_t, std::int32_t) { return grey(90); });
}

TransformOptions none() {
    TransformOptions o;
    o.watermarkX = 100;
    o.watermarkY = 100;
    o.watermarkSize = 25;
    o.watermarkFade = 0;
    return o;
}

void force_size(TransformOptions& o, std::uint16_t w, std::uint16_t h) {
    engine::ConversionJob job = engine::default_job();
    job.resizeMode = 4;
    job.resizeWidth = w;
    job.resizeHeight = h;
    o.resize = transform_options(job).resize; // whether it applies is the job's rule
    o.resizeMode = 4;
    o.resizeWidth = w;
    o.resizeHeight = h;
}

TEST(RunTransforms, ResultCountsChanges) {
    const struct {
        const char* name;
        void (*set)(TransformOptions&);
        int result;
        std::uint32_t width, height; // layer 0 afterwards
    } cases[] = {
        {"nothing", [](TransformOptions&) {}, -1, 8, 4},
        {"gps without gps keys", [](TransformOptions& o) { o.removeGps = true; }, 1, 8, 4},
        {"dates", [](TransformOptions& o) { o.removeDates = true; }, 1, 8, 4},
        {"levels", [](TransformOptions& o) { o.autofixLevels = 1; }, 1, 8, 4},
        {"denoise", [](TransformOptions& o) { o.denoiseRadius = 1; }, 1, 8, 4},
        {"exif without tag", [](TransformOptions& o) { o.rotationMode = 4; }, -1, 8, 4},
        {"turn", [](TransformOptions& o) { o.rotationMode = 1; }, 1, 4, 8},
        {"resize 1 x 500 ignored", [](TransformOptions& o) { force_size(o, 1, 500); }, -1, 8, 4},
        {"resize to the same size", [](TransformOptions& o) { force_size(o, 8, 4); }, -1, 8, 4},
        {"resize", [](TransformOptions& o) { force_size(o, 4, 2); }, 1, 4, 2},
    };
    for (const auto& c : cases) {
        LayerStack doc;
        fill(doc);
        const std::vector<std::uint32_t> before = LayerStack::pixels(doc[0]);
        TransformOptions o = none();
        c.set(o);
        EXPECT_EQ(RunTransforms(doc.data(), doc.count(), image::LoadStatus{}, o, nullptr), c.result)
            << c.name;
        EXPECT_EQ(std::pair(doc[0].bitmap.width, doc[0].bitmap.height),
                  std::pair(c.width, c.height))
            << c.name;
        if (c.result == -1) {
            EXPECT_EQ(LayerStack::pixels(doc[0]), before) << c.name;
        }
    }
}

TEST(RunTransforms, PrivacyEditRemovesTheKeys) {
    LayerStack doc;
    fill(doc);
    TransformOptions o = none();
    o.removeDates = true;
    ASSERT_EQ(RunTransforms(doc.data(), doc.count(), image::LoadStatus{}, o, nullptr), 1);
    EXPECT_EQ(LayerStack::value(doc[0], "exif.date_time"), "<none>");
    EXPECT_EQ(LayerStack::value(doc[0], "exif.make"), "Test");
}

TEST(RunTransforms, ProtectedFileIsNeverTouched) {
    LayerStack doc;
    fill(doc);
    const std::vector<std::uint32_t> before = LayerStack::pixels(doc[0]);
    Picture mark(2, 2);
    TransformOptions o = none();
    o.removeGps = o.removeDates = true;
    o.autofixLevels = 1;
    o.denoiseRadius = 2;
    o.rotationMode = 1;
    image::LoadStatus status;
    status.password_protected = 1;
    EXPECT_EQ(RunTransforms(doc.data(), doc.count(), status, o, mark.get()), 0);
    EXPECT_EQ(LayerStack::pixels(doc[0]), before);
    EXPECT_EQ(LayerStack::markup(doc[0]), kMarkup);
    EXPECT_EQ(RunTransforms(doc.data(), doc.count(), status, none(), nullptr), 0);
}

TEST(RunTransforms, RotationComesBeforeResizeAndTheWatermarkLast) {
    // Turned to 4 x 8, then forced into 6 x 2 (the box does not turn): in the other order the
    // picture would end 2 x 6. The mark lands in the final picture's bottom left corner.
    LayerStack doc;
    fill(doc);
    Picture mark(2, 2, [](std::int32_t, std::int32_t) { return argb(0, 255, 0, 0); });
    TransformOptions o = none();
    o.rotationMode = 1;
    force_size(o, 6, 2);
    o.keepBoundingBox = true;
    o.watermarkX = 0;
    o.watermarkY = 100;
    o.watermarkSize = 50; // 1 x 1 on a 6 x 2 picture
    ASSERT_EQ(RunTransforms(doc.data(), doc.count(), image::LoadStatus{}, o, mark.get()), 1);
    ASSERT_EQ(std::pair(doc[0].bitmap.width, doc[0].bitmap.height), std::pair(6u, 2u));
    EXPECT_EQ(LayerStack::at(doc[0], 0, 1) & 0x00FFFFFF, 0x00FF0000u);
    EXPECT_NE(LayerStack::at(doc[0], 1, 1) & 0x00FFFFFF, 0x00FF0000u);
}

TEST(RunTransforms, LevelsSeeThePictureBeforeTheWatermark) {
    // The mark is black: stamped before the levels it would become the new minimum.
    LayerStack doc;
    doc.add(4, 4, 0, 0, [](std::int32_t x, std::int32_t) {
        return grey(100 + 20 * static_cast<std::uint32_t>(x));
    });
    Picture mark(1, 1, {grey(0)});
    TransformOptions o = none();
    o.autofixLevels = 1;
    o.watermarkSize = 25;
    ASSERT_EQ(RunTransforms(doc.data(), doc.count(), image::LoadStatus{}, o, mark.get()), 1);
    // 100 stretched to 0, 140 to trunc(40 * 255 / 60 + 0.5); the mark at the bottom right.
    EXPECT_EQ(std::tuple(LayerStack::at(doc[0], 0, 0), LayerStack::at(doc[0], 2, 0),
                         LayerStack::at(doc[0], 3, 2), LayerStack::at(doc[0], 3, 3)),
              std::tuple(grey(0), grey(170), grey(255), grey(0)));
}

TEST(RunTransforms, StopsAtTheFirstFailure) {
    // Rotation fails at the invalid second layer: layer 0 stays turned, nothing after it runs.
    LayerStack doc;
    fill(doc);
    doc.add_invalid();
    Picture mark(2, 2, [](std::int32_t, std::int32_t) { return argb(0, 255, 0, 0); });
    TransformOptions o = none();
    o.rotationMode = 1;
    force_size(o, 2, 2);
    EXPECT_EQ(RunTransforms(doc.data(), doc.count(), image::LoadStatus{}, o, mark.get()), 0);
    EXPECT_EQ(std::pair(doc[0].bitmap.width, doc[0].bitmap.height), std::pair(4u, 8u));
    for (const std::uint32_t p : LayerStack::pixels(doc[0]))
        ASSERT_NE(p & 0x00FFFFFF, 0x00FF0000u);
}

TEST(RunTransforms, WatermarkWithoutLayersFails) {
    Picture mark(2, 2);
    EXPECT_EQ(RunTransforms(nullptr, 0, image::LoadStatus{}, none(), mark.get()), 0);
    EXPECT_EQ(RunTransforms(nullptr, 0, image::LoadStatus{}, none(), nullptr), -1);
    // An invalid mark is no watermark at all.
    LayerStack doc;
    fill(doc);
    Bitmap zero{};
    EXPECT_EQ(RunTransforms(doc.data(), doc.count(), image::LoadStatus{}, none(), &zero), -1);
}

} // namespace
} // namespace vt::pipeline
