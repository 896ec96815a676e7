#include "support/helper_session.h"

#include <gtest/gtest.h>

namespace TestSupport {

std::unique_ptr<HelperClient::HelperProcess> StartHelper(const std::vector<std::string>& arguments,
                                                         int inherited_descriptor, bool close_standard_error) {
    std::string message;
    auto process = HelperClient::HelperProcess::Start(
        {OMBREX_HELPER_BINARY, arguments, inherited_descriptor, close_standard_error}, &message);
    EXPECT_NE(process, nullptr) << message;
    return process;
}

ArchiveHelper::OpenRequest OpenByPath(const std::string& path) {
    ArchiveHelper::OpenRequest request;
    request.path = path;
    request.limits = {1000, 1LL << 40, 1LL << 40};
    return request;
}

}  // namespace TestSupport
