// How a producer hands one member's bytes to whoever writes them.
#pragma once

#include <functional>

#include "mount/archive_error.h"

// Receives consecutive pieces of one member in order; false refuses a piece
// and stops the producer with a refusal.
using MemberSink = std::function<bool(const unsigned char* data, unsigned long long count)>;

// Produces one member into a sink; the code of the whole attempt.
using MemberProducer = std::function<ArchiveMount::Error(const MemberSink&)>;
