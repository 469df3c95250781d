// Writing an index tree from its leaf entries given one at a time, in key
// order: leaf pages left to right, each as full as its data area allows,
// then node levels over them until one page, the root, remains. Only the
// page being filled is held, and the entries that point down from each level
// to the one below (one a page), which go to a spill file when they outgrow
// their share of memory.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "format/Bytes.h"
#include "format/IndexPage.h"
#include "os/SpillFile.h"
#include "write/OutputFile.h"
#include "write/PageAllocator.h"

namespace jet {

// The entries of one level of a tree being written, in order: appended, then
// read back once from the start.
class EntryLevel {
  public:
    EntryLevel(std::size_t memory, const SpillFolders& where) : memory_(memory), where_(&where) {}
    void add(ByteView key, RowPtr row, uint32_t child);
    std::size_t size() const { return count_; }
    // Reading: the next entry, its key valid until the next call.
    bool next(EntryRef& e);

  private:
    struct Held {
        uint32_t off, len;
        RowPtr row;
        uint32_t child;
    };
    std::size_t memory_;
    const SpillFolders* where_;
    Bytes keys_;
    std::vector<Held> held_;
    std::unique_ptr<SpillFile> file_;  // once the level outgrew its memory
    std::unique_ptr<SpillReader> reader_;
    std::size_t count_ = 0, read_ = 0;
};

// Where the pages of a tree go: the numbers it is given, in the order it asks
// for them, and the pages written there.
class TreePages {
  public:
    virtual ~TreePages() = default;
    virtual uint32_t allocate() = 0;
    virtual void write(uint32_t number, const Page& page) = 0;
};

// The file being written, its pages given out in turn.
class FileTreePages final : public TreePages {
  public:
    FileTreePages(PageAllocator& alloc, OutputFile& out) : alloc_(alloc), out_(out) {}
    uint32_t allocate() override { return alloc_.allocate(); }
    void write(uint32_t number, const Page& page) override { out_.write(number, page); }

  private:
    PageAllocator& alloc_;
    OutputFile& out_;
};

class IndexTreeStream {
  public:
    // memory: what the levels above the leaves may hold before they spill
    // into files in where.
    IndexTreeStream(TreePages& target, uint32_t owner, std::size_t memory, SpillFolders where)
        : target_(&target),
          owner_(owner),
          memory_(memory),
          where_(std::move(where)),
          up_(std::make_unique<EntryLevel>(memory, where_)) {}
    IndexTreeStream(PageAllocator& alloc, OutputFile& out, uint32_t owner, std::size_t memory,
                    SpillFolders where)
        : file_(std::in_place, alloc, out),
          target_(&*file_),
          owner_(owner),
          memory_(memory),
          where_(std::move(where)),
          up_(std::make_unique<EntryLevel>(memory, where_)) {}
    IndexTreeStream(const IndexTreeStream&) = delete;
    IndexTreeStream& operator=(const IndexTreeStream&) = delete;

    void add(ByteView key, RowPtr row);
    // Writes the last leaf and the levels above; returns the root. Every
    // page goes to pages, leaves first, then each level up.
    uint32_t finish(std::vector<uint32_t>& pages);

  private:
    // The page being filled: its entries, their keys copied, and what
    // decides whether one more fits. The prefix the page will use is
    // estimated from its first key and the shortest, never more than the
    // page will use.
    struct Group {
        struct Item {
            uint32_t off, len;
            RowPtr row;
            uint32_t child;
        };
        Bytes keys;
        std::vector<Item> items;
        std::vector<EntryRef> refs;  // for building the page
        std::size_t total = 0, shortest = 0, count = 0;
        uint32_t number = 0;

        bool empty() const { return items.empty(); }
        std::size_t size() const { return items.size(); }
        ByteView key(std::size_t i) const {
            return ByteView(keys).subspan(items[i].off, items[i].len);
        }
        // Starts the page with its first entry (trailer: 4 bytes on a leaf,
        // 8 on a node).
        void start(uint32_t page, ByteView key, RowPtr row, uint32_t child, std::size_t trailer);
        void push(ByteView key, RowPtr row, uint32_t child);
        // Whether `add` (an entry of `size` bytes) still goes on the page,
        // counting it in when it does.
        bool grow(ByteView add, std::size_t size);
        // The entries [0, n) as references for building the page.
        std::span<const EntryRef> refsTo(std::size_t n);
    };
    // Each writes its page and gives the number of the next one of its
    // level (0: none).
    uint32_t writeLeaf(bool more);
    uint32_t writeNode(Group& g, uint32_t& prev, bool more, EntryLevel& above);
    std::unique_ptr<EntryLevel> writeLevel(EntryLevel& below);

    std::optional<FileTreePages> file_;  // when the tree goes to the file being written
    TreePages* target_;
    uint32_t owner_;
    std::size_t memory_;
    SpillFolders where_;
    Group leaf_;
    uint32_t prevLeaf_ = 0;
    std::unique_ptr<EntryLevel> up_;  // an entry for each leaf written
    std::vector<uint32_t> pages_;
};

}  // namespace jet
