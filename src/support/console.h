// Console output: whole lines on file descriptor 1 under one lock, failure
// reports on file descriptor 2, and the two float renderings the drivers use.
#pragma once

#include <string>
#include <string_view>

namespace tarnel::console {

// Console number format of progress lines: the shortest decimal that reads
// back to the same double, never with an exponent, without a fractional part
// when integral; "NaN", "inf"; a minus sign on every negative value,
// negative zero included ("-0"). Appends to `out`.
void append_number(std::string& out, double value);
std::string format_number(double value);

// Float rendering of the learner's text form: scientific ("1e-5", "1.5e-5",
// "1e16") when |v| >= 1e16 or 0 < |v| < 1e-4, otherwise plain decimal with at
// least one digit after the point ("1.0", "0.001", "0.0", "-0.0"); "NaN",
// "inf", "-inf".
void append_text_float(std::string& out, double value);
std::string format_text_float(double value);

// Writes `line` (which ends with '\n') to file descriptor 1 in one piece under
// the process-wide output lock, so lines of concurrent workers never mix.
void write_line(std::string_view line);

// Writes "tarnel: <message>\n" to file descriptor 2.
void report_failure(std::string_view message);

}  // namespace tarnel::console
