// What a file that replaces another must carry over from it, and whether
// it can.
#pragma once

#include <sys/stat.h>

namespace qelcli {

// Gives the new file open as fresh everything of the old file open as old
// (read now, from its descriptor) that a file replaced whole would
// otherwise lose: its owner, group, mode and access ACL. Returns true
// where that is all it has and all of it was carried over. False where
// replacing it could widen access or lose something: a file of another
// user, with other hard links or set-ID bits (which a write may clear), on
// another file system, with flags (chattr) or extended attributes that
// differ from the new file's, or one whose group or ACL can't be given.
// The caller then writes into the old file itself instead.
bool carry_metadata(int old, int fresh);

}  // namespace qelcli
