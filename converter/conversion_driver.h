// The conversion driver: sets up a tag reader and a stream pipeline, feeds
// the audio tags of every input file to the pipeline in batch order on one
// output time line, shows progress, and tears both down. The converted audio
// reaches the output writer on the pipeline's audio decoder thread.
#ifndef KELVRA_CONVERTER_CONVERSION_DRIVER_H
#define KELVRA_CONVERTER_CONVERSION_DRIVER_H

#include <cstdio>

#include "converter_settings.h"
#include "kelvra.h"

namespace kelvra {

// Converts the whole batch into the open output writer. Returns once every
// delivered tag has been decoded and written and the decoder threads have
// ended. Per-file problems go to standard error; progress to `out`. A stop
// asked for through the settings' status (a write failure, a stop signal)
// ends the feeding early.
void RunConversion(ConverterSettings& settings, std::FILE* out = stdout);

// The tag loop over the batch, with a reader and a running stream. After a
// stop the final time lines are not printed: the batch was not converted.
void ConvertInputFiles(ConverterSettings& settings, ::FLVAVTagReader* reader, ::FLVStream* stream,
                       std::FILE* out = stdout);

}  // namespace kelvra

#endif  // KELVRA_CONVERTER_CONVERSION_DRIVER_H
