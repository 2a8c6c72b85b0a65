#pragma once
// The core's one exception type for internal failures (division by zero, an index
// out of range, an impossible size). The binding turns it into PanicException.
#include <stdexcept>
#include <string>

namespace tovrana {

class Panic : public std::runtime_error {
public:
    explicit Panic(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace tovrana
