// fmx_JP2K: JPEG 2000 codestreams (.j2k), JP2 files (.jp2) and JPIP streams (.jpt) on OpenJPEG
// (opj_glue.cpp), Motion JPEG 2000 in mj2.cpp. Load: 1-4 components (grey, grey + alpha, RGB,
// RGBA; subsampled components are spread), any precision scaled to 8 bits, the JP2 ICC profile
// as an "ICCP" chunk; components of 9-16 bits also give the picture at 16 bits when asked; a
// still picture comes at a lower resolution level when the host asks for a draft. Save:
// ".jp2" writes JP2 (with the picture's profile and resolution in its header box), anything else
// a codestream, with 16-bit components when offered a 16-bit picture; "fmx_JP2K.rate" is the
// compression ratio (0 lossless, default).

#include <openjpeg.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "formats/jp2k/jp2k_res.h"
#include "formats/jp2k/mj2.h"
#include "formats/jp2k/opj_glue.h"
#include "sdk/kit/plugin_kit.h"
#include "sdk/vt_plugin.h"

namespace {

using namespace vt::kit;

constexpr std::uint8_t kCodestream[] = {0xFF, 0x4F, 0xFF, 0x51};
constexpr std::uint8_t kJp2[] = {0, 0, 0, 12, 'j', 'P', ' ', ' ', 13, 10, 0x87, 10};

bool known_extension(const FilterCheck& check) {
    return extension_is(check, u".j2k") || extension_is(check, u".jp2") ||
           extension_is(check, u".jpt") || extension_is(check, u".j2c") ||
           extension_is(check, u".jpc") || extension_is(check, u".mj2");
}

bool has_signature(const FilterCheck& check) {
    return head_starts_with(check, kCodestream, sizeof(kCodestream)) ||
           head_starts_with(check, kJp2, sizeof(kJp2));
}

std::int32_t load_image(FilterCall* call) {
    if (call->frame_cb.add_frame == nullptr)
        return VT_ERR_HOST_SERVICES;
    MappedFile file;
    if (const std::int32_t r = file.open(call->path); r != VT_OK)
        return r;
    const std::span<const std::uint8_t> bytes = file.bytes();
    if (vt::formats::jp2k::is_mj2(bytes))
        return vt::formats::jp2k::load_mj2(call, bytes);
    const bool codestream = bytes.size() >= 4 && std::memcmp(bytes.data(), kCodestream, 4) == 0;
    const bool jp2 = bytes.size() >= 12 && std::memcmp(bytes.data(), kJp2, 12) == 0;
    if (!codestream && !jp2) {
        if (bytes.size() < 4 && !bytes.empty() &&
            std::memcmp(bytes.data(), kCodestream, bytes.size()) == 0)
            return VT_ERR_READ;
        return VT_ERR_CORRUPT_OR_UNSUPPORTED;
    }
    vt::formats::jp2k::Decoded decoded;
    decoded.want_deep = deep_wanted(call);
    decoded.may_draft = true;
    const std::int32_t r = vt::formats::jp2k::decode_into_frame(call, bytes, jp2, decoded);
    if (r != VT_OK) {
        std::free(decoded.deep.samples);
        return r;
    }
    if (decoded.deep.samples != nullptr)
        deliver_deep(call, decoded.deep);
    add_frame_chunk(call, kTagIcc, decoded.icc.data(),
                    static_cast<std::uint32_t>(decoded.icc.size()));
    deliver_markup(call, {decoded.bits});
    if (jp2)
        deliver_resolution(call, vt::formats::jp2k::jp2_resolution(bytes));
    return VT_OK;
}

bool ends_with_jp2(const std::uint16_t* path) {
    std::size_t n = 0;
    while (path[n] != 0)
        ++n;
    if (n < 4)
        return false;
    const char16_t want[] = u".jp2";
    for (std::size_t i = 0; i < 4; ++i) {
        std::uint16_t c = path[n - 4 + i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<std::uint16_t>(c + 32);
        if (c != want[i])
            return false;
    }
    return true;
}

std::int32_t save_image(FilterCall* call) {
    if (call->path == nullptr)
        return VT_ERR_HOST_SERVICES;
    if (vt::formats::jp2k::is_mj2_path(call->path))
        return vt::formats::jp2k::save_mj2(call);
    if (const std::int32_t r = select_picture(call); r != VT_OK)
        return r;
    const VtDeepImage* deep = deep_offered(call);
    const vt::formats::jp2k::Image image =
        deep != nullptr ? vt::formats::jp2k::image_of_deep(*deep, deep_transparent(*deep))
                        : vt::formats::jp2k::image_of(call->pixels, call->stride, call->width,
                                                      call->height, any_transparent(call));
    if (!image)
        return VT_ERR_OUT_OF_MEMORY;
    opj_cparameters_t parameters =
        vt::formats::jp2k::encoder_parameters(call, call->width, call->height);
    const bool jp2 = ends_with_jp2(call->path);
    const PrintResolution resolution = jp2 ? frame_resolution(call) : PrintResolution{};
    const ChunkView profile = jp2 ? frame_chunk(call, kTagIcc) : ChunkView{};
    const std::span<const std::uint8_t> icc(profile.data,
                                            profile.data != nullptr ? profile.size : 0);
    const std::int32_t written =
        write_target_named(call->path, [&](const std::string& name) -> std::int32_t {
            const vt::formats::jp2k::Codec codec = vt::formats::jp2k::quiet_codec(
                opj_create_compress(jp2 ? OPJ_CODEC_JP2 : OPJ_CODEC_J2K));
            if (!codec)
                return VT_ERR_OUT_OF_MEMORY;
            if (!opj_setup_encoder(codec.get(), &parameters, image.get()))
                return VT_ERR_INTERNAL;
            // Code blocks are coded apart, so more threads give the same file sooner.
            if (const std::uint32_t spare = spare_threads(call); spare > 0)
                (void)opj_codec_set_threads(codec.get(), static_cast<int>(spare + 1));
            vt::formats::jp2k::Stream stream(
                opj_stream_create_default_file_stream(name.c_str(), OPJ_FALSE));
            if (!stream)
                return VT_ERR_OPEN_WRITE;
            if (!opj_start_compress(codec.get(), image.get(), stream.get()) ||
                !opj_encode(codec.get(), stream.get()) ||
                !opj_end_compress(codec.get(), stream.get()))
                return VT_ERR_WRITE;
            if (!resolution.known() && icc.empty())
                return VT_OK;
            stream.reset(); // closes the file
            return vt::formats::jp2k::add_jp2_header_boxes(name, resolution, icc);
        });
    if (written == VT_OK && deep != nullptr)
        deep_written(call);
    return written;
}

} // namespace

constexpr ::vt::kit::Keeps kJp2kKeeps[] = {
    {u".jp2", VT_KEEPS_PROFILE | VT_KEEPS_ALPHA | VT_KEEPS_RESOLUTION},
    {u".mj2", VT_KEEPS_ALPHA | VT_KEEPS_ANIMATION},
    {nullptr, VT_KEEPS_ALPHA},
};
// Motion JPEG 2000 frames are written from the 8-bit pictures.
constexpr ::vt::kit::DeepBits kJp2kDeepBits[] = {{u".mj2", 0}, {nullptr, 16}};
VT_FORMAT_PLUGIN_EXPORTS_KEEPING(100, has_signature, known_extension, known_extension, load_image,
                                 save_image, kJp2kDeepBits, kJp2kKeeps)
VT_FORMAT_PLUGIN_STATE_ENTRIES({"fmx_JP2K.rate", "0",
                                "compression ratio; 0 or 1 lossless (the default)"})
