// The PDF plug-in's renderer over arbitrary documents, through the test host; each input is
// drawn in the plug-in's child process at a low resolution. It saves nothing.

#include "fuzz/format_fuzz_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    vt::test::HarnessServices::set_state(u"fmx_PDF.dpi", "36");
    vt::test::HarnessServices::set_state(u"fmx_PDF.page",
                                         size > 0 && (data[size - 1] & 4) ? "all" : "1");
    return vt::fuzz::fuzz_format_plugin(data, size, ".pdf", false);
}
