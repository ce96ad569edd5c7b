#pragma once
// What the tests of the layered formats share: a zip container claiming a picture, and a
// layered file through the plug-in, VT5 and the plug-in again: what each load made of the
// layers (name, position, mode word, transparency, size and pixels) for the two to compare.
#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "formats/ora/ora_zip.h"
#include "tests/formats/format_conformance.h"
#include "vt5/vt5.h"

namespace vt::test {

// A zip led by `mimetype` with the XML entry and a PNG whose header claims width x height and
// which holds no pixel data.
inline std::string zip_claiming(std::string_view mimetype, const char* xml_name,
                                const std::string& xml, const char* png_name, std::uint32_t width,
                                std::uint32_t height) {
    std::string png("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16);
    std::string ihdr;
    for (const std::uint32_t v : {width, height})
        for (int s = 24; s >= 0; s -= 8)
            ihdr += static_cast<char>(v >> s);
    ihdr += std::string("\x08\x06\0\0\0", 5);
    png += ihdr;
    const auto crc = crc32(crc32(0, reinterpret_cast<const Bytef*>("IHDR"), 4),
                           reinterpret_cast<const Bytef*>(ihdr.data()), 13);
    for (int s = 24; s >= 0; s -= 8)
        png += static_cast<char>(crc >> s);
    formats::ZipWriter zip;
    zip.add("mimetype", {mimetype.begin(), mimetype.end()}, false);
    zip.add(xml_name, {xml.begin(), xml.end()}, true);
    zip.add(png_name, {png.begin(), png.end()}, false);
    std::vector<std::uint8_t> out;
    return zip.finish(out) == VT_OK ? std::string(out.begin(), out.end()) : std::string();
}

struct LayerRow {
    std::u16string name;
    std::int32_t x = 0, y = 0;
    std::uint16_t mode = 0;
    std::uint8_t transparency = 0;
    Frame picture;
    bool operator==(const LayerRow& o) const {
        return name == o.name && x == o.x && y == o.y && mode == o.mode &&
               transparency == o.transparency && max_difference(picture, o.picture) == 0;
    }
};

inline void PrintTo(const LayerRow& r, std::ostream* os) {
    *os << "{" << std::string(r.name.begin(), r.name.end()) << " @" << r.x << "," << r.y << " mode "
        << r.mode << " t " << int{r.transparency} << " " << r.picture.width << "x"
        << r.picture.height << "}";
}

// The layers a load through the plug-in fills (at most 64), kept for the caller to free.
inline std::uint32_t load_layers(const PluginApi& api, const std::string& path,
                                 std::vector<Layer>& layers) {
    layers.assign(64, Layer{});
    auto host = std::make_unique<detail::HostCall>();
    host->layers = layers.data();
    const std::u16string path16 = base::utf8_to_utf16(path);
    detail::prepare(*host, path16);
    FilterCall& call = host->call;
    call.frame_cb.add_frame = detail::add_frame;
    call.meta_cb.add_meta_chunk = detail::add_meta_chunk;
    call.max_frame = 63;
    const std::int32_t result = api.load(&call);
    detail::release_current(&call);
    std::free(call.meta);
    return result == VT_OK ? call.frames_in_use : 0;
}

inline std::int32_t save_layers(const PluginApi& api, const std::string& path,
                                std::vector<Layer>& layers, std::uint32_t count) {
    auto host = std::make_unique<detail::HostCall>();
    host->layers = layers.data();
    const std::u16string path16 = base::utf8_to_utf16(path);
    detail::prepare(*host, path16);
    FilterCall& call = host->call;
    call.frame_cb.select_frame = detail::select_frame;
    call.meta_cb.get_meta_chunk = detail::get_meta_chunk;
    call.frame_count = call.frames_in_use = count;
    (void)detail::select_frame(&call, 0);
    const std::int32_t result = api.save(&call);
    detail::release_current(&call);
    return result;
}

inline std::vector<LayerRow> rows_of(std::vector<Layer>& layers, std::uint32_t count) {
    std::vector<LayerRow> rows;
    for (std::uint32_t i = 0; i < count; ++i) {
        Layer& l = layers[i];
        rows.push_back({std::u16string(reinterpret_cast<const char16_t*>(l.name)), l.x, l.y, l.mode,
                        l.transparency, detail::take_frame(l)});
    }
    return rows;
}

// The layers of `file` as loaded, and as loaded again after VT5 and a save to `again`.
inline std::pair<std::vector<LayerRow>, std::vector<LayerRow>>
through_vt5(const PluginApi& api, const std::string& file, const std::string& again) {
    std::vector<Layer> first;
    const std::uint32_t n = load_layers(api, file, first);
    std::pair<std::vector<LayerRow>, std::vector<LayerRow>> out{rows_of(first, n), {}};
    image::LoadStatus status{};
    std::vector<std::uint8_t> vt5;
    const bool written = n > 0 && vt5::Vt5Write(first.data(), n, status, vt5, {}) == n;
    detail::free_layers(first);
    if (!written)
        return out;
    std::vector<Layer> read(64);
    image::LoadStatus read_status{};
    const std::uint32_t m = vt5::Vt5Read(read.data(), 64, read_status, vt5, u"doc.vt5");
    const std::int32_t saved = m > 0 ? save_layers(api, again, read, m) : 0;
    detail::free_layers(read);
    if (saved != VT_OK)
        return out;
    std::vector<Layer> last;
    const std::uint32_t k = load_layers(api, again, last);
    out.second = rows_of(last, k);
    detail::free_layers(last);
    return out;
}

} // namespace vt::test
