#pragma once
// --list-formats: which installed plug-in reads and which writes each known format.
// Thread: main thread only.

#include <cstdio>

namespace vt::cli {

void print_formats(std::FILE* out);

} // namespace vt::cli
