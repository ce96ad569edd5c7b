#pragma once
// The service tables format plug-ins call back into: state store, markup, queries, images,
// colours, utilities and video. The tables are static and never change while a plug-in runs.
// Services that need parts of the suite not present here answer 0 (the core library's EXIF
// conversion and file access, the video helper, device contexts).
// Thread: any; the tables are shared by every worker.

#include "sdk/vt_plugin.h"

namespace vt::plugins {

[[nodiscard]] const pi_StateStore* state_store_table() noexcept;
[[nodiscard]] const pi_MetaMarkup* meta_markup_table() noexcept;
[[nodiscard]] const pi_BasicQuery* basic_query_table() noexcept;
[[nodiscard]] const pi_BasicImage* basic_image_table() noexcept;
[[nodiscard]] const pi_BasicColor* basic_color_table() noexcept;
[[nodiscard]] const pi_BasicUtils* basic_utils_table() noexcept;
[[nodiscard]] const pi_BasicVideo* basic_video_table() noexcept;

} // namespace vt::plugins
