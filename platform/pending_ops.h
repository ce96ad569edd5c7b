#pragma once
// The pending-operations journal: moves and deletes that keep failing now (a backup still held
// open, say) are written to "pending_operations.txt" in the program data folder and done at the
// next start-up. One operation a line, UTF-8: "delete\tPATH" or "move\tFROM\tTO".
//
// A save's new file is written under a temporary name beside its target and renamed over it when
// complete. Its "partial" line says a kill could leave that file behind; its "done" line that it
// was renamed or removed. A replay removes partial files whose writer is no longer running.
//
// The journal is replayed as commands, so it must be ours: a journal that another user owns, or
// that the group or others may write, or that lies in a folder (up to the data root) that is
// not the user's alone, is neither replayed nor appended to. New journals are created 0600.
//
// Thread: any; the journal is used under one lock, and under flock against the other programs.

#include <string>
#include <string_view>

namespace vt::platform {

void schedule_delete(std::u16string_view path);
void schedule_move(std::u16string_view from, std::u16string_view to);

// Brackets the life of a temporary file (see above).
void journal_partial(std::u16string_view path);
void journal_partial_done(std::u16string_view path);

// Carries out the journal; what still fails stays in it, the journal goes when empty. Returns
// the operations done (unknown lines count as done and are dropped).
int replay_pending_operations();

// The journal's file (for tests): empty means the program data folder's.
void set_pending_journal(std::u16string path);

} // namespace vt::platform
