#include "failure/internal_failure.h"

#include <cstdio>

#include "failure/number_format.h"

namespace qrl {

void report_failure(const std::string& message, const std::source_location& where) noexcept {
    // Neither Python threads nor the pool's workers carry a name of ours.
    std::fprintf(stderr, "thread '<unnamed>' failed at %s:%u:\n%s\n", where.file_name(),
                 static_cast<unsigned>(where.line()), message.c_str());
    std::fflush(stderr);
}

void fail(std::string message, const std::source_location& where) {
    report_failure(message, where);
    throw InternalFailure(std::move(message));
}

void fail_clamp_bounds(double min, double max, const std::source_location& where) {
    fail("min > max, or either was NaN. min = " + format_failure_number(min) + ", max = " + format_failure_number(max),
         where);
}

}  // namespace qrl
