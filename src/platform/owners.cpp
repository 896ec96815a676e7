#include "platform/owners.h"

#include "platform/platform.h"

namespace platform {

void Descriptor::reset(int value) noexcept {
    if (value_ >= 0) CloseDescriptor(value_);
    value_ = value;
}

}  // namespace platform
