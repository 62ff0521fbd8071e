#pragma once

// A stage that passes every block through unchanged and writes it to a file
// writer on the way. Draining the chain therefore writes the file.

#include "audio/io/FileWriter.h"

namespace Audio::IO {

// Takes ownership of `writer` (opened); destroying the stage destroys the
// writer, which closes the file. Only bytes before the upstream's length
// are written.
Audio::Stream::Wrapper<::Stream::iOver> InsertWriter(Audio::Stream::Wrapper<::Stream::iOver> source,
                                                     sptr<iFileWriter> writer);

}  // namespace Audio::IO
