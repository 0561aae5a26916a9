// The journal: every change of the inode table is one transaction, written as a record into the
// ".journal" file before it is applied, so that mount can apply it again after an interruption.
#pragma once

#include <cstdint>

namespace flashfs {

// Opens a transaction in fs.record; returns old's size (0 without an old inode).
int journal_begin(int old);
// Logs (when there is a journal), applies and closes the transaction. type: the new object's
// type (1 file, 2 directory, 4 segment) or 0 to keep the flags.
void journal_commit(int type);
// Applies fs.record to the inode table.
void journal_apply(int type);
// Mount: replays a complete record, replaces a journal of the wrong size, creates a missing one.
// 0, 1 (a record was replayed), a new journal inode, or an error.
int journal_init(int journal);
// A new journal (replacing old when non-zero): its inode, 0 when journaling is off, or an error.
int journal_create(int old);
int journal_push();
int journal_pop();

}  // namespace flashfs
