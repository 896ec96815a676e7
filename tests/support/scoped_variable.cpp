#include <cstdlib>

#include "support/host.h"

namespace testsupport {

ScopedVariable::ScopedVariable(std::string name, const std::optional<std::string>& value) : name_(std::move(name)) {
    if (const char* previous = std::getenv(name_.c_str())) previous_ = previous;
    SetVariable(name_, value);
}

ScopedVariable::~ScopedVariable() { SetVariable(name_, previous_); }

}  // namespace testsupport
