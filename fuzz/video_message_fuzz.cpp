// The host's reading of the video helper's replies: the input is a stream of replies as a
// helper gone wrong might send them, each header checked against the command it answers
// (chosen by the byte before it) and a frame reply's payload checked before any pixel is used.
// The input's first bytes are also judged as the head of a file offered to the helper.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "plugins/video_session.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::span<const std::uint8_t> in(data, size);
    (void)vt::plugins::listed_video_container(in.first(std::min<std::size_t>(size, 200)));
    while (in.size() > VT_VIDEO_HEADER_SIZE) {
        const std::uint32_t command = in[0] % 8u;
        in = in.subspan(1);
        VtVideoMessage reply{};
        if (!vt::plugins::decode_video_reply(in.first<VT_VIDEO_HEADER_SIZE>(), command, reply))
            return 0;
        in = in.subspan(VT_VIDEO_HEADER_SIZE);
        if (reply.payload_size > in.size())
            return 0;
        const auto payload = in.first(reply.payload_size);
        in = in.subspan(reply.payload_size);
        std::uint32_t width = 0;
        std::uint32_t height = 0;
        if (command == VT_VIDEO_READ_FRAME &&
            vt::plugins::parse_frame_payload(payload, width, height)) {
            // Every pixel the host would copy lies inside the payload.
            volatile std::uint32_t last = 0;
            std::memcpy(const_cast<std::uint32_t*>(&last),
                        payload.data() + 8 + (std::size_t{width} * height - 1) * 4, 4);
        }
        (void)vt::plugins::video_status_result(reply.u.reply.status);
    }
    return 0;
}
