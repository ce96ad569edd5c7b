#pragma once
// The libtiff side of fmx_TIFF: a reader over a file held in memory and a writer to a path.
// libtiff reports errors through callbacks, never by jumping, so this file is C++; its messages
// go to a handler per open file and never to the standard streams. Results are plug-in result
// codes. Thread: any; every object uses only its own libtiff handle.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace vt::formats::tiff {

// The largest picture a frame may hold.
inline constexpr std::uint32_t kMaxSide = 65536;
inline constexpr std::uint64_t kMaxPixels = 250000000;

// What the current page (directory) says about itself; pointers stay valid until the reader
// moves to another page.
struct PageInfo {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t bits_per_pixel = 0; // bits per sample times samples per pixel
    std::uint16_t orientation = 1;
    double x_resolution = 0; // pixels per inch, or per centimetre; 0 when the page states none
    double y_resolution = 0;
    bool per_cm = false;
    const std::uint8_t* icc = nullptr;
    std::uint32_t icc_size = 0;
    const char* xmp = nullptr; // not NUL-terminated
    std::uint32_t xmp_size = 0;
};

struct ReadState;

// Reads the pages of a TIFF or BigTIFF file in order. The bytes must outlive the reader.
class TiffReader {
public:
    TiffReader();
    ~TiffReader();
    TiffReader(const TiffReader&) = delete;
    TiffReader& operator=(const TiffReader&) = delete;

    // Opens the file and reads its first directory: VT_OK, -1 not a TIFF, -42 the file ends
    // before the directory, -44 a directory libtiff refuses, -20 out of memory.
    [[nodiscard]] std::int32_t open(const std::uint8_t* data, std::size_t size);

    // Checks the current page before anything is allocated for it: VT_OK with `info` filled,
    // -13 sizes beyond the limits, -2 a kind of page the reader cannot turn into colours,
    // -42 a page whose compressed data cannot fit the file, -44 invalid sizes.
    [[nodiscard]] std::int32_t inspect(PageInfo& info);
    // After `inspect` answered -2: why, in words for the user.
    [[nodiscard]] const std::string& refusal() const;

    // Decodes the current page (after `inspect`) into 32-bit B, G, R, transparency pixels in the
    // stored row order, alpha un-premultiplied: VT_OK, -42 its data ends early, -44 invalid
    // data, -2 unsupported, -20 out of memory. Rows decoded before a failure stay in place.
    [[nodiscard]] std::int32_t decode(std::uint32_t* pixels, std::uint32_t stride);

    // 16 bits per channel (after `decode` of the same page): the channels of its deep picture,
    // 4 (red, green, blue, alpha) or 2 (grey, alpha), for a page of 16-bit unsigned or 32-bit
    // floating-point (0 to 1, clipped) RGB or grey samples, interleaved, in strips, with no
    // alpha or an unassociated one; 0 for any other.
    [[nodiscard]] std::uint32_t deep_channels() const;
    // Decodes it into width x channels samples a row (native order, alpha 65535 when the page
    // has none), rows in the stored order: VT_OK, -2 not such a page, -42 data that ends early,
    // -44 invalid data.
    [[nodiscard]] std::int32_t decode_deep(std::uint16_t* samples, std::uint32_t stride);

    // Whether the current page is the last one of the chain.
    [[nodiscard]] bool last_page() const;
    // Whether the current page says it is a reduced-resolution copy of another (a preview).
    [[nodiscard]] bool reduced_page() const;
    // Goes back to the first page: VT_OK, or -44 when its directory cannot be read again.
    [[nodiscard]] std::int32_t first_page();
    // Moves to the next page: VT_OK, or -44 when its directory cannot be read (a bad offset,
    // a loop in the chain).
    [[nodiscard]] std::int32_t next_page();

private:
    // A page of 32-bit floating-point samples: its 16-bit picture, rounded to 8 bits.
    [[nodiscard]] std::int32_t decode_float(std::uint32_t* pixels, std::uint32_t stride);

    std::unique_ptr<ReadState> m_state;
};

// What a saved page carries besides its pixels; empty texts are left out.
struct PageTags {
    std::string make;
    std::string model;
    std::string software;
    std::string artist;
    std::string description;
    std::string date_time;         // "YYYY:MM:DD HH:MM:SS"
    std::uint16_t orientation = 0; // 1-8, 0 = none
    double x_resolution = 0;       // pixels per inch, or per centimetre; 0 = none
    double y_resolution = 0;
    bool per_cm = false;
    const std::uint8_t* icc = nullptr;
    std::uint32_t icc_size = 0;
};

// TIFF's own compression codes that the writer offers.
enum : std::uint16_t {
    kCompressNone = 1,
    kCompressLzw = 5,
    kCompressJpeg = 7,
    kCompressDeflate = 8,
    kCompressPackBits = 32773
};

struct WriteState;

// How a page's pixels are stored: TIFF's compression code and, for JPEG, the quality (1-100).
struct PageCoding {
    std::uint16_t compression = 5; // LZW
    int jpeg_quality = 90;
};

// Whether pages of `raw_bytes` uncompressed samples in all, coded with `compression`, may make
// a file past the 4 GiB that a classic TIFF's 32-bit offsets reach, so that it must be a
// BigTIFF. Compression may grow data that does not compress (LZW by up to a half), and tags
// and profiles take some room too.
[[nodiscard]] bool needs_bigtiff(std::uint64_t raw_bytes, std::uint16_t compression);

// Writes pages of 8-bit RGB or RGBA to a new file.
class TiffWriter {
public:
    TiffWriter();
    ~TiffWriter();
    TiffWriter(const TiffWriter&) = delete;
    TiffWriter& operator=(const TiffWriter&) = delete;

    // Creates the file (UTF-8 path), a BigTIFF (64-bit offsets) when `big`: VT_OK or -41.
    [[nodiscard]] std::int32_t open(const std::string& path, bool big = false);
    // Writes one page: RGB when every pixel is opaque, else RGBA with unassociated alpha.
    // JPEG is used only for opaque pages (LZW otherwise); an unknown code means LZW.
    // VT_OK, -43 write failure, -20 out of memory.
    [[nodiscard]] std::int32_t write_page(const std::uint32_t* pixels, std::uint32_t width,
                                          std::uint32_t height, std::uint32_t stride,
                                          bool transparent, const PageCoding& coding,
                                          const PageTags& tags, std::uint32_t page,
                                          std::uint32_t pages);
    // Writes one page of 16-bit samples (`channels` 4: RGBA, 2: grey + alpha, straight alpha):
    // RGB or grey, with unassociated alpha when `transparent`. JPEG holds 8 bits: LZW instead.
    [[nodiscard]] std::int32_t write_deep_page(const std::uint16_t* samples, std::uint32_t width,
                                               std::uint32_t height, std::uint32_t stride,
                                               std::uint32_t channels, bool transparent,
                                               const PageCoding& coding, const PageTags& tags);
    // Finishes the file: VT_OK or -43.
    [[nodiscard]] std::int32_t close();

private:
    std::unique_ptr<WriteState> m_state;
};

} // namespace vt::formats::tiff
