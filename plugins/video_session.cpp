#include "plugins/video_session.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <new>
#include <random>
#include <string_view>

#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base/utf.h"
#include "platform/files.h"
#include "platform/folders.h"
#include "platform/paths.h"

namespace vt::plugins {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kStepMs = 50;
constexpr int kOpenReplyMs = 10000;
constexpr int kStopWaitMs = 1000;

// Whether the helper may be asked for `path`: a listed container, or a file the host cannot
// read (the helper reports that itself).
bool opens_as_video(const char16_t* path) noexcept {
    try {
        std::FILE* file = std::fopen(platform::to_os_path(path).c_str(), "rb");
        if (file == nullptr)
            return true;
        std::uint8_t head[200] = {};
        const std::size_t n = std::fread(head, 1, sizeof head, file);
        std::fclose(file);
        return listed_video_container({head, n});
    } catch (...) {
        return true;
    }
}

int remaining_ms(Clock::time_point deadline) noexcept {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Moves `size` bytes in or out before `deadline`; false on time-out, error or end of stream.
bool transfer(int fd, std::uint8_t* data, std::size_t size, bool out,
              Clock::time_point deadline) noexcept {
    while (size > 0) {
        const ssize_t n = out ? ::send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT)
                              : ::recv(fd, data, size, MSG_DONTWAIT);
        if (n > 0) {
            data += n;
            size -= static_cast<std::size_t>(n);
            continue;
        }
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            return false;
        const int left = remaining_ms(deadline);
        if (left == 0)
            return false;
        pollfd p{fd, static_cast<short>(out ? POLLOUT : POLLIN), 0};
        if (::poll(&p, 1, std::min(left, kStepMs)) < 0 && errno != EINTR)
            return false;
    }
    return true;
}

std::uint32_t max_reply_payload(std::uint32_t command) noexcept {
    if (command == VT_VIDEO_READ_FRAME)
        return 8u + VT_VIDEO_MAX_FRAME_PIXELS * 4u;
    return command == VT_VIDEO_KEEP_ALIVE ? VT_VIDEO_MAX_REQUEST_PAYLOAD : 0u;
}

bool executable_file(const std::u16string& path) {
    const std::string p = base::utf16_to_utf8(path);
    return platform::is_file(path) && ::access(p.c_str(), X_OK) == 0;
}

} // namespace

std::int32_t video_status_result(std::int32_t status) noexcept {
    switch (status) {
    case VT_VIDEO_OK:
        return VT_OK;
    case VT_VIDEO_BAD_ARGUMENT:
        return VT_ERR_PARAMETER_RANGE;
    case VT_VIDEO_CANNOT_OPEN:
        return VT_ERR_OPEN_READ;
    case VT_VIDEO_NO_VIDEO:
        return VT_ERR_UNKNOWN;
    case VT_VIDEO_UNSUPPORTED:
        return VT_ERR_NOT_IMPLEMENTED;
    case VT_VIDEO_NOT_OPEN:
        return VT_ERR_COMPONENT_MISSING;
    case VT_VIDEO_TIMED_OUT:
        return VT_ERR_TIMEOUT;
    case VT_VIDEO_OUT_OF_MEMORY:
        return VT_ERR_OUT_OF_MEMORY;
    default:
        return VT_ERR_CORRUPT_OR_UNSUPPORTED;
    }
}

bool decode_video_reply(std::span<const std::uint8_t, VT_VIDEO_HEADER_SIZE> bytes,
                        std::uint32_t command, VtVideoMessage& reply) noexcept {
    std::memcpy(&reply, bytes.data(), sizeof(reply));
    return reply.code == (VT_VIDEO_REPLY | command) && reply.zero == 0 &&
           reply.payload_size <= max_reply_payload(command);
}

bool parse_frame_payload(std::span<const std::uint8_t> payload, std::uint32_t& width,
                         std::uint32_t& height) noexcept {
    if (payload.size() < 8)
        return false;
    std::memcpy(&width, payload.data(), 4);
    std::memcpy(&height, payload.data() + 4, 4);
    if (width == 0 || height == 0 || width > VT_VIDEO_MAX_FRAME_PIXELS / height)
        return false;
    return payload.size() - 8 == std::uint64_t{width} * height * 4u;
}

std::u16string find_video_helper() {
    // Only the suite's own copy, by its absolute path: a name looked for on the search path, or
    // in whatever folder the program was started from, could be anyone's program.
    const std::u16string folder = platform::suite_program_folder();
    if (folder.empty() || folder.front() != u'/')
        return {};
    std::u16string path = platform::join_path(folder, base::ascii_to_utf16(VT_VIDEO_HELPER_NAME));
    return executable_file(path) ? path : std::u16string{};
}

VideoSession::~VideoSession() {
    if (m_socket >= 0) {
        VtVideoMessage close{};
        close.code = VT_VIDEO_CLOSE;
        close.timeout_ms = static_cast<std::uint32_t>(std::max(m_timeout_ms, 100));
        (void)send_message(close, {});
    }
    stop();
}

int VideoSession::transfer_ms() const noexcept {
    return std::max(m_timeout_ms, 1000) / 10;
}

// The endpoint is an abstract Unix socket with a name unique to this thread and session; only
// the child we started may use it (its peer credentials are checked), and it is closed as soon
// as the helper is connected.
bool VideoSession::start(const std::u16string& helper) noexcept {
    const std::string program = base::utf16_to_utf8(helper);
    const int wait_ms = std::max(m_timeout_ms, 1000);
    const auto name_deadline =
        Clock::now() + std::chrono::milliseconds(std::max(m_timeout_ms, 100));
    std::minstd_rand random(static_cast<unsigned>(Clock::now().time_since_epoch().count()));
    char name[64] = {};
    int listener = -1;
    do {
        std::snprintf(name, sizeof(name), "_vtl_video_%08x%04x",
                      static_cast<unsigned>(::syscall(SYS_gettid)),
                      static_cast<unsigned>(random() % 32768));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path + 1, name, std::strlen(name));
        const auto length =
            static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + std::strlen(name));
        listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (listener >= 0 && ::bind(listener, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
            ::listen(listener, 4) == 0)
            break;
        if (listener >= 0)
            ::close(listener);
        listener = -1;
    } while (Clock::now() < name_deadline);
    if (listener < 0)
        return false;

    char* argv[] = {const_cast<char*>(program.c_str()), name, nullptr};
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec. The helper dies with the thread
        // that started it, so a killed or crashed worker leaves no helper behind.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(127);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::close_range(3, ~0u, 0);
        ::execv(argv[0], argv);
        ::_exit(127);
    }
    if (pid < 0) {
        ::close(listener);
        return false;
    }
    m_pid = pid;
    const auto deadline = Clock::now() + std::chrono::milliseconds(wait_ms);
    while (m_socket < 0 && remaining_ms(deadline) > 0) {
        pollfd p{listener, POLLIN, 0};
        if (::poll(&p, 1, std::min(remaining_ms(deadline), kStepMs)) > 0) {
            const int s = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            ucred peer{};
            socklen_t size = sizeof(peer);
            if (s >= 0 && ::getsockopt(s, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 &&
                peer.pid == pid)
                m_socket = s;
            else if (s >= 0)
                ::close(s);
        }
        int status = 0;
        if (m_socket < 0 && ::waitpid(pid, &status, WNOHANG) == pid) {
            m_pid = -1; // gone without connecting: nothing left to wait for
            break;
        }
    }
    ::close(listener);
    return m_socket >= 0;
}

// The helper's end of the socket closes when it exits, so the wait for its exit blocks on the
// socket rather than polling; a helper still there after 1000 ms is killed.
void VideoSession::stop() noexcept {
    const auto deadline = Clock::now() + std::chrono::milliseconds(kStopWaitMs);
    if (m_socket >= 0 && m_pid > 0) {
        std::uint8_t sink[256];
        for (int left; (left = remaining_ms(deadline)) > 0;) {
            pollfd p{m_socket, POLLIN, 0};
            if (::poll(&p, 1, left) <= 0 || ::recv(m_socket, sink, sizeof(sink), MSG_DONTWAIT) == 0)
                break;
        }
    }
    if (m_socket >= 0)
        ::close(m_socket);
    m_socket = -1;
    if (m_pid <= 0)
        return;
    int status = 0;
    while (::waitpid(m_pid, &status, WNOHANG) == 0) {
        if (remaining_ms(deadline) == 0) {
            ::kill(m_pid, SIGKILL);
            while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
            }
            break;
        }
        ::usleep(1000);
    }
    m_pid = -1;
}

bool VideoSession::send_message(const VtVideoMessage& header,
                                std::span<const std::uint8_t> payload) noexcept {
    if (m_socket < 0)
        return false;
    std::uint8_t bytes[VT_VIDEO_HEADER_SIZE];
    std::memcpy(bytes, &header, sizeof(bytes));
    const auto limit = std::chrono::milliseconds(transfer_ms());
    if (!transfer(m_socket, bytes, sizeof(bytes), true, Clock::now() + limit))
        return false;
    return payload.empty() || transfer(m_socket, const_cast<std::uint8_t*>(payload.data()),
                                       payload.size(), true, Clock::now() + limit);
}

std::int32_t VideoSession::exchange(std::uint32_t command, std::int64_t argument,
                                    std::uint32_t timeout_ms, std::span<const std::uint8_t> payload,
                                    VtVideoMessage& reply, int reply_wait_ms) noexcept {
    m_payload.clear();
    VtVideoMessage request{};
    request.code = command;
    request.timeout_ms = timeout_ms;
    request.u.argument = argument;
    request.payload_size = static_cast<std::uint32_t>(payload.size());
    // A stream that failed half-way is out of step for good: the session is dead after it.
    auto dead = [this] {
        if (m_socket >= 0)
            ::close(m_socket);
        m_socket = -1;
        return m_last_result = VT_ERR_COMPONENT_MISSING;
    };
    if (!send_message(request, payload))
        return dead();
    std::uint8_t bytes[VT_VIDEO_HEADER_SIZE];
    const int wait = reply_wait_ms > 0 ? reply_wait_ms : transfer_ms();
    if (!transfer(m_socket, bytes, sizeof(bytes), false,
                  Clock::now() + std::chrono::milliseconds(wait)) ||
        !decode_video_reply(bytes, command, reply))
        return dead();
    if (reply.payload_size > 0) {
        try {
            m_payload.resize(reply.payload_size);
        } catch (const std::bad_alloc&) {
            dead();
            return m_last_result = VT_ERR_OUT_OF_MEMORY;
        }
        if (!transfer(m_socket, m_payload.data(), m_payload.size(), false,
                      Clock::now() + std::chrono::milliseconds(transfer_ms())))
            return dead();
    }
    return m_last_result = video_status_result(reply.u.reply.status);
}

VideoSession* VideoSession::open(const std::u16string& helper, const char16_t* path,
                                 std::int32_t timeout_ms, std::int32_t& result) noexcept {
    if (path != nullptr && !opens_as_video(path)) {
        result = VT_ERR_CORRUPT_OR_UNSUPPORTED;
        return nullptr;
    }
    VideoSession* session = new (std::nothrow) VideoSession;
    if (session == nullptr) {
        result = VT_ERR_OUT_OF_MEMORY;
        return nullptr;
    }
    session->m_timeout_ms = std::max(timeout_ms, 1000);
    result = VT_ERR_COMPONENT_MISSING;
    if (path != nullptr && !helper.empty() && session->start(helper)) {
        std::size_t length = 0;
        while (path[length] != 0)
            ++length;
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(path);
        VtVideoMessage reply{};
        const std::int32_t r = session->exchange(
            VT_VIDEO_OPEN, 0, static_cast<std::uint32_t>(std::max(timeout_ms, 5000)),
            {bytes, (length + 1) * sizeof(char16_t)}, reply, kOpenReplyMs);
        if (r == VT_OK && reply.u.reply.second == 0) {
            session->m_timeout_ms = std::max(timeout_ms, 100);
            result = VT_OK;
            return session;
        }
        if (session->m_socket >= 0)
            result = reply.u.reply.status != 0 ? r : VT_ERR_COMPONENT_MISSING;
    }
    delete session;
    return nullptr;
}

const VtVideoFrame* VideoSession::read_frame(std::int64_t index) noexcept {
    VtVideoMessage reply{};
    if (exchange(VT_VIDEO_READ_FRAME, index, static_cast<std::uint32_t>(m_timeout_ms), {}, reply) !=
        VT_OK)
        return nullptr;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    if (!parse_frame_payload(m_payload, width, height)) {
        m_last_result = VT_ERR_CORRUPT_OR_UNSUPPORTED;
        return nullptr;
    }
    const std::size_t pixels = std::size_t{width} * height;
    if (m_frame_buffer.size() < pixels) {
        const std::size_t bytes = pixels * 4;
        try {
            m_frame_buffer.resize((bytes + bytes / 16 + 1024) / 4);
        } catch (const std::bad_alloc&) {
            m_last_result = VT_ERR_OUT_OF_MEMORY;
            return nullptr;
        }
    }
    std::memcpy(m_frame_buffer.data(), m_payload.data() + 8, pixels * 4);
    m_payload.clear();
    m_frame = {width, height, m_frame_buffer.data()};
    return &m_frame;
}

std::int32_t VideoSession::keep_alive() noexcept {
    VtVideoMessage reply{};
    const std::int32_t r = exchange(
        VT_VIDEO_KEEP_ALIVE, 0, static_cast<std::uint32_t>(std::max(m_timeout_ms, 100)), {}, reply);
    m_payload.clear();
    return r;
}

std::int32_t VideoSession::set_timeout(std::int32_t timeout_ms) noexcept {
    m_timeout_ms = std::max(timeout_ms, 100);
    return VT_OK;
}

std::int32_t VideoSession::query_time(std::int64_t& milliseconds) noexcept {
    VtVideoMessage reply{};
    if (const std::int32_t r =
            exchange(VT_VIDEO_QUERY_TIME, 0, static_cast<std::uint32_t>(m_timeout_ms), {}, reply);
        r != VT_OK)
        return r;
    const double ms = reply.value * 1000.0;
    milliseconds = ms > 0 && ms < 9.0e18 ? std::llround(ms) : 0;
    return reply.value > 0 ? VT_OK : VT_ERR_UNKNOWN;
}

std::int32_t VideoSession::query_count(std::int64_t& count) noexcept {
    VtVideoMessage reply{};
    const std::int32_t r =
        exchange(VT_VIDEO_QUERY_COUNT, 0, static_cast<std::uint32_t>(m_timeout_ms), {}, reply);
    if (r != VT_OK && m_socket < 0)
        return r;
    // The count travels as one 64-bit word over the status and second words.
    count = reply.u.argument;
    return m_last_result = reply.u.reply.second >= 0 ? VT_OK : VT_ERR_UNKNOWN;
}

std::int32_t VideoSession::query_value4(double& value) noexcept {
    VtVideoMessage reply{};
    if (const std::int32_t r =
            exchange(VT_VIDEO_QUERY_VALUE4, 0, static_cast<std::uint32_t>(m_timeout_ms), {}, reply);
        r != VT_OK)
        return r;
    value = reply.value;
    return value > 0 ? VT_OK : VT_ERR_UNKNOWN;
}

bool listed_video_container(std::span<const std::uint8_t> head) noexcept {
    const auto at = [head](std::size_t offset, std::string_view magic) {
        return head.size() >= offset + magic.size() &&
               std::memcmp(head.data() + offset, magic.data(), magic.size()) == 0;
    };
    if (at(0, "RIFF") && at(8, "AVI "))
        return true;
    if (at(4, "ftyp")) {
        // Still pictures in the same box structure have plug-ins of their own.
        for (const std::string_view brand : {"heic", "heix", "hevc", "hevx", "heim", "heis", "mif1",
                                             "msf1", "avif", "avis", "crx ", "jxl "})
            if (at(8, brand))
                return false;
        return true;
    }
    if (at(4, "moov") || at(4, "mdat") || at(4, "wide") || at(4, "free") || at(4, "pnot"))
        return true;
    if (at(0, "\x1A\x45\xDF\xA3"))
        return true; // Matroska, WebM
    if (at(0, std::string_view("\x00\x00\x01\xBA", 4)) ||
        at(0, std::string_view("\x00\x00\x01\xB3", 4)))
        return true; // MPEG program stream, MPEG video
    if (head.size() > 188 && head[0] == 0x47 && head[188] == 0x47)
        return true; // MPEG transport stream: a sync byte every 188 bytes
    if (at(0, "\x30\x26\xB2\x75\x8E\x66\xCF\x11"))
        return true; // ASF (WMV)
    return at(0, "FLV\x01") || at(0, "OggS");
}

} // namespace vt::plugins
