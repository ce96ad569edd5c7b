#pragma once
// Text for vtconvert's --json line and its per-file stderr records. The JSON line is always valid
// UTF-8 whatever the file names: a byte of a name that is not UTF-8 (held as U+DC80..U+DCFF, see
// base/utf.h) is written as "\ufffd", and a record whose name holds such bytes also carries the
// name's exact bytes in hex (the "source_bytes" field), so a script can still find the file. The
// report file of a job (engine/job_plan.h) follows the same rules, with the same functions.
// Thread: any.

#include "base/escape.h"

namespace vt::cli {

// The contents of a JSON string (without the quotes).
using base::json_escape;
// Whether `text` holds a byte that is not UTF-8.
using base::has_undecodable_bytes;
// The bytes of `text` as the file system has them, two lower-case hex digits each.
using base::hex_bytes;
// A name for a one-line stderr record: control characters and stray bytes escaped ("\n").
using base::one_line_text;

} // namespace vt::cli
