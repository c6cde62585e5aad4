// The two ways a start-up step can end the program early. Both are thrown up to `run`, which
// restores the terminal, prints one line on standard error and returns the exit status.
#pragma once

#include <stdexcept>
#include <string>

namespace tonalyx {

// A step that cannot go on: reported as "message: system error" (the message alone when there
// is no errno) with exit status 101.
class FatalError : public std::runtime_error {
public:
    // `errnum` is the errno value behind the failure, or 0 when there is none.
    explicit FatalError(const std::string& message, int errnum = 0);

    const std::string& message() const { return message_; }
    int errnum() const { return errnum_; }

private:
    std::string message_;
    int errnum_;
};

// An orderly error exit: the terminal is restored as on a normal quit, then `line` is printed
// on standard error and the program ends with exit status 1.
class OrderlyExit : public std::runtime_error {
public:
    explicit OrderlyExit(const std::string& line) : std::runtime_error(line) {}
};

} // namespace tonalyx
