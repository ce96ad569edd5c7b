#include "vt5/tools/dump.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include "base/le.h"
#include "base/utf.h"
#include "image/bitmap.h"
#include "image/image_doc.h"
#include "image/load_status.h"
#include "image/meta_block.h"
#include "platform/ui_hooks.h"
#include "vt5/codec/block_stream.h"
#include "vt5/format.h"
#include "vt5/tools/sha256.h"
#include "vt5/vt5.h"

namespace vt::vt5 {
namespace {

struct Element {
    std::uint64_t offset = 0;
    std::uint8_t type = 0;
    std::uint32_t body = 0;
    Vt5LayerHeader layer;        // type 1
    codec::Vt5BlockHeader block; // type 2
    std::string stamp;           // type 254
};

// Every element from the header size on, as stored, up to the end element or the end of data.
std::vector<Element> walk_elements(std::span<const std::uint8_t> bytes, std::uint64_t at) {
    std::vector<Element> elements;
    while (at <= bytes.size() && bytes.size() - at >= codec::kElementHeaderSize) {
        Element e;
        e.offset = at;
        e.type = bytes[at];
        e.body = base::load_le32(&bytes[at + 4]);
        at += codec::kElementHeaderSize;
        const auto body = bytes.subspan(static_cast<std::size_t>(at))
                              .first(static_cast<std::size_t>(
                                  std::min<std::uint64_t>(e.body, bytes.size() - at)));
        if (e.type == codec::kElementLayer) {
            e.layer = parse_layer_header(body.first(std::min<std::size_t>(body.size(), 128)));
        } else if (e.type == codec::kElementBlock) {
            std::uint8_t raw[codec::kBlockHeaderSize] = {};
            std::copy_n(body.begin(), std::min(body.size(), sizeof raw), raw);
            e.block.compressed_length = base::load_le32(raw + 4);
            e.block.uncompressed_length = base::load_le32(raw + 8);
            std::copy_n(raw + 16, codec::kChainLength, e.block.chain.begin());
        } else if (e.type == codec::kElementStamp) {
            for (std::size_t i = 0; i < body.size() && body[i] != 0; ++i)
                e.stamp.push_back(static_cast<char>(body[i]));
        }
        elements.push_back(std::move(e));
        if (elements.back().type == codec::kElementEnd)
            break;
        at += elements.back().body;
    }
    return elements;
}

// The elements of a major version 3 file: a 4-byte element header whose size counts itself but
// not a data block's payload, which follows the block's own header.
std::vector<Element> walk_elements_v3(std::span<const std::uint8_t> bytes, std::uint64_t at) {
    std::vector<Element> elements;
    while (at <= bytes.size() && bytes.size() - at >= 4) {
        const std::uint8_t* p = &bytes[at];
        const auto left = bytes.size() - at;
        std::uint8_t raw[96] = {};
        std::copy_n(p, std::min<std::uint64_t>(left, sizeof raw), raw);
        Element e;
        e.offset = at;
        e.type = raw[0];
        e.body = base::load_le16(raw + 2);
        std::uint64_t next = std::max<std::uint32_t>(e.body, 4);
        if (e.type == codec::kElementLayer) {
            e.layer.x = static_cast<std::int16_t>(base::load_le16(raw + 4));
            e.layer.y = static_cast<std::int16_t>(base::load_le16(raw + 6));
            e.layer.width = base::load_le16(raw + 8);
            e.layer.height = base::load_le16(raw + 10);
            e.layer.layout = raw[12];
            e.layer.channels = raw[13];
            e.layer.frame_type = raw[14];
            e.layer.reference_distance = raw[15];
            e.layer.meta_length = base::load_le32(raw + 84);
            e.layer.meta_offset = base::load_le32(raw + 88);
        } else if (e.type == codec::kElementBlock) {
            e.block.compressed_length = base::load_le32(raw + 4);
            e.block.uncompressed_length = base::load_le32(raw + 8);
            std::copy_n(raw + 12, codec::kChainLength, e.block.chain.begin());
            next = std::uint64_t{e.body} + e.block.compressed_length;
        }
        elements.push_back(std::move(e));
        if (elements.back().type == codec::kElementEnd || next == 0)
            break;
        at += next;
    }
    return elements;
}

std::string quoted(std::string_view s) {
    std::string out = "\"";
    for (const char c : s) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (u < 0x20 || u == 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", u);
            out += buf;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string element_name(std::uint8_t type) {
    switch (type) {
    case codec::kElementLayer:
        return "layer";
    case codec::kElementBlock:
        return "block";
    case codec::kElementStamp:
        return "stamp";
    case codec::kElementEnd:
        return "end";
    default:
        return "unknown";
    }
}

// "[1,2]" in JSON, "[1 2]" or "[none]" in text.
std::string chain_text(const codec::CodecChain& chain, bool json) {
    std::string s = "[";
    for (const std::uint8_t id : chain) {
        if (id == 0 && !json)
            continue;
        if (s.size() > 1)
            s += json ? ',' : ' ';
        s += std::to_string(id);
    }
    if (!json && s.size() == 1)
        s += "none";
    s += ']';
    return s;
}

// Key-value pairs rendered as "k v k v" text or a JSON object.
class Fields {
public:
    explicit Fields(bool json) : m_json(json) {}
    Fields& num(std::string_view key, std::int64_t v) { return raw(key, std::to_string(v)); }
    Fields& str(std::string_view key, std::string_view v) { return raw(key, quoted(v)); }
    Fields& raw(std::string_view key, std::string_view v) {
        if (!m_out.empty())
            m_out += m_json ? ", " : " ";
        m_out += m_json ? quoted(key) + ": " : std::string(key) + "=";
        m_out += v;
        return *this;
    }
    [[nodiscard]] std::string done() const { return m_json ? "{" + m_out + "}" : m_out; }

private:
    bool m_json;
    std::string m_out;
};

std::string layer_name_utf8(const Layer& layer) {
    return base::utf16_to_utf8(image::layer_name(layer));
}

std::string chunk_tag(std::uint32_t tag) {
    std::string s;
    for (int k = 0; k < 32; k += 8) {
        const char c = static_cast<char>((tag >> k) & 0xFF);
        s += (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    return s;
}

// What a loud read showed; the hooks are plain functions, so the record is per thread.
struct Shown {
    std::vector<std::u16string> answers;
    std::size_t next = 0;
    std::vector<std::string> boxes, dialogs;
};
thread_local Shown* t_shown = nullptr;

std::string_view icon_name(platform::MessageIcon icon) {
    switch (icon) {
    case platform::MessageIcon::information:
        return "information";
    case platform::MessageIcon::warning:
        return "warning";
    case platform::MessageIcon::error:
        return "error";
    default:
        return "none";
    }
}

platform::MessageAnswer record_box(std::u16string_view text, std::u16string_view title,
                                   platform::MessageButtons buttons, platform::MessageIcon icon) {
    const bool more = t_shown->next < t_shown->answers.size();
    platform::MessageAnswer answer = platform::MessageAnswer::ok;
    std::string_view word = "ok";
    if (buttons == platform::MessageButtons::retry_cancel) {
        answer = more ? platform::MessageAnswer::retry : platform::MessageAnswer::cancel;
        word = more ? "retry" : "cancel";
    } else if (buttons != platform::MessageButtons::ok) {
        answer = more ? platform::MessageAnswer::ok : platform::MessageAnswer::cancel;
        word = more ? "ok" : "cancel";
    }
    std::string box = "[";
    for (const std::string& part :
         {quoted(base::utf16_to_utf8(title)), quoted(base::utf16_to_utf8(text)),
          quoted(icon_name(icon)), quoted(word)})
        box.append(box.size() > 1 ? ", " : "").append(part);
    t_shown->boxes.push_back(box + "]");
    return answer;
}

bool answer_dialog(std::u16string_view prompt, char16_t* answer, std::size_t capacity) {
    t_shown->dialogs.push_back(
        quoted(base::utf16_to_utf8(platform::split_password_prompt(prompt).text)));
    if (t_shown->next >= t_shown->answers.size())
        return false;
    const std::u16string& typed = t_shown->answers[t_shown->next++];
    const std::size_t n = std::min(typed.size(), capacity - 1);
    std::copy_n(typed.begin(), n, answer);
    answer[n] = 0;
    return true;
}

std::string json_list(const std::vector<std::string>& items) {
    std::string s = "[";
    for (std::size_t i = 0; i < items.size(); ++i)
        s += (i ? ", " : "") + items[i];
    return s + "]";
}

// The header as its own layout has it: the single-image layouts keep the picture's size, data
// and codec chain there instead of a kind and a layer count.
std::string header_fields(bool json, const Vt5FileHeader& header,
                          std::span<const std::uint8_t> bytes) {
    std::uint8_t raw[52] = {};
    std::copy_n(bytes.begin(), std::min(bytes.size(), sizeof raw), raw);
    Fields f(json);
    f.str("magic", std::string(header.magic.begin(), header.magic.end()))
        .num("header_size", header.header_size)
        .num("major", header.major())
        .num("revision", header.revision());
    const std::uint16_t major = header.major();
    if (major >= 3) {
        f.num("kind_code", header.kind_code).num("kind_param", header.kind_param);
        if (major == 4)
            f.num("layer_count", header.layer_count);
    } else {
        const bool v2 = major == 2;
        codec::CodecChain chain{};
        std::copy_n(raw + (v2 ? 28 : 24), codec::kChainLength, chain.begin());
        f.num("width", base::load_le16(raw + 12)).num("height", base::load_le16(raw + 14));
        if (v2)
            f.num("layout", raw[16] & 0x0f).num("preprocessor", raw[17]).num("channels", raw[18]);
        f.num("data_offset", base::load_le32(raw + (v2 ? 20 : 16)))
            .num("data_length", base::load_le32(raw + (v2 ? 24 : 20)))
            .raw("chain", chain_text(chain, json));
        if (v2)
            f.num("palette_offset", base::load_le32(raw + 44));
    }
    return f.num("file_size", static_cast<std::int64_t>(bytes.size())).done();
}

} // namespace

std::string pixel_hash(const Bitmap& bitmap) {
    Sha256 sha;
    std::vector<std::uint8_t> row(std::size_t{bitmap.width} * 4);
    for (std::uint32_t y = 0; y < bitmap.height && bitmap.pixels != nullptr; ++y) {
        const std::uint32_t* p = bitmap.pixels + std::size_t{y} * bitmap.stride;
        for (std::uint32_t x = 0; x < bitmap.width; ++x)
            base::store_le32(&row[4 * std::size_t{x}], p[x]);
        sha.update(row);
    }
    return hex(sha.finish());
}

std::string pam_image(const Bitmap& bitmap) {
    std::string pam = "P7\nWIDTH " + std::to_string(bitmap.width) + "\nHEIGHT " +
                      std::to_string(bitmap.height) +
                      "\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n";
    pam.reserve(pam.size() + std::size_t{bitmap.width} * bitmap.height * 4);
    for (std::uint32_t y = 0; y < bitmap.height && bitmap.pixels != nullptr; ++y) {
        const std::uint32_t* p = bitmap.pixels + std::size_t{y} * bitmap.stride;
        for (std::uint32_t x = 0; x < bitmap.width; ++x) {
            pam += static_cast<char>((p[x] >> 16) & 0xFF);
            pam += static_cast<char>((p[x] >> 8) & 0xFF);
            pam += static_cast<char>(p[x] & 0xFF);
            pam += static_cast<char>(255 - (p[x] >> 24));
        }
    }
    return pam;
}

DumpResult dump_vt5(std::span<const std::uint8_t> bytes, std::u16string_view name, bool json,
                    bool with_pixels, const DumpRead& read) {
    DumpResult result;
    std::string& out = result.text;
    const Vt5FileHeader header =
        parse_file_header(bytes.first(std::min<std::size_t>(bytes.size(), 32)));
    const bool vt5 = bytes.size() >= 8 && header.has_magic();
    const std::uint16_t major = header.major();
    // Only the layered layouts have elements; 2, 1 and 0 hold one image compressed whole.
    std::vector<Element> elements;
    if (vt5 && major == 4)
        elements = walk_elements(bytes, header.header_size);
    else if (vt5 && major == 3)
        elements = walk_elements_v3(bytes, header.header_size);

    auto doc = std::make_unique<image::ImageDoc>();
    std::fill(std::begin(doc->layers), std::end(doc->layers), Layer{});
    std::vector<Vt5LayerHeader> headers(image::kMaxLayers);
    image::LoadStatus status{};
    status.silent = read.loud ? 0 : 1;
    ReadOptions options;
    options.layer_headers = headers;
    options.passwords = &read.passwords;
    Shown shown;
    shown.answers = read.passwords;
    if (read.loud) {
        t_shown = &shown;
        platform::UiHooks hooks;
        hooks.message_box = record_box;
        hooks.ask_password = answer_dialog;
        platform::set_ui_hooks(hooks);
    }
    result.layers = Vt5Read(doc->layers, image::kMaxLayers, status, bytes, name, options);
    if (read.loud) {
        platform::set_ui_hooks(platform::UiHooks{});
        t_shown = nullptr;
    }

    const std::string head = header_fields(json, header, bytes);
    std::vector<std::string> element_lines;
    for (const Element& e : elements) {
        Fields f(json);
        f.num("offset", static_cast<std::int64_t>(e.offset))
            .str("type", element_name(e.type))
            .num("code", e.type)
            .num("body", e.body);
        if (e.type == codec::kElementLayer) {
            const Vt5LayerHeader& h = e.layer;
            f.num("x", h.x)
                .num("y", h.y)
                .num("width", h.width)
                .num("height", h.height)
                .num("layout", h.layout)
                .num("channels", h.channels)
                .num("frame_type", h.frame_type)
                .num("reference_distance", h.reference_distance)
                .num("meta_offset", h.meta_offset)
                .num("meta_length", h.meta_length);
        } else if (e.type == codec::kElementBlock) {
            f.num("C", e.block.compressed_length)
                .num("U", e.block.uncompressed_length)
                .raw("chain", chain_text(e.block.chain, json));
        } else if (e.type == codec::kElementStamp) {
            f.str("text", e.stamp);
        }
        element_lines.push_back(f.done());
    }
    std::vector<std::string> layer_lines;
    for (std::uint32_t i = 0; i < result.layers; ++i) {
        const Layer& l = doc->layers[i];
        const Vt5LayerHeader& h = headers[i];
        std::string chunks = json ? "[" : "";
        image::MetaChunkIterator it(l.meta, l.meta_size);
        image::MetaChunk c{};
        bool first = true;
        while (l.meta != nullptr && it.next(c)) {
            if (!first)
                chunks += json ? ", " : " ";
            chunks += json ? Fields(true).str("tag", chunk_tag(c.tag)).num("size", c.size).done()
                           : chunk_tag(c.tag) + ":" + std::to_string(c.size);
            first = false;
        }
        chunks += json ? "]" : "";
        Fields f(json);
        f.num("index", i)
            .num("x", l.x)
            .num("y", l.y)
            .num("width", l.bitmap.width)
            .num("height", l.bitmap.height)
            .str("name", layer_name_utf8(l))
            .num("mode", l.mode)
            .num("mode2", l.mode2)
            .num("attr", l.attr)
            .num("transparency", l.transparency)
            .num("meta_size", l.meta_size)
            .num("frame_type", h.frame_type)
            .num("layout", h.layout)
            .num("channels", h.channels)
            .raw("chunks", json ? chunks : "[" + chunks + "]")
            .str("sha256", pixel_hash(l.bitmap));
        layer_lines.push_back(f.done());
        if (with_pixels)
            result.pam_files.push_back(pam_image(l.bitmap));
    }
    const std::string tail =
        Fields(json)
            .num("result", result.layers)
            .str("version_text", base::utf16_to_utf8(status.version_text.view()))
            .num("doc_kind", status.doc_kind)
            .num("kind_param", status.kind_param)
            .str("error_text", base::utf16_to_utf8(status.error_text.view()))
            .num("is_native", status.is_native)
            .num("password_protected", status.password_protected)
            .num("meta_upgraded", status.meta_upgraded)
            .num("layer_limit_hit", status.layer_limit_hit)
            .done();
    image::release_image(*doc);

    if (json) {
        auto list = [](const std::vector<std::string>& items) {
            std::string s = "[";
            for (std::size_t i = 0; i < items.size(); ++i)
                s += (i ? ",\n    " : "\n    ") + items[i];
            return s + (items.empty() ? "]" : "\n  ]");
        };
        out = "{\n  \"header\": " + head + ",\n  \"elements\": " + list(element_lines) +
              ",\n  \"layers\": " + list(layer_lines) + ",\n  \"read\": " + tail +
              (read.loud ? ",\n  \"boxes\": " + json_list(shown.boxes) +
                               ",\n  \"dialogs\": " + json_list(shown.dialogs)
                         : std::string()) +
              "\n}\n";
    } else {
        out = "header " + head + "\n";
        for (const std::string& line : element_lines)
            out += "element " + line + "\n";
        for (const std::string& line : layer_lines)
            out += "layer " + line + "\n";
        out += "read " + tail + "\n";
        for (const std::string& box : shown.boxes)
            out += "box " + box + "\n";
        for (const std::string& dialog : shown.dialogs)
            out += "dialog " + dialog + "\n";
    }
    return result;
}

} // namespace vt::vt5
