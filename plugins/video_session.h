#pragma once
// The host's half of the video helper (bin/vtl_Video, suite/video/): one helper process and one
// Unix domain socket per session, the messages of sdk/vt_video.h, and the guards that turn a
// helper that hangs, dies or talks nonsense into a result code within the session's time.
// docs/video.md tells how the endpoint is made and why the helper never outlives its session.
// Thread: any; one session is used by one thread at a time, sessions are independent.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "sdk/vt_plugin.h"
#include "sdk/vt_video.h"

namespace vt::plugins {

// The result code (VT_OK or negative) a helper status word becomes.
[[nodiscard]] std::int32_t video_status_result(std::int32_t status) noexcept;

// A reply header from its 32 bytes; false when it cannot be a reply to `command` (wrong code,
// a payload larger than that reply may carry, the zero word not zero).
[[nodiscard]] bool decode_video_reply(std::span<const std::uint8_t, VT_VIDEO_HEADER_SIZE> bytes,
                                      std::uint32_t command, VtVideoMessage& reply) noexcept;

// The size and pixels of a frame reply's payload: false unless it holds u32 width, u32 height
// (each at least 1, at most VT_VIDEO_MAX_FRAME_PIXELS together) and exactly their pixels.
[[nodiscard]] bool parse_frame_payload(std::span<const std::uint8_t> payload, std::uint32_t& width,
                                       std::uint32_t& height) noexcept;

// Whether the first bytes of a file (up to 200 of them) are one of the containers the video
// helper is listed for: AVI, ISO/QuickTime movies (not the still-picture brands: HEIF, AVIF,
// CR3, JPEG XL), Matroska/WebM, MPEG program and transport streams, ASF/WMV, FLV and Ogg. The
// helper decodes whatever FFmpeg opens, pictures too; it is asked only for these.
[[nodiscard]] bool listed_video_container(std::span<const std::uint8_t> head) noexcept;

// The helper program: "vtl_Video" in the suite program folder, by its absolute path; empty
// when it is not there (or the folder is not absolute). Neither the program's own folder nor
// the search path is tried.
[[nodiscard]] std::u16string find_video_helper();

class VideoSession {
public:
    VideoSession(const VideoSession&) = delete;
    VideoSession& operator=(const VideoSession&) = delete;
    // Sends close and stops the helper.
    ~VideoSession();

    // Starts `helper`, opens `path` in it and answers the session, or null with `result` set
    // (-1 for a file that is not a listed container, -4 when the helper cannot be started or
    // does not answer, -20 when out of memory, else the helper's status as a result code).
    // `timeout_ms` is the session time-out. A file the host cannot read itself is left to the
    // helper to refuse.
    [[nodiscard]] static VideoSession* open(const std::u16string& helper, const char16_t* path,
                                            std::int32_t timeout_ms, std::int32_t& result) noexcept;

    // The frame `index` in the session's buffer, or null; last_result() tells why.
    [[nodiscard]] const VtVideoFrame* read_frame(std::int64_t index) noexcept;
    [[nodiscard]] std::int32_t keep_alive() noexcept;
    [[nodiscard]] std::int32_t set_timeout(std::int32_t timeout_ms) noexcept;
    [[nodiscard]] std::int32_t query_time(std::int64_t& milliseconds) noexcept;
    [[nodiscard]] std::int32_t query_count(std::int64_t& count) noexcept;
    [[nodiscard]] std::int32_t query_value4(double& value) noexcept;

    [[nodiscard]] std::int32_t last_result() const noexcept { return m_last_result; }
    [[nodiscard]] int helper_pid() const noexcept { return m_pid; }

private:
    VideoSession() = default;
    bool start(const std::u16string& helper) noexcept;
    void stop() noexcept;
    // One request and its reply; the reply payload (if any) lands in m_payload. The answer is
    // the result code; VT_ERR_COMPONENT_MISSING when the helper does not answer in time.
    std::int32_t exchange(std::uint32_t command, std::int64_t argument, std::uint32_t timeout_ms,
                          std::span<const std::uint8_t> payload, VtVideoMessage& reply,
                          int reply_wait_ms = -1) noexcept;
    bool send_message(const VtVideoMessage& header, std::span<const std::uint8_t> payload) noexcept;
    int transfer_ms() const noexcept;

    std::int32_t m_timeout_ms = 100;
    int m_socket = -1;
    int m_pid = -1;
    std::int32_t m_last_result = VT_OK;
    std::vector<std::uint8_t> m_payload;
    std::vector<std::uint32_t> m_frame_buffer;
    VtVideoFrame m_frame{};
};

} // namespace vt::plugins
