// XPM and XBM reader and writer of fmx_XPM (X.Org XPM manual, X11 bitmap files).

#include "formats/xpm/xpm_codec.h"

#include <cctype>
#include <cstring>
#include <string>
#include <unordered_map>

namespace vt::formats {
namespace {

constexpr std::uint32_t kMaxSide = 65536;
constexpr std::uint64_t kMaxPixels = 250000000;
constexpr std::uint32_t kTransparent = 0xFF000000u;

// X11 colour names commonly found in pixmaps (lower case, without blanks); grey and gray with a
// number are computed.
constexpr struct {
    const char* name;
    std::uint32_t rgb;
} kNames[] = {
    {"black", 0x000000},       {"white", 0xFFFFFF},      {"red", 0xFF0000},
    {"green", 0x00FF00},       {"blue", 0x0000FF},       {"yellow", 0xFFFF00},
    {"cyan", 0x00FFFF},        {"magenta", 0xFF00FF},    {"gray", 0xBEBEBE},
    {"grey", 0xBEBEBE},        {"darkgray", 0xA9A9A9},   {"darkgrey", 0xA9A9A9},
    {"lightgray", 0xD3D3D3},   {"lightgrey", 0xD3D3D3},  {"dimgray", 0x696969},
    {"orange", 0xFFA500},      {"brown", 0xA52A2A},      {"pink", 0xFFC0CB},
    {"purple", 0xA020F0},      {"navy", 0x000080},       {"navyblue", 0x000080},
    {"maroon", 0xB03060},      {"gold", 0xFFD700},       {"silver", 0xC0C0C0},
    {"darkred", 0x8B0000},     {"darkgreen", 0x006400},  {"darkblue", 0x00008B},
    {"lightblue", 0xADD8E6},   {"skyblue", 0x87CEEB},    {"steelblue", 0x4682B4},
    {"forestgreen", 0x228B22}, {"seagreen", 0x2E8B57},   {"khaki", 0xF0E68C},
    {"tan", 0xD2B48C},         {"salmon", 0xFA8072},     {"violet", 0xEE82EE},
    {"orchid", 0xDA70D6},      {"wheat", 0xF5DEB3},      {"beige", 0xF5F5DC},
    {"ivory", 0xFFFFF0},       {"coral", 0xFF7F50},      {"tomato", 0xFF6347},
    {"turquoise", 0x40E0D0},   {"indigo", 0x4B0082},     {"olive", 0x808000},
    {"teal", 0x008080},        {"lime", 0x00FF00},       {"aqua", 0x00FFFF},
    {"gainsboro", 0xDCDCDC},   {"whitesmoke", 0xF5F5F5}, {"snow", 0xFFFAFA},
};

int hex(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// A colour of the XPM colour table: "#" and 3, 6, 9 or 12 hex digits, "None", or an X11 name.
bool parse_colour(std::string_view text, std::uint32_t& out) {
    if (!text.empty() && text[0] == '#') {
        const std::size_t digits = text.size() - 1;
        if (digits == 0 || digits % 3 != 0 || digits > 12)
            return false;
        const std::size_t each = digits / 3;
        std::uint32_t rgb = 0;
        for (std::size_t c = 0; c < 3; ++c) {
            std::uint32_t v = 0;
            for (std::size_t i = 0; i < each; ++i) {
                const int d = hex(text[1 + c * each + i]);
                if (d < 0)
                    return false;
                v = v * 16 + static_cast<std::uint32_t>(d);
            }
            v = each == 1 ? v * 17 : v >> (4 * (each - 2)); // the top 8 bits
            rgb = (rgb << 8) | v;
        }
        out = rgb;
        return true;
    }
    std::string name;
    for (const char c : text)
        if (c != ' ')
            name += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (name == "none" || name == "transparent") {
        out = kTransparent;
        return true;
    }
    for (const auto& n : kNames)
        if (name == n.name) {
            out = n.rgb;
            return true;
        }
    if ((name.starts_with("gray") || name.starts_with("grey")) && name.size() > 4 &&
        name.size() <= 7 && name.find_first_not_of("0123456789", 4) == std::string::npos) {
        const int level = std::stoi(name.substr(4));
        if (level > 100)
            return false;
        out = static_cast<std::uint32_t>((level * 255 + 50) / 100) * 0x010101u;
        return true;
    }
    return false;
}

bool is_key(std::string_view w) {
    return w == "c" || w == "m" || w == "g" || w == "g4" || w == "s";
}

std::vector<std::string_view> words(std::string_view s) {
    std::vector<std::string_view> out;
    std::size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t'))
            ++i;
        const std::size_t start = i;
        while (i < s.size() && s[i] != ' ' && s[i] != '\t')
            ++i;
        if (i > start)
            out.push_back(s.substr(start, i - start));
    }
    return out;
}

// A colour line after its key: the colour of the best visual given, colour first.
bool line_colour(std::string_view rest, std::uint32_t& out) {
    const std::vector<std::string_view> w = words(rest);
    int best_rank = 99;
    for (std::size_t i = 0; i < w.size();) {
        if (!is_key(w[i]))
            return false;
        std::size_t j = i + 1;
        while (j < w.size() && !is_key(w[j]))
            ++j;
        if (j == i + 1)
            return false;
        const std::string_view value(w[i + 1].data(),
                                     w[j - 1].data() + w[j - 1].size() - w[i + 1].data());
        const int rank = w[i] == "c" ? 0 : w[i] == "g" ? 1 : w[i] == "g4" ? 2 : w[i] == "m" ? 3 : 9;
        std::uint32_t colour = 0;
        if (rank < best_rank && parse_colour(value, colour)) {
            best_rank = rank;
            out = colour;
        }
        i = j;
    }
    return best_rank < 99;
}

std::uint64_t key_of(std::string_view s) {
    std::uint64_t k = 0;
    std::memcpy(&k, s.data(), s.size());
    return k;
}

// XPM3's quoted strings, comments left out.
std::vector<std::string_view> c_strings(std::string_view text) {
    std::vector<std::string_view> out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text.compare(i, 2, "/*") == 0) {
            const std::size_t end = text.find("*/", i + 2);
            if (end == std::string_view::npos)
                break;
            i = end + 1;
        } else if (text[i] == '"') {
            const std::size_t end = text.find('"', i + 1);
            if (end == std::string_view::npos)
                break;
            out.push_back(text.substr(i + 1, end - i - 1));
            i = end;
        }
    }
    return out;
}

std::int32_t check_size(std::uint64_t w, std::uint64_t h) {
    if (w < 1 || h < 1 || w > kMaxSide || h > kMaxSide || w * h > kMaxPixels)
        return -13;
    return 1;
}

std::int32_t read_xbm(std::string_view text, XpmImage& image) {
    image.bitmap = true;
    image.bits_per_pixel = 1;
    std::uint64_t size[2] = {0, 0};
    const char* suffix[2] = {"_width", "_height"};
    for (int k = 0; k < 2; ++k) {
        const std::size_t at = text.find(suffix[k]);
        if (at == std::string_view::npos)
            return -44;
        std::size_t i = at + std::strlen(suffix[k]);
        while (i < text.size() && text[i] == ' ')
            ++i;
        for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i)
            if ((size[k] = size[k] * 10 + static_cast<std::uint64_t>(text[i] - '0')) > kMaxSide * 2)
                return -13;
    }
    if (const std::int32_t r = check_size(size[0], size[1]); r != 1)
        return r;
    image.width = static_cast<std::uint32_t>(size[0]);
    image.height = static_cast<std::uint32_t>(size[1]);
    const std::size_t brace = text.find('{');
    if (brace == std::string_view::npos)
        return -42;
    image.chars_per_pixel = text.substr(0, brace).find("short") != std::string_view::npos ? 16 : 8;
    const std::uint64_t units =
        (static_cast<std::uint64_t>(image.width) + image.chars_per_pixel - 1) /
        image.chars_per_pixel * image.height;
    // Each value takes at least "0x0," of text.
    if ((text.size() - brace) / 4 < units)
        return -42;
    image.lines.push_back(text.substr(brace + 1));
    return 1;
}

} // namespace

bool xpm_head(std::span<const std::uint8_t> head) {
    const std::string_view text(reinterpret_cast<const char*>(head.data()), head.size());
    const std::size_t start = text.find_first_not_of(" \t\r\n");
    if (start == std::string_view::npos)
        return false;
    const std::string_view t = text.substr(start);
    return t.starts_with("/* XPM */") || t.starts_with("! XPM2") || t.starts_with("#define ");
}

std::int32_t read_xpm_header(std::span<const std::uint8_t> file, XpmImage& image) {
    image = XpmImage{};
    if (!xpm_head(file.first(std::min<std::size_t>(file.size(), 64))))
        return -1;
    const std::string_view text(reinterpret_cast<const char*>(file.data()), file.size());
    const std::string_view head = text.substr(text.find_first_not_of(" \t\r\n"));
    if (head.starts_with("#define "))
        return read_xbm(text, image);
    if (head.starts_with("! XPM2")) {
        std::size_t i = head.find('\n');
        while (i != std::string_view::npos && i + 1 < head.size()) {
            const std::size_t end = head.find('\n', i + 1);
            std::string_view line = head.substr(
                i + 1, end == std::string_view::npos ? std::string_view::npos : end - i - 1);
            if (line.ends_with('\r'))
                line.remove_suffix(1);
            image.lines.push_back(line);
            i = end;
        }
    } else {
        image.lines = c_strings(head);
        // The array's end, "};": without it the file was cut.
        const std::string_view& last = image.lines.empty() ? head : image.lines.back();
        const std::size_t brace =
            head.find('}', static_cast<std::size_t>(last.data() + last.size() - head.data()));
        if (brace == std::string_view::npos ||
            head.find_first_not_of(" \t\r\n", brace + 1) == std::string_view::npos ||
            head[head.find_first_not_of(" \t\r\n", brace + 1)] != ';')
            return -42;
    }
    if (image.lines.empty())
        return -42;
    const std::vector<std::string_view> values = words(image.lines[0]);
    if (values.size() < 4)
        return -44;
    std::uint64_t v[4] = {};
    for (int k = 0; k < 4; ++k) {
        if (values[k].size() > 9 ||
            values[k].find_first_not_of("0123456789") != std::string_view::npos)
            return -44;
        v[k] = std::stoull(std::string(values[k]));
    }
    if (const std::int32_t r = check_size(v[0], v[1]); r != 1)
        return r;
    if (v[3] < 1 || v[3] > 8)
        return v[3] < 1 ? -44 : -2;
    if (v[2] < 1)
        return -44;
    image.width = static_cast<std::uint32_t>(v[0]);
    image.height = static_cast<std::uint32_t>(v[1]);
    image.colours = static_cast<std::uint32_t>(std::min<std::uint64_t>(v[2], 0xFFFFFFFFu));
    image.chars_per_pixel = static_cast<std::uint32_t>(v[3]);
    if (image.lines.size() - 1 < static_cast<std::uint64_t>(image.colours) + image.height)
        return -42;
    std::uint32_t bits = 1;
    while (bits < 24 && (1ull << bits) < image.colours)
        ++bits;
    image.bits_per_pixel = bits;
    return 1;
}

std::int32_t decode_xpm(const XpmImage& image, std::uint32_t* pixels, std::uint32_t stride) {
    if (image.bitmap) {
        const std::string_view text = image.lines[0];
        const std::uint32_t unit = image.chars_per_pixel;
        const std::uint32_t per_row = (image.width + unit - 1) / unit;
        std::size_t at = 0;
        for (std::uint32_t y = 0; y < image.height; ++y) {
            for (std::uint32_t u = 0; u < per_row; ++u) {
                at = text.find("0x", at);
                if (at == std::string_view::npos)
                    return -42;
                at += 2;
                std::uint32_t value = 0;
                int digits = 0;
                for (int d; at < text.size() && (d = hex(text[at])) >= 0; ++at, ++digits)
                    value = (value << 4) | static_cast<std::uint32_t>(d);
                if (digits == 0 || digits > static_cast<int>(unit / 4))
                    return -44;
                for (std::uint32_t b = 0; b < unit && u * unit + b < image.width; ++b)
                    pixels[static_cast<std::size_t>(y) * stride + u * unit + b] =
                        ((value >> b) & 1) != 0 ? 0 : 0xFFFFFF;
            }
        }
        return 1;
    }
    const std::uint32_t cpp = image.chars_per_pixel;
    std::unordered_map<std::uint64_t, std::uint32_t> table;
    for (std::uint32_t i = 0; i < image.colours; ++i) {
        const std::string_view line = image.lines[1 + i];
        std::uint32_t colour = 0;
        if (line.size() < cpp || !line_colour(line.substr(cpp), colour))
            return -44;
        table[key_of(line.substr(0, cpp))] = colour;
    }
    for (std::uint32_t y = 0; y < image.height; ++y) {
        const std::string_view row = image.lines[1 + image.colours + y];
        if (row.size() / cpp < image.width)
            return -42;
        std::uint32_t* out = pixels + static_cast<std::size_t>(y) * stride;
        for (std::uint32_t x = 0; x < image.width; ++x) {
            const auto it = table.find(key_of(row.substr(static_cast<std::size_t>(x) * cpp, cpp)));
            if (it == table.end())
                return -44;
            out[x] = it->second;
        }
    }
    return 1;
}

std::int32_t write_xpm(std::FILE* file, const std::uint32_t* pixels, std::uint32_t width,
                       std::uint32_t height, std::uint32_t stride) {
    // Printable characters other than the quote and the backslash.
    std::string alphabet;
    for (char c = ' '; c <= '~'; ++c)
        if (c != '"' && c != '\\')
            alphabet += c;
    std::unordered_map<std::uint32_t, std::uint32_t> index;
    std::vector<std::uint32_t> colours;
    auto colour_of = [](std::uint32_t p) { return (p >> 24) > 127 ? kTransparent : p & 0xFFFFFF; };
    for (std::uint32_t y = 0; y < height; ++y)
        for (std::uint32_t x = 0; x < width; ++x) {
            const std::uint32_t c = colour_of(pixels[static_cast<std::size_t>(y) * stride + x]);
            if (index.emplace(c, static_cast<std::uint32_t>(colours.size())).second)
                colours.push_back(c);
        }
    std::uint32_t cpp = 1;
    for (std::uint64_t n = alphabet.size(); n < colours.size(); n *= alphabet.size())
        ++cpp;
    auto key = [&](std::uint32_t i) {
        std::string k(cpp, ' ');
        for (std::uint32_t d = 0; d < cpp; ++d, i /= static_cast<std::uint32_t>(alphabet.size()))
            k[d] = alphabet[i % alphabet.size()];
        return k;
    };
    std::string out = "/* XPM */\nstatic char *image[] = {\n\"" + std::to_string(width) + " " +
                      std::to_string(height) + " " + std::to_string(colours.size()) + " " +
                      std::to_string(cpp) + "\",\n";
    for (std::uint32_t i = 0; i < colours.size(); ++i) {
        char value[16];
        if (colours[i] == kTransparent)
            std::snprintf(value, sizeof(value), "None");
        else
            std::snprintf(value, sizeof(value), "#%06X", static_cast<unsigned>(colours[i]));
        out += "\"" + key(i) + " c " + value + "\",\n";
    }
    for (std::uint32_t y = 0; y < height; ++y) {
        out += '"';
        for (std::uint32_t x = 0; x < width; ++x)
            out += key(index[colour_of(pixels[static_cast<std::size_t>(y) * stride + x])]);
        out += y + 1 < height ? "\",\n" : "\"\n";
        if (out.size() > (1u << 20) || y + 1 == height) {
            if (y + 1 == height)
                out += "};"; // the last bytes: a cut file lacks them
            if (std::fwrite(out.data(), 1, out.size(), file) != out.size())
                return -43;
            out.clear();
        }
    }
    return 1;
}

const char* xbm_refusal(const std::uint32_t* pixels, std::uint32_t width, std::uint32_t height,
                        std::uint32_t stride) {
    for (std::uint32_t y = 0; y < height; ++y)
        for (std::uint32_t x = 0; x < width; ++x) {
            const std::uint32_t p = pixels[static_cast<std::size_t>(y) * stride + x];
            const std::uint32_t t = p >> 24;
            if (t != 0 && t != 255)
                return "XBM has no transparency: the picture has partly transparent pixels";
            if (t == 0 && (p & 0xFFFFFF) != 0 && (p & 0xFFFFFF) != 0xFFFFFF)
                return "XBM holds only black and white: the picture has other colours";
        }
    return nullptr;
}

std::int32_t write_xbm(std::FILE* file, const std::uint32_t* pixels, std::uint32_t width,
                       std::uint32_t height, std::uint32_t stride, std::string_view name) {
    if (xbm_refusal(pixels, width, height, stride) != nullptr)
        return -14;
    // The names are C identifiers: the file's name with everything else as '_'.
    std::string id;
    for (const char c : name)
        id += std::isalnum(static_cast<unsigned char>(c)) != 0 ? c : '_';
    if (id.empty() || std::isdigit(static_cast<unsigned char>(id[0])) != 0)
        id.insert(0, "image_");
    std::string out = "#define " + id + "_width " + std::to_string(width) + "\n#define " + id +
                      "_height " + std::to_string(height) + "\nstatic unsigned char " + id +
                      "_bits[] = {\n";
    const std::uint64_t total = static_cast<std::uint64_t>((width + 7) / 8) * height;
    std::uint64_t written = 0;
    for (std::uint32_t y = 0; y < height; ++y) {
        const std::uint32_t* row = pixels + static_cast<std::size_t>(y) * stride;
        for (std::uint32_t x = 0; x < width; x += 8) {
            unsigned byte = 0;
            // The least significant bit first; 1 is black, the foreground. A fully transparent
            // pixel is background, as a bitmap's clear bits are where nothing is drawn.
            for (std::uint32_t b = 0; b < 8 && x + b < width; ++b)
                if ((row[x + b] >> 24) == 0 && (row[x + b] & 0xFFFFFF) == 0)
                    byte |= 1u << b;
            char text[8];
            std::snprintf(text, sizeof(text), "0x%02x", byte);
            out += (written % 12 == 0 ? "   " : " ") + std::string(text);
            ++written;
            out += written == total ? "" : written % 12 == 0 ? ",\n" : ",";
        }
        if (out.size() > (1u << 20) || y + 1 == height) {
            if (y + 1 == height)
                out += "};\n";
            if (std::fwrite(out.data(), 1, out.size(), file) != out.size())
                return -43;
            out.clear();
        }
    }
    return 1;
}

} // namespace vt::formats
