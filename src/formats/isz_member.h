// Producing the disc image of an ISZ file, block by block.
#pragma once

#include <string>

#include "formats/isz_image.h"
#include "mount/member_sink.h"

namespace IszImage {

// Hands the image described by `index` to `sink` in order: 1 MiB pieces of a
// raw image, one block per chunk otherwise, each checked to be exactly its
// share. Ok, Damaged or OpenFailed; on failure `error` (if given) gets the
// message and the sink has seen the image only up to the failed block.
ArchiveMount::Error Decode(int descriptor, const Index& index, const MemberSink& sink, std::string* error);

}  // namespace IszImage
