// libzip over memory for the layered zip formats (PKWARE's APPNOTE.TXT describes the container).

#include "formats/ora/ora_zip.h"

#include <cstring>

#include <zip.h>

#include "sdk/vt_plugin.h"

namespace vt::formats {

namespace {

// Deflate packs at most 1032 bytes into one; a small allowance covers tiny entries.
constexpr std::uint64_t kDeflateRatio = 1032;
constexpr std::uint64_t kSmallEntry = 4096;

std::int32_t open_error(int code) {
    switch (code) {
    case ZIP_ER_NOZIP:
        return VT_ERR_CORRUPT_OR_UNSUPPORTED;
    case ZIP_ER_MEMORY:
        return VT_ERR_OUT_OF_MEMORY;
    case ZIP_ER_EOF:
    case ZIP_ER_READ:
        return VT_ERR_READ;
    default:
        return VT_ERR_INVALID_DATA;
    }
}

} // namespace

ZipReader::~ZipReader() {
    if (m_zip != nullptr)
        zip_discard(m_zip);
}

std::int32_t ZipReader::open(std::span<const std::uint8_t> bytes) {
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* source = zip_source_buffer_create(bytes.data(), bytes.size(), 0, &error);
    if (source == nullptr) {
        zip_error_fini(&error);
        return VT_ERR_OUT_OF_MEMORY;
    }
    m_zip = zip_open_from_source(source, ZIP_RDONLY | ZIP_CHECKCONS, &error);
    const int code = zip_error_code_zip(&error);
    zip_error_fini(&error);
    if (m_zip == nullptr) {
        zip_source_free(source);
        return open_error(code);
    }
    return VT_OK;
}

bool ZipReader::has(const char* name) const {
    return m_zip != nullptr && zip_name_locate(m_zip, name, 0) >= 0;
}

std::int32_t ZipReader::read(const char* name, std::vector<std::uint8_t>& out,
                             std::uint64_t limit) const {
    out.clear();
    const zip_int64_t index = m_zip == nullptr ? -1 : zip_name_locate(m_zip, name, 0);
    if (index < 0)
        return VT_ERR_NO_IMAGE_DATA;
    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_stat_index(m_zip, static_cast<zip_uint64_t>(index), 0, &st) != 0)
        return VT_ERR_INVALID_DATA;
    const zip_uint64_t needed = ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE | ZIP_STAT_COMP_METHOD;
    if ((st.valid & needed) != needed)
        return VT_ERR_INVALID_DATA;
    if (st.size > limit)
        return VT_ERR_DIMENSIONS;
    if (st.comp_method == ZIP_CM_STORE ? st.size != st.comp_size
                                       : st.size > st.comp_size * kDeflateRatio + kSmallEntry)
        return VT_ERR_INVALID_DATA;
    if (st.comp_method != ZIP_CM_STORE && st.comp_method != ZIP_CM_DEFLATE)
        return VT_ERR_NOT_IMPLEMENTED;
    zip_file_t* file = zip_fopen_index(m_zip, static_cast<zip_uint64_t>(index), 0);
    if (file == nullptr)
        return VT_ERR_INVALID_DATA;
    out.resize(static_cast<std::size_t>(st.size));
    std::size_t have = 0;
    bool failed = false;
    while (have < out.size()) {
        const zip_int64_t n = zip_fread(file, out.data() + have, out.size() - have);
        if (n <= 0) {
            failed = true;
            break;
        }
        have += static_cast<std::size_t>(n);
    }
    // One more read reaches the end of the entry, where libzip checks its CRC.
    std::uint8_t extra = 0;
    if (!failed && zip_fread(file, &extra, 1) != 0)
        failed = true;
    zip_fclose(file);
    if (failed) {
        out.clear();
        return VT_ERR_INVALID_DATA;
    }
    return VT_OK;
}

ZipWriter::ZipWriter() {
    zip_error_t error;
    zip_error_init(&error);
    m_buffer = zip_source_buffer_create(nullptr, 0, 0, &error);
    if (m_buffer != nullptr) {
        zip_source_keep(m_buffer);
        m_zip = zip_open_from_source(m_buffer, ZIP_TRUNCATE, &error);
    }
    zip_error_fini(&error);
}

ZipWriter::~ZipWriter() {
    if (m_zip != nullptr)
        zip_discard(m_zip);
    if (m_buffer != nullptr)
        zip_source_free(m_buffer);
}

bool ZipWriter::add(const char* name, std::vector<std::uint8_t> bytes, bool deflate) {
    if (m_zip == nullptr)
        return false;
    m_kept.push_back(std::move(bytes));
    const std::vector<std::uint8_t>& kept = m_kept.back();
    zip_source_t* source = zip_source_buffer(m_zip, kept.data(), kept.size(), 0);
    if (source == nullptr)
        return false;
    const zip_int64_t index = zip_file_add(m_zip, name, source, ZIP_FL_ENC_UTF_8);
    if (index < 0) {
        zip_source_free(source);
        return false;
    }
    const zip_uint64_t at = static_cast<zip_uint64_t>(index);
    return zip_set_file_compression(m_zip, at, deflate ? ZIP_CM_DEFLATE : ZIP_CM_STORE,
                                    deflate ? 6 : 0) == 0;
}

std::int32_t ZipWriter::finish(std::vector<std::uint8_t>& out) {
    if (m_zip == nullptr)
        return VT_ERR_OUT_OF_MEMORY;
    const int closed = zip_close(m_zip);
    if (closed != 0)
        return VT_ERR_INTERNAL;
    m_zip = nullptr;
    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_source_stat(m_buffer, &st) != 0 || (st.valid & ZIP_STAT_SIZE) == 0 ||
        zip_source_open(m_buffer) != 0)
        return VT_ERR_INTERNAL;
    out.resize(static_cast<std::size_t>(st.size));
    const zip_int64_t n = zip_source_read(m_buffer, out.data(), out.size());
    zip_source_close(m_buffer);
    return n == static_cast<zip_int64_t>(out.size()) ? VT_OK : VT_ERR_INTERNAL;
}

bool zip_has_mimetype(const ZipReader& zip, const char* type) {
    std::vector<std::uint8_t> bytes;
    if (zip.read("mimetype", bytes, 256) != VT_OK)
        return false;
    std::size_t n = bytes.size();
    while (n > 0 && (bytes[n - 1] == '\n' || bytes[n - 1] == '\r' || bytes[n - 1] == ' '))
        --n;
    return n == std::strlen(type) && std::memcmp(bytes.data(), type, n) == 0;
}

bool zip_mimetype_first(std::span<const std::uint8_t> head) {
    static const std::uint8_t kLocal[4] = {'P', 'K', 3, 4};
    return head.size() >= 32 && std::memcmp(head.data(), kLocal, 4) == 0 && head[26] == 8 &&
           head[27] == 0 && head[30] == 'm' && head[31] == 'i';
}

} // namespace vt::formats
