#include "mount/warm_start.h"

#include <climits>
#include <cwchar>

#include "log/logger.h"
#include "mount/library_setup.h"
#include "mount/output_files.h"
#include "platform/platform.h"

namespace ArchiveMount {

void WarmStart() {
    static const bool done = [] {
        platform::KeepLocalTimeZone();
        DecoderFlags();
        tessra::Logger::Instance();
        RandomHex(0);
        // The C library sets up the locale's multibyte conversion on its first
        // use and keeps it; the archive library's name conversions are that use.
        std::mbstate_t state{};
        wchar_t wide = 0;
        std::mbrtowc(&wide, "a", 1, &state);
        char narrow[MB_LEN_MAX];
        std::wcrtomb(narrow, L'a', &state);
        return true;
    }();
    (void)done;
}

}  // namespace ArchiveMount
