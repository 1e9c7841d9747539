// Internal failures: a broken invariant met while a call runs, on any thread.
// The failing code reports to standard error where it stands, then throws
// InternalFailure; the failure guard of the calling thread turns it into the
// Python-visible exception.  This header never includes Python.h so kernels
// and worker threads can use it.
#pragma once

#include <exception>
#include <string>

namespace qrl {

// Where a check stands.  std::source_location needs library support that
// clang 14 with libstdc++ 12 lacks; the builtins it is made of are in GCC 11
// and clang 14 alike, and as default arguments they name the caller.
struct SourceLocation {
    const char* file;
    unsigned line;

    static constexpr SourceLocation current(const char* file = __builtin_FILE(),
                                            unsigned line = __builtin_LINE()) noexcept {
        return {file, line};
    }
};

class InternalFailure final : public std::exception {
public:
    explicit InternalFailure(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

// Writes the failure report for `message` to standard error, naming the
// thread and the source location of the failed check.
void report_failure(const std::string& message, const SourceLocation& where) noexcept;

// Reports and throws.  Kept out of line so hot loops only carry a call.
[[noreturn]] void fail(std::string message, const SourceLocation& where = SourceLocation::current());

// The message of a clamp whose bounds are crossed or NaN.
[[noreturn]] void fail_clamp_bounds(double lower, double upper,
                                    const SourceLocation& where = SourceLocation::current());

}  // namespace qrl
