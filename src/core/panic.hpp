// Internal faults: conditions the native code treats as fatal to the current call.
// A fault writes its diagnostic where it happens (naming that thread) and unwinds to
// the call boundary, which turns it into the module's PanicException.
#pragma once

#include <source_location>
#include <stdexcept>
#include <string>

namespace zan {

class Panic : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Writes the diagnostic for a fault to standard error: the faulting thread, the source
// location, the message and a hint on how to get a backtrace.
void report_fault(const std::string& message, const char* file, unsigned line, unsigned column) noexcept;

[[noreturn]] void panic(const std::string& message,
                        std::source_location where = std::source_location::current());

// The message of an out-of-range index, as every bounds fault spells it.
[[nodiscard]] std::string index_out_of_bounds(std::size_t len, std::size_t index);

}  // namespace zan
