#include "audio/io/IFFPlan.h"

#include <cstring>

namespace IFF {

namespace {

constexpr std::int64_t kMaxField = 0xFFFFFFFF;

void Put32(std::vector<std::uint8_t>& b, std::uint32_t v, bool bigEndian) {
    for (int i = 0; i < 4; ++i)
        b.push_back(static_cast<std::uint8_t>(v >> (bigEndian ? 24 - 8 * i : 8 * i)));
}

void PutId(std::vector<std::uint8_t>& b, ResType id) {
    std::uint8_t c[4];
    std::memcpy(c, &id.value, 4);
    b.insert(b.end(), c, c + 4);
}

}  // namespace

std::size_t Plan::AddGroup(ResType id, ResType formType, bool bigEndian) {
    Node n;
    n.id = id;
    n.formType = formType;
    n.group = true;
    n.bigEndian = bigEndian;
    nodes_.push_back(n);
    return nodes_.size() - 1;
}

std::size_t Plan::AddChunk(ResType id, const void* payload, std::int64_t size) {
    Node n;
    n.id = id;
    n.payload = payload;
    n.size = size;
    nodes_.push_back(n);
    return nodes_.size() - 1;
}

std::size_t Plan::AddStreamChunk(ResType id) {
    return AddChunk(id, nullptr, 0);
}

std::int64_t Plan::Layout() {
    std::int64_t pos = 0;
    for (Node& n : nodes_) {
        pos = (pos + 1) & ~std::int64_t{1};
        const std::int64_t headerBytes = n.group ? 12 : 8;
        n.junkBefore = 0;
        if (laidOut_) {
            // Keep the chunk where it was written.
            const std::int64_t gap = (n.position - headerBytes) - pos;
            if (gap < 0 || (gap > 0 && gap < 8)) throw ChunkOverflow();
            n.junkBefore = gap;
            pos += gap;
        }
        n.position = pos + headerBytes;
        pos = n.position + (n.group ? 0 : n.size);
    }
    for (Node& n : nodes_) {
        if (n.group) n.size = pos - n.position;
        const std::int64_t field = n.group ? n.size + 4 : n.size;
        if (field > kMaxField && !n.sizeInDs64) throw SizeOverflow();
    }
    laidOut_ = true;
    return pos;
}

void Plan::Write(Stream::iByteOutput& out, std::size_t first) const {
    std::int64_t pos = out.Tell();
    if (first > 0 && first <= nodes_.size()) {
        const Node& prev = nodes_[first - 1];
        if (pos != prev.position + (prev.group ? 0 : prev.size)) throw ChunkResizeException();
    }
    std::vector<std::uint8_t> b;
    bool bigEndian = false;  // byte order of the innermost group so far
    for (std::size_t i = 0; i < nodes_.size(); ++i) {
        const Node& n = nodes_[i];
        if (n.group) bigEndian = n.bigEndian;
        if (i < first) continue;
        if ((pos + std::int64_t(b.size())) & 1) b.push_back(0);
        if (n.junkBefore >= 8) {
            PutId(b, ResType("JUNK"));
            Put32(b, static_cast<std::uint32_t>(n.junkBefore - 8), bigEndian);
            b.insert(b.end(), static_cast<std::size_t>(n.junkBefore - 8), 0);
        }
        PutId(b, n.id);
        const std::int64_t field = n.group ? n.size + 4 : n.size;
        Put32(b, n.sizeInDs64 ? 0xFFFFFFFFu : static_cast<std::uint32_t>(field), bigEndian);
        if (n.group) {
            PutId(b, n.formType);
        } else if (n.payload) {
            const auto* p = static_cast<const std::uint8_t*>(n.payload);
            b.insert(b.end(), p, p + n.size);
        } else {
            break;  // stream chunk: its payload is written by someone else
        }
    }
    out.Write(b.data(), b.data() + b.size(), Stream::Samples);
}

}  // namespace IFF
