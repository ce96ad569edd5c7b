#pragma once
// Sizes in design pixels (96 DPI) scaled for the screen.
// Thread: UI only (the first call needs the application's screen).

namespace vt::app {

// `design_value` x DPI / 96, rounded to the nearest integer. DPI is the primary screen's
// horizontal logical DPI, rounded down to a multiple of 24 and at least 96, taken once.
[[nodiscard]] int dpi_scale(int design_value);

} // namespace vt::app
