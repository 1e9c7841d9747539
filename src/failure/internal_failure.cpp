#include "failure/internal_failure.h"

#include <cstdio>

#include "failure/messages.h"
#include "failure/number_format.h"

namespace qrl {

void report_failure(const std::string& message, const SourceLocation& where) noexcept {
    // Neither Python threads nor the pool's workers carry a name of ours.
    std::fprintf(stderr, "thread '<unnamed>' failed at %s:%u:\n%s\n", where.file, where.line, message.c_str());
    std::fflush(stderr);
}

void fail(std::string message, const SourceLocation& where) {
    report_failure(message, where);
    throw InternalFailure(std::move(message));
}

void fail_clamp_bounds(double lower, double upper, const SourceLocation& where) {
    fail(messages::kClampBounds + format_failure_number(lower) + messages::kClampBoundsMax +
             format_failure_number(upper),
         where);
}

}  // namespace qrl
