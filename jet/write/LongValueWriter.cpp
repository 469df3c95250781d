#include "write/LongValueWriter.h"

#include <algorithm>

namespace jet {

LongValueWriter::Header LongValueWriter::store(ByteView value, bool chained) {
    Header header{};
    const std::size_t len = value.size();
    if (len <= kSingleRowLimit && !chained) {
        if (page_ == 0 || !builder_.fits(len)) openPage(std::nullopt);
        uint8_t slot = builder_.add(value);
        put32(header.data(), static_cast<uint32_t>(len) | (static_cast<uint32_t>(kLvSingle) << 24));
        put32(header.data() + 4, RowPtr{page_, slot}.toU32());
        return header;
    }
    put32(header.data(), static_cast<uint32_t>(len));  // kind 0: chain
    std::size_t pos = 0;
    std::optional<uint8_t> previous;  // slot of the previous chunk, on the current page
    bool firstChunk = true;
    while (pos < len || firstChunk) {
        std::size_t room = 0;
        if (page_ != 0 && builder_.rowCount() < 255 && builder_.freeSpace() >= 6) {
            room = std::min(builder_.freeSpace() - 6, kChainChunkLimit);
        }
        if (page_ == 0 || room < std::min(kMinChunk, len - pos)) {
            openPage(previous);
            previous.reset();
            room = kChainChunkLimit;
        }
        const std::size_t chunk = std::min(room, len - pos);
        chunk_.assign(4, 0);
        chunk_.insert(chunk_.end(), value.begin() + static_cast<std::ptrdiff_t>(pos),
                      value.begin() + static_cast<std::ptrdiff_t>(pos + chunk));
        uint8_t slot = builder_.add(chunk_);
        if (previous) put32(builder_.row(*previous).data(), RowPtr{page_, slot}.toU32());
        if (firstChunk) put32(header.data() + 4, RowPtr{page_, slot}.toU32());
        firstChunk = false;
        previous = slot;
        pos += chunk;
    }
    return header;
}

void LongValueWriter::finish() {
    if (page_ != 0) out_.write(page_, builder_.build());
    page_ = 0;
}

void LongValueWriter::openPage(std::optional<uint8_t> patch) {
    uint32_t next = alloc_.allocate();
    if (page_ != 0) {
        if (patch) put32(builder_.row(*patch).data(), RowPtr{next, 0}.toU32());
        out_.write(page_, builder_.build());
    }
    builder_.clear();
    page_ = next;
    pages_.push_back(next);
}

}  // namespace jet
