// vtl_Video: the suite's video helper. Started by the host with its endpoint's name as the only
// argument, it connects to that abstract Unix socket and answers the messages of
// sdk/vt_video.h until it is told to close or the host goes away. It decodes with FFmpeg's
// libraries and holds one decoded frame and one converted frame at a time.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "sdk/kit/paths.h"
#include "sdk/vt_video.h"

namespace {

bool io_all(int fd, void* data, std::size_t size, bool out) {
    auto* p = static_cast<std::uint8_t*>(data);
    while (size > 0) {
        const ssize_t n = out ? ::send(fd, p, size, MSG_NOSIGNAL) : ::recv(fd, p, size, 0);
        if (n <= 0)
            return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// The host's UTF-16 path as the file system's bytes: undecodable bytes of a name travel as
// lone surrogates and go back to the same byte.
std::string utf16_path_to_utf8(const std::vector<std::uint8_t>& payload) {
    std::u16string path;
    for (std::size_t i = 0; i + 1 < payload.size(); i += 2) {
        const auto c = static_cast<char16_t>(payload[i] | (payload[i + 1] << 8));
        if (c == 0)
            break;
        path += c;
    }
    return vt::kit::to_utf8(reinterpret_cast<const std::uint16_t*>(path.c_str()));
}

class Video {
public:
    ~Video() { close(); }

    int open(const std::string& path) {
        close();
        // A file that opens but is no container FFmpeg knows is bad data, not an open failure:
        // the host then reports it as unsupported rather than unreadable for want of access.
        if (const int opened = avformat_open_input(&m_format, path.c_str(), nullptr, nullptr);
            opened < 0)
            return opened == AVERROR(ENOENT) || opened == AVERROR(EACCES) || opened == AVERROR(EIO)
                       ? VT_VIDEO_CANNOT_OPEN
                       : VT_VIDEO_BAD_DATA;
        if (avformat_find_stream_info(m_format, nullptr) < 0)
            return VT_VIDEO_BAD_DATA;
        const AVCodec* codec = nullptr;
        m_stream = av_find_best_stream(m_format, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
        if (m_stream < 0)
            return m_stream == AVERROR_DECODER_NOT_FOUND ? VT_VIDEO_UNSUPPORTED : VT_VIDEO_NO_VIDEO;
        m_codec = avcodec_alloc_context3(codec);
        m_frame = av_frame_alloc();
        m_packet = av_packet_alloc();
        if (m_codec == nullptr || m_frame == nullptr || m_packet == nullptr)
            return VT_VIDEO_OUT_OF_MEMORY;
        avcodec_parameters_to_context(m_codec, m_format->streams[m_stream]->codecpar);
        m_codec->thread_count = 1;
        if (avcodec_open2(m_codec, codec, nullptr) < 0)
            return VT_VIDEO_UNSUPPORTED;
        m_next = 0;
        return VT_VIDEO_OK;
    }

    [[nodiscard]] bool is_open() const { return m_codec != nullptr; }

    double frame_rate() const {
        const AVStream* s = m_format->streams[m_stream];
        AVRational r = s->avg_frame_rate.num > 0 ? s->avg_frame_rate : s->r_frame_rate;
        return r.num > 0 && r.den > 0 ? av_q2d(r) : 0.0;
    }

    double duration() const {
        const AVStream* s = m_format->streams[m_stream];
        if (s->duration > 0)
            return static_cast<double>(s->duration) * av_q2d(s->time_base);
        return m_format->duration > 0 ? static_cast<double>(m_format->duration) / AV_TIME_BASE
                                      : 0.0;
    }

    // The container's count when it has one, else the stream's packets counted once.
    std::int64_t count() {
        if (m_count >= 0)
            return m_count;
        const AVStream* s = m_format->streams[m_stream];
        if (s->nb_frames > 0)
            return m_count = s->nb_frames;
        std::int64_t n = 0;
        rewind();
        while (av_read_frame(m_format, m_packet) >= 0) {
            n += m_packet->stream_index == m_stream ? 1 : 0;
            av_packet_unref(m_packet);
        }
        rewind();
        return m_count = n;
    }

    // Decodes up to frame `index` (forward from where it stands, from the start for an
    // earlier frame) and converts it into `pixels`: u32 width, u32 height, then the pixels.
    int read(std::int64_t index, std::vector<std::uint8_t>& pixels) {
        if (index < 0)
            return VT_VIDEO_BAD_ARGUMENT;
        if (index < m_next)
            rewind();
        while (m_next <= index) {
            const int r = decode_next();
            if (r != VT_VIDEO_OK)
                return r;
            ++m_next;
        }
        return convert(pixels);
    }

    void close() {
        sws_freeContext(m_scale);
        m_scale = nullptr;
        av_frame_free(&m_frame);
        av_packet_free(&m_packet);
        avcodec_free_context(&m_codec);
        avformat_close_input(&m_format);
        m_count = -1;
    }

private:
    void rewind() {
        av_seek_frame(m_format, m_stream, INT64_MIN, AVSEEK_FLAG_BACKWARD);
        avformat_seek_file(m_format, m_stream, INT64_MIN, 0, 0, 0);
        avcodec_flush_buffers(m_codec);
        m_next = 0;
        m_draining = false;
    }

    int decode_next() {
        for (;;) {
            const int r = avcodec_receive_frame(m_codec, m_frame);
            if (r == 0)
                return VT_VIDEO_OK;
            if (r == AVERROR_EOF)
                return VT_VIDEO_BAD_ARGUMENT; // past the last frame
            if (r != AVERROR(EAGAIN))
                return VT_VIDEO_BAD_DATA;
            if (m_draining)
                return VT_VIDEO_BAD_ARGUMENT;
            const int read = av_read_frame(m_format, m_packet);
            if (read < 0) {
                m_draining = true;
                avcodec_send_packet(m_codec, nullptr);
                continue;
            }
            if (m_packet->stream_index == m_stream && avcodec_send_packet(m_codec, m_packet) < 0 &&
                m_packet->size > 0) {
                av_packet_unref(m_packet);
                return VT_VIDEO_BAD_DATA;
            }
            av_packet_unref(m_packet);
        }
    }

    int convert(std::vector<std::uint8_t>& out) {
        const int w = m_frame->width;
        const int h = m_frame->height;
        if (w < 1 || h < 1 ||
            static_cast<std::uint64_t>(w) * static_cast<std::uint64_t>(h) >
                VT_VIDEO_MAX_FRAME_PIXELS)
            return VT_VIDEO_OUT_OF_MEMORY;
        m_scale =
            sws_getCachedContext(m_scale, w, h, static_cast<AVPixelFormat>(m_frame->format), w, h,
                                 AV_PIX_FMT_BGRA, SWS_BICUBIC, nullptr, nullptr, nullptr);
        if (m_scale == nullptr)
            return VT_VIDEO_UNSUPPORTED;
        const std::size_t size = static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 4;
        try {
            out.assign(8 + size, 0);
        } catch (...) {
            return VT_VIDEO_OUT_OF_MEMORY;
        }
        const auto uw = static_cast<std::uint32_t>(w);
        const auto uh = static_cast<std::uint32_t>(h);
        std::memcpy(out.data(), &uw, 4);
        std::memcpy(out.data() + 4, &uh, 4);
        std::uint8_t* planes[1] = {out.data() + 8};
        const int strides[1] = {w * 4};
        sws_scale(m_scale, m_frame->data, m_frame->linesize, 0, h, planes, strides);
        // Our pixels keep transparency in the top byte, 0 meaning opaque.
        for (std::size_t i = 8 + 3; i < out.size(); i += 4)
            out[i] = static_cast<std::uint8_t>(255 - out[i]);
        return VT_VIDEO_OK;
    }

    AVFormatContext* m_format = nullptr;
    AVCodecContext* m_codec = nullptr;
    AVFrame* m_frame = nullptr;
    AVPacket* m_packet = nullptr;
    SwsContext* m_scale = nullptr;
    int m_stream = -1;
    std::int64_t m_next = 0;
    std::int64_t m_count = -1;
    bool m_draining = false;
};

int connect_to(const char* name) {
    const std::size_t length = std::strlen(name);
    sockaddr_un address{};
    if (length == 0 || length > 63)
        return -1;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, name, length);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address),
                  static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length)) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool reply(int fd, const VtVideoMessage& request, int status,
           const std::vector<std::uint8_t>* payload) {
    VtVideoMessage r{};
    r.code = VT_VIDEO_REPLY | request.code;
    r.u.reply.status = status;
    r.payload_size = payload != nullptr ? static_cast<std::uint32_t>(payload->size()) : 0;
    return io_all(fd, &r, sizeof(r), true) &&
           (r.payload_size == 0 ||
            io_all(fd, const_cast<std::uint8_t*>(payload->data()), payload->size(), true));
}

int serve(int fd) {
    Video video;
    std::vector<std::uint8_t> payload;
    std::vector<std::uint8_t> pixels;
    for (;;) {
        VtVideoMessage request{};
        if (!io_all(fd, &request, sizeof(request), false))
            return 0; // the host went away
        if (request.payload_size > VT_VIDEO_MAX_REQUEST_PAYLOAD)
            return 1; // out of step for good
        payload.resize(request.payload_size);
        if (!payload.empty() && !io_all(fd, payload.data(), payload.size(), false))
            return 0;
        bool sent = true;
        const bool open = video.is_open();
        switch (request.code) {
        case VT_VIDEO_KEEP_ALIVE:
            sent = reply(fd, request, VT_VIDEO_OK, nullptr);
            break;
        case VT_VIDEO_CLOSE:
            return 0;
        case VT_VIDEO_OPEN:
            sent = reply(fd, request, video.open(utf16_path_to_utf8(payload)), nullptr);
            break;
        case VT_VIDEO_READ_FRAME: {
            const int status = open ? video.read(request.u.argument, pixels) : VT_VIDEO_NOT_OPEN;
            sent = reply(fd, request, status, status == VT_VIDEO_OK ? &pixels : nullptr);
            pixels.clear();
            break;
        }
        case VT_VIDEO_QUERY_COUNT: {
            VtVideoMessage r{};
            r.code = VT_VIDEO_REPLY | request.code;
            r.u.argument = open ? video.count() : -1;
            sent = io_all(fd, &r, sizeof(r), true);
            break;
        }
        case VT_VIDEO_QUERY_VALUE4:
        case VT_VIDEO_QUERY_TIME: {
            VtVideoMessage r{};
            r.code = VT_VIDEO_REPLY | request.code;
            r.u.reply.status = open ? VT_VIDEO_OK : VT_VIDEO_NOT_OPEN;
            if (open)
                r.value =
                    request.code == VT_VIDEO_QUERY_TIME ? video.duration() : video.frame_rate();
            sent = io_all(fd, &r, sizeof(r), true);
            break;
        }
        default:
            sent = reply(fd, request, VT_VIDEO_UNSUPPORTED, nullptr);
            break;
        }
        if (!sent)
            return 0;
    }
}

} // namespace

int main(int argc, char** argv) {
    // Started by hand rather than by the host, the helper still ends with its parent.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (argc < 2)
        return 2;
    av_log_set_level(AV_LOG_QUIET);
    const int fd = connect_to(argv[1]);
    if (fd < 0)
        return 3;
    const int result = serve(fd);
    ::close(fd);
    return result;
}
