#include "formats/legacy_zip.h"

namespace LegacyZip {

bool OutputLimiter::emit(const unsigned char* data, std::uint64_t length, std::string* error) {
    if (declared - produced < length) {
        if (error) *error = "more output than the declared size";
        return false;
    }
    produced += length;
    if (length == 0) return true;
    if (sink(data, length)) return true;
    sink_refused = true;
    if (error) *error = "the output was not taken";
    return false;
}

}  // namespace LegacyZip
