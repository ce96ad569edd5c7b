#include <gtest/gtest.h>

#include <cstddef>

#include "sdk/vt_plugin.h"

extern "C" std::size_t sdk_c_layout(int which);

namespace {

#define EXPECT_OFFSET(rec, field, off) EXPECT_EQ(offsetof(rec, field), std::size_t{off}) << #field

// The 64-bit layout plug-ins are built against; a change here breaks every plug-in.
TEST(SdkLayout, BitmapFieldsSitAtTheirPublishedOffsets) {
    ASSERT_EQ(sizeof(void*), 8u);
    EXPECT_OFFSET(Bitmap, width, 0);
    EXPECT_OFFSET(Bitmap, height, 4);
    EXPECT_OFFSET(Bitmap, stride, 8);
    EXPECT_OFFSET(Bitmap, pixels, 16);
    EXPECT_OFFSET(Bitmap, signature, 24);
    EXPECT_OFFSET(Bitmap, kind, 25);
    EXPECT_OFFSET(Bitmap, state, 26);
    EXPECT_OFFSET(Bitmap, lock_count, 28);
    EXPECT_OFFSET(Bitmap, owner_thread, 32);
    EXPECT_OFFSET(Bitmap, handle, 40);
    EXPECT_OFFSET(Bitmap, aux1, 48);
    EXPECT_OFFSET(Bitmap, aux2, 56);
    EXPECT_OFFSET(Bitmap, aux_stride, 64);
    EXPECT_EQ(sizeof(Bitmap), 72u);
}

TEST(SdkLayout, LayerAndMarkupBufferFieldsSitAtTheirPublishedOffsets) {
    EXPECT_OFFSET(Layer, x, 0);
    EXPECT_OFFSET(Layer, y, 4);
    EXPECT_OFFSET(Layer, bitmap, 8);
    EXPECT_OFFSET(Layer, name, 80);
    EXPECT_OFFSET(Layer, mode, 144);
    EXPECT_OFFSET(Layer, mode2, 146);
    EXPECT_OFFSET(Layer, attr, 148);
    EXPECT_OFFSET(Layer, transparency, 149);
    EXPECT_OFFSET(Layer, meta_size, 152);
    EXPECT_OFFSET(Layer, meta, 160);
    EXPECT_EQ(sizeof(Layer), 168u);
    EXPECT_EQ(sizeof(Layer::name), 64u);

    EXPECT_OFFSET(MarkupBuffer, text, 0);
    EXPECT_OFFSET(MarkupBuffer, size, 8);
    EXPECT_OFFSET(MarkupBuffer, buffer, 16);
    EXPECT_OFFSET(MarkupBuffer, capacity, 24);
    EXPECT_EQ(sizeof(MarkupBuffer), 32u);
}

TEST(SdkLayout, CAndCppAgree) {
    EXPECT_EQ(sdk_c_layout(0), sizeof(Bitmap));
    EXPECT_EQ(sdk_c_layout(1), sizeof(Layer));
    EXPECT_EQ(sdk_c_layout(2), sizeof(MarkupBuffer));
    EXPECT_EQ(sdk_c_layout(3), offsetof(Layer, meta));
    EXPECT_EQ(sdk_c_layout(4), offsetof(Bitmap, aux_stride));
    EXPECT_EQ(sdk_c_layout(5), offsetof(Layer, name));
}

} // namespace
