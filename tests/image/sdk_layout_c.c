/* The SDK header compiled as C: its static assertions run under the C compiler too, and the
 * layout the C compiler picks is reported to the C++ test. */
#include "sdk/vt_plugin.h"

size_t sdk_c_layout(int which) {
    switch (which) {
    case 0:
        return sizeof(Bitmap);
    case 1:
        return sizeof(Layer);
    case 2:
        return sizeof(MarkupBuffer);
    case 3:
        return offsetof(Layer, meta);
    case 4:
        return offsetof(Bitmap, aux_stride);
    case 5:
        return offsetof(Layer, name);
    default:
        return 0;
    }
}
