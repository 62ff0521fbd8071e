#pragma once

// Writing IFF-family headers: a plan lists a file's chunks in writing order,
// lays them out (file offsets) and writes their headers. A group chunk
// encloses every node that follows it in the plan.
//
// Units: sizes and positions are bytes, 64-bit. Size fields in the file are
// 32-bit; a node marked `sizeInDs64` writes 0xFFFFFFFF there (its real size
// goes into an RF64 "ds64" chunk that the plan's owner fills).

#include <cstdint>
#include <stdexcept>
#include <vector>

#include "audio/io/FileWriter.h"
#include "audio/io/IFF.h"

namespace IFF {

class Plan {
public:
    // An earlier chunk changed size so that a later one cannot stay where it
    // was written: it would overlap, or the gap left is too small for a
    // "JUNK" chunk (8 bytes).
    struct ChunkOverflow : std::runtime_error {
        ChunkOverflow() : std::runtime_error("IFF chunk overflows its planned position") {}
    };
    // A write resumed in the middle of the plan found the output elsewhere
    // than at the end of the preceding chunk.
    struct ChunkResizeException : std::runtime_error {
        ChunkResizeException() : std::runtime_error("IFF chunk resized during writing") {}
    };
    // A size does not fit its 32-bit field.
    struct SizeOverflow : std::runtime_error {
        SizeOverflow()
            : std::runtime_error("the output is too large for the 32-bit sizes of its header "
                                 "(4 GiB)") {}
    };

    struct Node {
        ResType id;
        // Plain chunk: its payload (`size` bytes), or null for a stream chunk
        // whose payload someone else writes; writing stops after its header.
        const void* payload = nullptr;
        ResType formType;            // group chunk only
        std::int64_t size = 0;       // payload bytes; a group's excludes its form type
        std::int64_t position = -1;  // file offset of the payload, set by Layout
        bool group = false;
        bool bigEndian = false;       // group: sizes of it and its children are big-endian
        bool sizeInDs64 = false;      // size field written as 0xFFFFFFFF
        std::int64_t junkBefore = 0;  // bytes of "JUNK" chunk in front of the header
    };

    // Appends a node and returns its index.
    std::size_t AddGroup(ResType id, ResType formType, bool bigEndian = false);
    std::size_t AddChunk(ResType id, const void* payload, std::int64_t size);
    std::size_t AddStreamChunk(ResType id);

    Node& node(std::size_t i) { return nodes_[i]; }
    const Node& node(std::size_t i) const { return nodes_[i]; }
    std::size_t size() const { return nodes_.size(); }

    // Assigns positions (each header at an even offset) and the groups'
    // sizes; returns the end of the last chunk (no pad byte after it). After
    // the first layout a chunk keeps its position: a gap of 8 bytes or more
    // in front of it becomes a "JUNK" chunk, anything else throws
    // ChunkOverflow. Throws SizeOverflow for a size that does not fit.
    std::int64_t Layout();

    // Writes the nodes from `first` on, starting at the output's current
    // position, up to and including the header of the first stream chunk.
    void Write(Stream::iByteOutput& out, std::size_t first = 0) const;

private:
    std::vector<Node> nodes_;
    bool laidOut_ = false;
};

}  // namespace IFF
