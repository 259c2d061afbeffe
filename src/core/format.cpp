#include "core/format.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace zan::format {
namespace {

// Appends "NaN", "inf" or "-inf" and returns true for a non-finite v.
bool append_special(std::string& out, double v) {
    if (std::isnan(v)) {
        out += "NaN";
        return true;
    }
    if (std::isinf(v)) {
        out += v < 0.0 ? "-inf" : "inf";
        return true;
    }
    return false;
}

// Shortest round-trip digits of a finite v in scientific form, split into the sign, the
// significant digits without the point, and the decimal exponent of the first digit.
struct Digits {
    bool negative;
    char digits[24];
    int n_digits;
    int exponent;
};

Digits shortest_digits(double v) {
    char buf[40];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    (void)ec;  // 40 bytes always suffice for the shortest scientific form
    Digits d{};
    const char* p = buf;
    if (*p == '-') {
        d.negative = true;
        ++p;
    }
    while (p != end && *p != 'e') {
        if (*p != '.') d.digits[d.n_digits++] = *p;
        ++p;
    }
    // Exponent text: 'e', a sign, then at least two digits.
    ++p;
    const bool neg_exp = *p == '-';
    ++p;
    int e = 0;
    for (; p != end; ++p) e = e * 10 + (*p - '0');
    d.exponent = neg_exp ? -e : e;
    return d;
}

}  // namespace

void append_fixed(std::string& out, double v, int decimals) {
    if (append_special(out, v)) return;
    if (decimals < 0) decimals = 0;
    // Most values fit a small buffer; only huge magnitudes or precisions need more room.
    char small[64];
    if (auto [end, ec] = std::to_chars(small, small + sizeof small, v, std::chars_format::fixed, decimals);
        ec == std::errc{}) {
        out.append(small, static_cast<std::size_t>(end - small));
        return;
    }
    // The largest finite double has 309 integer digits.
    const std::size_t room = 312 + static_cast<std::size_t>(decimals);
    const std::size_t start = out.size();
    out.resize(start + room);
    char* first = out.data() + start;
    auto [end, ec] = std::to_chars(first, first + room, v, std::chars_format::fixed, decimals);
    (void)ec;
    out.resize(static_cast<std::size_t>(end - out.data()));
}

std::string fixed(double v, int decimals) {
    std::string s;
    append_fixed(s, v, decimals);
    return s;
}

void append_shortest(std::string& out, double v) {
    if (append_special(out, v)) return;
    const double a = std::fabs(v);
    const Digits d = shortest_digits(v);
    if (d.negative) out += '-';
    if (a != 0.0 && (a < 1e-4 || a >= 1e16)) {
        out += d.digits[0];
        if (d.n_digits > 1) {
            out += '.';
            out.append(d.digits + 1, static_cast<std::size_t>(d.n_digits - 1));
        }
        out += 'e';
        char buf[8];
        auto [end, ec] = std::to_chars(buf, buf + sizeof buf, d.exponent);
        (void)ec;
        out.append(buf, static_cast<std::size_t>(end - buf));
        return;
    }
    if (a == 0.0) {
        out += "0.0";
        return;
    }
    if (d.exponent >= 0) {
        // Integer part: the first exponent + 1 digits, padded with zeros.
        const int int_len = d.exponent + 1;
        for (int i = 0; i < int_len; ++i) out += i < d.n_digits ? d.digits[i] : '0';
        out += '.';
        if (d.n_digits > int_len)
            out.append(d.digits + int_len, static_cast<std::size_t>(d.n_digits - int_len));
        else
            out += '0';
    } else {
        out += "0.";
        out.append(static_cast<std::size_t>(-d.exponent - 1), '0');
        out.append(d.digits, static_cast<std::size_t>(d.n_digits));
    }
}

std::string shortest(double v) {
    std::string s;
    append_shortest(s, v);
    return s;
}

void append_exponent2(std::string& out, double v) {
    if (append_special(out, v)) return;
    char buf[40];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific, 2);
    (void)ec;
    // buf holds [-]d.dde(+|-)dd[d]: copy the mantissa, then rewrite the exponent.
    const char* p = buf;
    while (*p != 'e') out += *p++;
    out += 'e';
    ++p;
    if (*p == '-') out += '-';
    ++p;
    while (p + 1 < end && *p == '0') ++p;
    out.append(p, static_cast<std::size_t>(end - p));
}

std::string exponent2(double v) {
    std::string s;
    append_exponent2(s, v);
    return s;
}

}  // namespace zan::format
