#include "vt5/streams.h"

#include <algorithm>

#include "base/le.h"
#include "platform/ui_hooks.h"

namespace vt::vt5 {
namespace {

// Follows the element headers the stream reader takes, so that after a fault the source can be
// put behind the failing block whatever part of it was read: the element loop then goes on
// with the next element.
class ElementTracker final : public codec::ByteSource {
public:
    explicit ElementTracker(codec::ByteSource& source) noexcept
        : m_source(source), m_next(source.position()) {}
    std::size_t read(std::span<std::uint8_t> out) noexcept override {
        const std::uint64_t at = m_source.position();
        const std::size_t n = m_source.read(out);
        if (at == m_next && n == codec::kElementHeaderSize && out.size() == n)
            m_next = at + n + base::load_le32(out.data() + 4);
        return n;
    }
    [[nodiscard]] std::uint64_t position() const noexcept override { return m_source.position(); }
    bool seek(std::uint64_t position) noexcept override { return m_source.seek(position); }
    [[nodiscard]] std::uint64_t element_end() const noexcept { return m_next; }

private:
    codec::ByteSource& m_source;
    std::uint64_t m_next;
};

// The version 3 form: the stream reader peeks 12 bytes at every element it meets, which name a
// block's header size and payload length.
class ElementTrackerV3 final : public codec::ByteSource {
public:
    explicit ElementTrackerV3(codec::ByteSource& source) noexcept
        : m_source(source), m_next(source.position()) {}
    std::size_t read(std::span<std::uint8_t> out) noexcept override {
        const std::uint64_t at = m_source.position();
        const std::size_t n = m_source.read(out);
        if (n == 12 && out.size() == 12 && out[0] == codec::kElementBlock)
            m_next = at + std::max<std::uint16_t>(base::load_le16(out.data() + 2), 4) +
                     base::load_le32(out.data() + 4);
        return n;
    }
    [[nodiscard]] std::uint64_t position() const noexcept override { return m_source.position(); }
    bool seek(std::uint64_t position) noexcept override { return m_source.seek(position); }
    [[nodiscard]] std::uint64_t element_end() const noexcept { return m_next; }

private:
    codec::ByteSource& m_source;
    std::uint64_t m_next;
};

void report_fault(codec::BlockFault fault, image::LoadStatus& status) noexcept {
    status.error_text.assign(codec::block_fault_text(fault));
    const std::u16string_view title = codec::block_fault_title(fault);
    if (!status.silent && !title.empty())
        platform::message_box(status.error_text.view(), title, platform::MessageButtons::ok,
                              platform::MessageIcon::warning);
}

} // namespace

int Vt5ReadBlockStreamV3(std::span<std::uint8_t> destination, std::uint64_t length,
                         codec::ByteSource& source, image::LoadStatus& status,
                         std::uint64_t* restored) noexcept {
    status.error_text.assign(u"An unknown error occurred");
    ElementTrackerV3 tracker(source);
    const codec::BlockStreamRead read = codec::read_block_stream_v3(destination, length, tracker);
    if (restored != nullptr)
        *restored = read.restored;
    if (read.fault != codec::BlockFault::none) {
        if (source.position() < tracker.element_end())
            source.seek(tracker.element_end());
        report_fault(read.fault, status);
    }
    return 1;
}

int Vt5ReadBlockStream(std::span<std::uint8_t> destination, std::uint64_t length,
                       codec::ByteSource& source, image::LoadStatus& status,
                       std::uint64_t* restored) noexcept {
    status.error_text.assign(u"An unknown error occurred");
    ElementTracker tracker(source);
    const codec::BlockStreamRead read = codec::read_block_stream(destination, length, tracker);
    if (restored != nullptr)
        *restored = read.restored;
    if (read.fault != codec::BlockFault::none) {
        if (source.position() < tracker.element_end())
            source.seek(tracker.element_end());
        report_fault(read.fault, status);
    }
    return 1;
}

int Vt5WriteBlockStream(std::span<const std::uint8_t> stream, codec::ByteSink& sink,
                        image::LoadStatus& status, bool thorough) noexcept {
    const codec::BlockStreamWrite written = codec::write_block_stream(stream, sink, thorough);
    if (written.ok())
        return 1;
    status.error_text.assign(codec::block_fault_text(written.fault));
    return 0;
}

} // namespace vt::vt5
