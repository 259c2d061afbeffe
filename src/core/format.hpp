// Number formats of the module's text output. Every form is correctly rounded from the
// exact binary value with ties to even, and prints non-finite values as "NaN" (never
// signed), "inf" and "-inf".
#pragma once

#include <string>

namespace zan::format {

// Fixed notation with exactly `decimals` digits after the point (none and no point when
// decimals <= 0), never an exponent; a negative zero keeps its sign: "-0.0000".
[[nodiscard]] std::string fixed(double v, int decimals);
void append_fixed(std::string& out, double v, int decimals);

// Shortest digits that read back to the same double. A non-zero magnitude below 1e-4 or
// at or above 1e16 uses an exponent without plus sign or leading zeros ("1e-7",
// "1.5e16"); anything else is decimal with at least one fractional digit ("2.0", "-0.0").
[[nodiscard]] std::string shortest(double v);
void append_shortest(std::string& out, double v);

// One digit, a point, two digits, 'e' and the decimal exponent: "5.00e-1", "2.50e1",
// "0.00e0", "-0.00e0".
[[nodiscard]] std::string exponent2(double v);
void append_exponent2(std::string& out, double v);

}  // namespace zan::format
