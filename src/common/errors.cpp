#include "common/errors.hpp"

#include <cstring>

namespace tonalyx {

FatalError::FatalError(const std::string& message, int errnum)
    : std::runtime_error(errnum == 0 ? message : message + ": " + std::strerror(errnum)),
      message_(message), errnum_(errnum) {}

} // namespace tonalyx
