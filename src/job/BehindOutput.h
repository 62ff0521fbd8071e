#pragma once

// The output a file writer gets when its conversion's chain is split: its calls go through a
// write-behind (Stream::WriteBehind), which owns `file` and carries them out on the read-ahead
// task, or at once while no task serves it. Close waits for everything queued, then closes the
// file on the caller's thread.

#include <memory>

#include "audio/io/FileWriter.h"
#include "stream/WriteBehind.h"

sptr<Stream::iByteOutput> BehindOutput(std::shared_ptr<Stream::WriteBehind> behind,
                                       sptr<Stream::iByteOutput> file);
