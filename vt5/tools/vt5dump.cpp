// vt5dump FILE [--json] [--pixels DIR] [--password TEXT]... [--loud]: prints the header,
// elements and layers of a VT5 file as the reader sees them; --pixels writes each layer as
// DIR/layer_NNNN.pam. --password gives the answers to a protected file's password prompt, in
// order (none: Cancel); --loud reads as the desktop does, listing the boxes and dialogs shown.

#include <cstdio>
#include <optional>
#include <string>

#include "base/utf.h"
#include "platform/files.h"
#include "vt5/tools/dump.h"

int main(int argc, char** argv) {
    std::string file;
    std::string pixels_dir;
    bool json = false;
    vt::vt5::DumpRead read;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--json") {
            json = true;
        } else if (arg == "--loud") {
            read.loud = true;
        } else if (arg == "--password" && i + 1 < argc) {
            read.passwords.push_back(vt::base::utf8_to_utf16(argv[++i]));
        } else if (arg == "--pixels" && i + 1 < argc) {
            pixels_dir = argv[++i];
        } else if (file.empty() && !arg.starts_with("--")) {
            file = arg;
        } else {
            file.clear();
            break;
        }
    }
    if (file.empty()) {
        std::fprintf(stderr,
                     "usage: vt5dump FILE [--json] [--pixels DIR] [--password TEXT]... [--loud]\n");
        return 2;
    }
    const std::u16string path = vt::base::utf8_to_utf16(file);
    const auto size = vt::platform::file_size(path);
    const auto bytes =
        size ? vt::platform::read_file_prefix(path, static_cast<std::size_t>(*size)) : std::nullopt;
    if (!bytes) {
        std::fprintf(stderr, "vt5dump: cannot read %s\n", file.c_str());
        return 1;
    }
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes->data());
    const vt::vt5::DumpResult dump =
        vt::vt5::dump_vt5({data, bytes->size()}, path, json, !pixels_dir.empty(), read);
    std::fwrite(dump.text.data(), 1, dump.text.size(), stdout);
    if (!pixels_dir.empty()) {
        const std::u16string dir = vt::base::utf8_to_utf16(pixels_dir);
        if (!vt::platform::create_folder_chain(dir)) {
            std::fprintf(stderr, "vt5dump: cannot create %s\n", pixels_dir.c_str());
            return 1;
        }
        for (std::size_t i = 0; i < dump.pam_files.size(); ++i) {
            char name[32];
            std::snprintf(name, sizeof name, "/layer_%04zu.pam", i);
            const std::string target = pixels_dir + name;
            std::FILE* f = std::fopen(target.c_str(), "wb");
            const std::string& pam = dump.pam_files[i];
            const bool ok = f != nullptr && std::fwrite(pam.data(), 1, pam.size(), f) == pam.size();
            if (f != nullptr && std::fclose(f) != 0) {
                std::fprintf(stderr, "vt5dump: cannot write %s\n", target.c_str());
                return 1;
            }
            if (!ok) {
                std::fprintf(stderr, "vt5dump: cannot write %s\n", target.c_str());
                return 1;
            }
        }
    }
    return dump.layers > 0 ? 0 : 1;
}
