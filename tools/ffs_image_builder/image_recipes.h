// Named images: one sample tree with every kind of object, and that tree in each interrupted
// or damaged state a mount has to finish or refuse. The FFS's mount tests, Brovald's end-to-end
// fixture and the mount fuzzer's base images all start from these, so a state is laid out once.
//
//     ffs_image::ImageBuilder b = ffs_image::recipe("table-move");
//     ffs_image::ImageBuilder small = ffs_image::recipe("tree", small_layout);
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "image_builder.h"

namespace ffs_image {

// The slots of the sample tree:
//   /docs/               directory
//   /docs/a.txt          "old text\n" in one segment
//   /docs/gone.txt       a deleted slot in the chain
//   /docs/notes.txt      "read-only notes\n", read-only (not a protected name)
//   /docs/deep/          an empty directory
//   /docs/big.bin        20000 bytes in segments of the layout's chunk size
//   /IMEI                "354806012345678", read-only and protected
//   /to-a                a link to /docs/a.txt
//   /inline.txt          100 bytes held in the file object itself
//   /updated             9000 bytes whose first segment was rewritten (a deleted slot among them)
struct SampleTree {
    int docs, a_txt, gone, notes, deep, big, imei, to_a, inline_txt, updated;
};
SampleTree add_sample_tree(ImageBuilder& b);
std::vector<std::uint8_t> sample_bytes(std::size_t n, std::uint8_t seed);

// ---- states, applied to a builder that holds a tree ----
// The inode table copied into `to_block` (COPYING) and the old table marked lost, the commit
// not yet written: mount completes the move.
void interrupted_table_move(ImageBuilder& b, int to_block);
// A copy of the inode table started in `block` beside the current table: mount drops it.
void copying_beside_inodes(ImageBuilder& b, int block);
// A data block whose live objects were all moved out (a file and its segment, now deleted) and
// that was marked CLEANING: mount erases it. Returns the deleted slots located there. Later
// objects go to the next FREE block.
std::vector<int> cleaning_block(ImageBuilder& b, int block);
// A block whose header was erased while its data stayed: mount marks it lost.
void erased_header_over_data(ImageBuilder& b, int block);
// The record of a transaction that creates directory `name` in the root: a new slot, the
// object placed in the data area, linked behind the root's last entry. Not written anywhere yet;
// its state is complete (kRecordComplete).
JournalEntry directory_record(ImageBuilder& b, const std::string& name);
// A directory of `parent` relocated (as a data reclaim does), the power lost after the new inode
// was written and linked and before the old one was deleted: both are live with the same entries,
// and the complete journal record of the move deletes the old one at mount. Returns the new slot.
int directory_move_cut_short(ImageBuilder& b, int parent, int dir);
// `count` records marked applied at the journal's next positions.
void applied_journal_records(ImageBuilder& b, int count);

// ---- named images ----
struct Recipe {
    std::string name;
    std::string summary;
    std::function<ImageBuilder(const Layout&)> make;
};
// tree, erased, table-move, copying-beside-inodes, cleaning, journal-complete, journal-written,
// erased-header, directory-move, in this order.
const std::vector<Recipe>& recipes();
// The named image in the given layout (an unknown name throws std::out_of_range).
ImageBuilder recipe(const std::string& name, const Layout& layout = {});

}  // namespace ffs_image
