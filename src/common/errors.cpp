#include "common/errors.hpp"

#include <cstring>

namespace tonalyx {

FatalError::FatalError(const std::string& message, int errnum)
    : std::runtime_error(fatal_report(message, errnum)), message_(message), errnum_(errnum) {}

std::string fatal_report(const std::string& message, int errnum) {
    if (errnum == 0) {
        return message;
    }
    return message + ": " + std::strerror(errnum);
}

} // namespace tonalyx
