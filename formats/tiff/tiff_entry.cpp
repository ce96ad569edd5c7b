// fmx_TIFF: the plug-in's exports, its answers to the host's checks and the call records.
// The libtiff work is in tiff_codec.cpp.

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "formats/tiff/tiff_codec.h"
#include "formats/tiff/tiff_exif.h"
#include "sdk/kit/plugin_kit.h"
#include "sdk/vt_plugin.h"

namespace {

using namespace vt::kit;
using namespace vt::formats::tiff;

constexpr std::uint8_t kLittle[4] = {'I', 'I', 42, 0};
constexpr std::uint8_t kBig[4] = {'M', 'M', 0, 42};
constexpr std::uint8_t kLittleBig[4] = {'I', 'I', 43, 0};
constexpr std::uint8_t kBigBig[4] = {'M', 'M', 0, 43};
constexpr std::uint8_t kDocFrames = 1;

// Page 0's metadata, delivered while its frame is the current one.
void deliver_metadata(FilterCall* call, const PageInfo& page, std::span<const std::uint8_t> file) {
    // A TIFF file is itself a TIFF-structured EXIF block: IFD0 and its EXIF sub-IFD.
    const std::string xmp =
        page.xmp != nullptr ? std::string(page.xmp, strnlen(page.xmp, page.xmp_size)) : "";
    MarkupItems items;
    items.bits_per_pixel = page.bits_per_pixel;
    items.exif = file.data();
    // Classic TIFF offsets stop at 4 GiB, and EXIF readers with them.
    items.exif_size = static_cast<std::uint32_t>(std::min<std::size_t>(file.size(), UINT32_MAX));
    items.xmp = xmp.empty() ? nullptr : xmp.c_str();
    deliver_markup(call, items);
    add_frame_chunk(call, kTagIcc, page.icc, page.icc_size);
    deliver_resolution(call,
                       resolution_per_unit(page.x_resolution, page.y_resolution, page.per_cm));
}

// Reduced-resolution pages are previews of a full page (a scanner's or camera's thumbnail):
// they are left out. Moves to the first full page, or stays on the first page when there is
// none before the chain ends.
std::int32_t skip_previews(TiffReader& reader) {
    if (!reader.reduced_page())
        return VT_OK;
    while (!reader.last_page() && reader.next_page() == VT_OK)
        if (!reader.reduced_page())
            return VT_OK;
    return reader.first_page();
}

// The first page at 16 bits, beside its unchanged 8-bit frame; a page it fails on has none.
void load_deep(FilterCall* call, TiffReader& reader, const PageInfo& page) {
    const std::uint32_t channels = reader.deep_channels();
    if (channels == 0)
        return;
    const std::size_t count = std::size_t{page.width} * page.height * channels;
    auto* samples = static_cast<std::uint16_t*>(std::malloc(count * sizeof(std::uint16_t)));
    if (samples == nullptr)
        return;
    if (reader.decode_deep(samples, page.width * channels) != VT_OK) {
        std::free(samples);
        return;
    }
    deliver_deep(call, {page.width, page.height, channels, page.width * channels, samples, 16, 0});
}

std::int32_t load_image(FilterCall* call) {
    if (call->frame_cb.add_frame == nullptr)
        return VT_ERR_HOST_SERVICES;
    // Mapped, not read: a BigTIFF may be larger than any buffer.
    MappedFile file;
    if (const std::int32_t r = file.open(call->path); r != VT_OK)
        return r;
    const std::span<const std::uint8_t> bytes = file.bytes();
    TiffReader reader;
    if (const std::int32_t r = reader.open(bytes.data(), bytes.size()); r != VT_OK)
        return r;

    if (const std::int32_t r = skip_previews(reader); r != VT_OK)
        return r;
    PageInfo page;
    if (const std::int32_t r = reader.inspect(page); r != VT_OK) {
        if (r == VT_ERR_NOT_IMPLEMENTED && call->set_message != nullptr) {
            const std::string& text = reader.refusal();
            const std::u16string wide(text.begin(), text.end());
            (void)call->set_message(call, reinterpret_cast<const std::uint16_t*>(wide.c_str()));
        }
        return r;
    }
    if (const std::int32_t r = request_frame(call, page.width, page.height); r != VT_OK)
        return r;
    if (const std::int32_t r = reader.decode(call->pixels, call->stride); r != VT_OK)
        return r;
    if (deep_wanted(call))
        load_deep(call, reader, page);
    deliver_metadata(call, page, bytes);

    // Later pages that cannot be read end the document; the pages before them stay.
    std::int32_t frames = 1;
    while (!reader.last_page()) {
        if (frames > call->max_frame) {
            call->warnings |= VT_WARN_LAYERS_DROPPED;
            break;
        }
        if (reader.next_page() != VT_OK) {
            call->warnings |= VT_WARN_DATA_LOST;
            break;
        }
        if (reader.reduced_page())
            continue;
        if (reader.inspect(page) != VT_OK) {
            call->warnings |= VT_WARN_DATA_LOST;
            break;
        }
        if (const std::int32_t r = request_frame(call, page.width, page.height); r != VT_OK)
            return r;
        ++frames;
        if (reader.decode(call->pixels, call->stride) != VT_OK) {
            call->warnings |= VT_WARN_DATA_LOST; // the frame keeps what was decoded
            break;
        }
    }
    if (frames > 1)
        call->doc_kind = kDocFrames;
    return VT_OK;
}

// ------------------------------------------------------------------------------------- saving

// A markup value, or empty.
std::string markup_value(const pi_MetaMarkup* markup, const MarkupBuffer& mb, const char* key) {
    if (markup->get_value == nullptr)
        return {};
    char value[1024] = {};
    if (markup->get_value(&mb, key, value, sizeof(value)) == 0)
        return {};
    return value;
}

// "YYYY:MM:DD HH:MM:SS" from a date in any punctuation (EXIF's colons, XMP's dashes); empty
// when the text holds no full date.
std::string exif_date(const std::string& text) {
    std::string digits;
    for (const char c : text) {
        if (std::isdigit(static_cast<unsigned char>(c)) != 0)
            digits += c;
        if (digits.size() == 14)
            break;
    }
    if (digits.size() < 8)
        return {};
    digits.resize(14, '0');
    return digits.substr(0, 4) + ":" + digits.substr(4, 2) + ":" + digits.substr(6, 2) + " " +
           digits.substr(8, 2) + ":" + digits.substr(10, 2) + ":" + digits.substr(12, 2);
}

// The baseline tags the selected frame's markup names.
void markup_tags(FilterCall* call, PageTags& tags) {
    MarkupBuffer mb{};
    if (!open_frame_markup(call, mb))
        return;
    const pi_MetaMarkup* markup = call->meta_markup;
    tags.make = markup_value(markup, mb, "exif.make");
    tags.model = markup_value(markup, mb, "exif.model");
    tags.software = markup_value(markup, mb, "exif.software");
    tags.artist = markup_value(markup, mb, "exif.artist");
    tags.description = markup_value(markup, mb, "exif.description");
    tags.date_time = exif_date(markup_value(markup, mb, "exif.date_time"));
    const int orientation = std::atoi(markup_value(markup, mb, "exif.orientation").c_str());
    if (orientation >= 1 && orientation <= 8)
        tags.orientation = static_cast<std::uint16_t>(orientation);
    markup->free_buffer(&mb);
}

// The frame the record describes after a selection, checked.
std::int32_t check_selected(const FilterCall* call) {
    if (call->width < 1 || call->height < 1)
        return VT_ERR_BITMAP_SIZE_ZERO;
    if (call->pixels == nullptr || call->stride < call->width)
        return VT_ERR_BITMAP_REQUEST;
    return VT_OK;
}

std::int32_t select_page(FilterCall* call, std::uint32_t index, std::uint32_t pages) {
    if (pages == 1)
        return select_picture(call);
    if (call->frame_cb.select_frame == nullptr)
        return VT_ERR_HOST_SERVICES;
    if (call->frame_cb.select_frame(call, static_cast<std::int32_t>(index)) == 0)
        return call->status < 0 ? call->status : VT_ERR_BITMAP_REQUEST;
    return check_selected(call);
}

// The tags of the selected page.
PageTags page_tags(FilterCall* call) {
    PageTags tags;
    const ChunkView icc = frame_chunk(call, kTagIcc);
    tags.icc = icc.data;
    tags.icc_size = icc.size;
    const PrintResolution resolution = frame_resolution(call);
    tags.x_resolution = resolution.x;
    tags.y_resolution = resolution.y;
    tags.per_cm = resolution.per_cm;
    markup_tags(call, tags);
    return tags;
}

// Writes every page; the first is already selected.
std::int32_t write_pages(FilterCall* call, TiffWriter& writer, std::uint32_t pages,
                         const PageCoding& coding) {
    for (std::uint32_t i = 0; i < pages; ++i) {
        if (i > 0)
            if (const std::int32_t r = select_page(call, i, pages); r != VT_OK)
                return r;
        const PageTags tags = page_tags(call);
        if (const std::int32_t r =
                writer.write_page(call->pixels, call->width, call->height, call->stride,
                                  any_transparent(call), coding, tags, i, pages);
            r != VT_OK)
            return r;
    }
    return VT_OK;
}

std::int32_t save_image(FilterCall* call) {
    if (call->frame_cb.select_frame == nullptr)
        return VT_ERR_HOST_SERVICES;
    const std::uint32_t pages =
        call->doc_kind == kDocFrames && call->frame_count > 1 ? call->frame_count : 1;
    PageCoding coding;
    coding.compression = static_cast<std::uint16_t>(
        state_option(call, u"fmx_TIFF.compression", kCompressLzw, 1, 65535));
    coding.jpeg_quality = state_option(call, u"fmx_TIFF.jpeg_quality", 90, 1, 100);
    const int bigtiff = state_option(call, u"fmx_TIFF.bigtiff", 0, 0, 1);
    // Every picture is checked before the file is touched, and counted towards the size.
    std::uint64_t raw_bytes = 0;
    for (std::uint32_t i = pages; i-- > 0;) {
        if (const std::int32_t r = select_page(call, i, pages); r != VT_OK)
            return r;
        raw_bytes += std::uint64_t{call->width} * call->height * 4;
    }
    const VtDeepImage* deep = pages == 1 ? deep_offered(call) : nullptr;
    if (deep != nullptr)
        raw_bytes = std::uint64_t{deep->width} * deep->height * deep->channels * 2;
    const bool big = bigtiff == 1 || needs_bigtiff(raw_bytes, coding.compression);
    // The first page's camera data, from the markup only, like every other plug-in's.
    const std::vector<std::uint8_t> exif = exif_from_markup(call, kMaxExifBytes);
    // libtiff opens the file itself.
    return write_target_named(call->path, [&](const std::string& name) {
        TiffWriter writer;
        std::int32_t result = writer.open(name, big);
        if (result != VT_OK)
            return result;
        if (deep != nullptr) {
            PageTags tags = page_tags(call);
            result = writer.write_deep_page(deep->samples, deep->width, deep->height, deep->stride,
                                            deep->channels, deep_transparent(*deep), coding, tags);
        } else {
            result = write_pages(call, writer, pages, coding);
        }
        const std::int32_t closed = writer.close();
        if (result == VT_OK)
            result = closed;
        if (result == VT_OK && deep != nullptr)
            deep_written(call);
        if (result == VT_OK && !exif.empty() && !big) {
            // Without its EXIF directory the file is still a good picture with its main tags.
            // (A BigTIFF's 64-bit directories are not ours to extend: it goes without.)
            if (std::FILE* file = std::fopen(name.c_str(), "r+b"); file != nullptr) {
                (void)attach_exif(file, exif);
                std::fclose(file);
            }
        }
        return result;
    });
}

bool tiff_extension(const FilterCheck& check) {
    return extension_is(check, u".tif") || extension_is(check, u".tiff");
}

bool tiff_signature(const FilterCheck& check) {
    return head_starts_with(check, kLittle, 4) || head_starts_with(check, kBig, 4) ||
           head_starts_with(check, kLittleBig, 4) || head_starts_with(check, kBigBig, 4);
}

} // namespace

VT_FORMAT_PLUGIN_EXPORTS_KEEPING(100, tiff_signature, tiff_extension, tiff_extension, load_image,
                                 save_image, 16,
                                 VT_KEEPS_PROFILE | VT_KEEPS_ALPHA | VT_KEEPS_RESOLUTION |
                                     VT_KEEPS_EXIF | VT_KEEPS_PAGES)

VT_FORMAT_PLUGIN_STATE_ENTRIES(
    {"fmx_TIFF.compression", "5",
     "1: none, 5: LZW, 8: Deflate, 32773: PackBits, 7: JPEG (pictures without "
     "transparency; others use LZW)"},
    {"fmx_TIFF.jpeg_quality", "90", "1 to 100: the quality of JPEG compression"},
    {"fmx_TIFF.bigtiff", "0",
     "0: BigTIFF only when the file may pass 4 GB, 1: always BigTIFF (64-bit offsets)"})
