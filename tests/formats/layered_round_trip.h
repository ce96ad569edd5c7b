#pragma once
// A layered file through the plug-in, VT5 and the plug-in again: what each load made of the
// layers (name, position, mode word, transparency, size and pixels) for the two to be compared.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/formats/format_conformance.h"
#include "vt5/vt5.h"

namespace vt::test {

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
