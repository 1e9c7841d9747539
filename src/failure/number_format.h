// How doubles are written into failure messages: the shortest digits that
// read back as the same double (those of Python's repr), positional for
// 1e-4 <= |x| < 1e16 and for zero, exponent form otherwise ("1e16",
// "2.5e-5"), and "NaN", "inf", "-inf".
#pragma once

#include <string>

namespace qrl {

std::string format_failure_number(double x);

}  // namespace qrl
