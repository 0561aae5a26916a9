// Writes the S-record images the end-to-end scenarios start from, laid out by the fixture
// builder from the format rules: a tree with every kind of object, the same tree in each
// interrupted state a mount finishes, and an erased area.
//   brovald_fixture <kind> <image file>
#include "image_builder.h"
#include "image_io.h"

#include <cstdio>
#include <functional>
#include <map>
#include <string>

namespace {

using ffs_image::ImageBuilder;

std::vector<std::uint8_t> text(const std::string& s)
{
    return {s.begin(), s.end()};
}

// /docs/a.txt ("old text\n"), /docs/notes.txt (read-only, not protected), /docs/deep/ (empty),
// /IMEI (read-only, protected), /to-a (a link to /docs/a.txt), /docs/gone.txt (a deleted slot).
ImageBuilder tree()
{
    ImageBuilder b;
    const int docs = b.mkdir(b.root(), "docs");
    b.file(docs, "a.txt", text("old text\n"));
    b.deleted(docs, "gone.txt");
    b.file(docs, "notes.txt", text("read-only notes\n"), 0xE1);
    b.mkdir(docs, "deep");
    b.file(b.root(), "IMEI", text("354806012345678"), 0xE1);
    b.link(b.root(), "to-a", "/docs/a.txt");
    return b;
}

// A data block whose live objects were moved out before the power went: its cleaning is finished
// at mount.
ImageBuilder cleaning()
{
    ImageBuilder b = tree();
    b.start_data_block(5);
    const int moved = b.file(b.root(), "moved", text("moved away"));
    b.set_flags(b.inode(moved).child, 0);
    b.set_flags(moved, 0);
    b.write_state(5, ffs_image::kCleaning);
    return b;
}

// The inode table copied into block 9 and the old one marked lost, but the copy not committed.
ImageBuilder table_move()
{
    ImageBuilder b = tree();
    b.copy_inode_table(9);
    b.write_state(9, ffs_image::kCopying);
    b.write_state(0, ffs_image::kInodesLost);
    return b;
}

// A copy of the inode table started beside the current one: the copy is dropped at mount.
ImageBuilder copying_beside_inodes()
{
    ImageBuilder b = tree();
    b.copy_inode_table(7);
    b.write_state(7, ffs_image::kCopying);
    return b;
}

// A folder /new whose object and complete journal record were written but not applied.
ImageBuilder journal_complete()
{
    ImageBuilder b = tree();
    ffs_image::JournalEntry e;
    e.state = ffs_image::kRecordComplete;
    e.flags = 0xF2;
    e.new_inode = static_cast<std::int16_t>(b.allocate_slot());
    e.location = b.place({'n', 'e', 'w', 0});
    e.size = 16;
    // Linked behind the root's last entry.
    int last = b.inode(b.root()).child;
    while (b.inode(last).sibling != -1) {
        last = b.inode(last).sibling;
    }
    e.link = static_cast<std::int16_t>(last);
    b.add_journal_record(e);
    return b;
}

// A journal record written but never marked complete: it is dropped at mount.
ImageBuilder journal_written()
{
    ImageBuilder b = tree();
    ffs_image::JournalEntry e;
    e.state = ffs_image::kRecordWritten;
    e.flags = 0xF1;
    e.new_inode = static_cast<std::int16_t>(b.allocate_slot());
    e.location = b.place({'h', 'a', 'l', 'f', 0});
    e.size = 16;
    b.add_journal_record(e);
    return b;
}

// A block whose header was erased while its data stayed: it is marked lost at mount.
ImageBuilder erased_header()
{
    ImageBuilder b = tree();
    b.start_data_block(4);
    b.place(std::vector<std::uint8_t>(64, 0x5A));
    for (std::uint32_t offset = 0; offset < 10; offset += 2) {
        ffs_image::write16(b.area(), ffs_image::block_start(4) + offset, 0xFFFF);
    }
    return b;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::map<std::string, std::function<ImageBuilder()>> kinds = {
        {"tree", tree},
        {"cleaning", cleaning},
        {"table-move", table_move},
        {"copying-beside-inodes", copying_beside_inodes},
        {"journal-complete", journal_complete},
        {"journal-written", journal_written},
        {"erased-header", erased_header},
        {"erased", ImageBuilder::erased},
    };
    const auto kind = argc == 3 ? kinds.find(argv[1]) : kinds.end();
    if (kind == kinds.end()) {
        std::fprintf(stderr, "usage: brovald_fixture <kind> <image file>; kinds:");
        for (const auto& [name, make] : kinds) {
            std::fprintf(stderr, " %s", name.c_str());
        }
        std::fprintf(stderr, "\n");
        return 2;
    }
    const int r = save_image(argv[2], kind->second().image());
    if (r < 0) {
        std::fprintf(stderr, "brovald_fixture: cannot write %s (%d)\n", argv[2], r);
        return 1;
    }
    return 0;
}
