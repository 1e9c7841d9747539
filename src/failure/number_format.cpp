#include "failure/number_format.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string_view>

namespace qrl {

std::string format_failure_number(double x) {
    if (std::isnan(x)) return "NaN";
    if (std::isinf(x)) return x > 0 ? "inf" : "-inf";

    // Shortest round-trip digits in scientific form, e.g. "-1.5e+20", "1e-05".
    char buffer[64];
    const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, x, std::chars_format::scientific);
    (void)ec;  // 64 bytes always suffice for a double
    std::string_view text(buffer, static_cast<std::size_t>(end - buffer));

    std::string out;
    if (text.front() == '-') {
        out.push_back('-');
        text.remove_prefix(1);
    }
    const std::size_t e_pos = text.find('e');
    std::string digits;  // mantissa digits without the point
    for (char c : text.substr(0, e_pos))
        if (c != '.') digits.push_back(c);
    const int exponent = std::atoi(std::string(text.substr(e_pos + 1)).c_str());

    const double magnitude = std::fabs(x);
    if (magnitude == 0.0 || (magnitude >= 1e-4 && magnitude < 1e16)) {
        if (exponent < 0) {
            out += "0.";
            out.append(static_cast<std::size_t>(-exponent - 1), '0');
            out += digits;
        } else {
            const std::size_t int_digits = static_cast<std::size_t>(exponent) + 1;
            if (digits.size() <= int_digits) {
                out += digits;
                out.append(int_digits - digits.size(), '0');
                out += ".0";
            } else {
                out += digits.substr(0, int_digits);
                out += '.';
                out += digits.substr(int_digits);
            }
        }
        return out;
    }
    out += digits[0];
    if (digits.size() > 1) {
        out += '.';
        out += digits.substr(1);
    }
    out += 'e';
    out += std::to_string(exponent);
    return out;
}

}  // namespace qrl
