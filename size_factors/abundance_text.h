#ifndef ABUNDANCE_TEXT_H
#define ABUNDANCE_TEXT_H

// Abundance fields as the comparison reads them, and normalised abundances
// written so that it reads them back as faithfully as single precision allows.

#include <cstddef>

enum abundance_parse : int {
    abundance_ok = 0,
    abundance_invalid,     // strtof leaves characters unconsumed
    abundance_not_finite,  // an infinity or not-a-number, also by overflow
    abundance_negative,
};

// Converts a whole field with strtof (leading blanks, a sign, decimal or
// hexadecimal notation; an empty field is 0) and widens it to double, as the
// comparison does.  Accepts only finite values >= 0; -0 is stored as +0.
int parse_abundance(const char *text, double *value);

// Room for any text the two functions below write, terminating NUL included.
inline constexpr size_t ABUNDANCE_TEXT_SIZE = 800;

// Writes finite v as the shortest of %.15g, %.16g and %.17g that strtod reads
// back as v.  Returns the length.
int format_double(double v, char *text);

// As format_double, with one more promise: strtof reads the text as the float
// nearest to v (ties to even), the float the comparison should see.  The
// shortest text can miss that only when v lies exactly halfway between two
// floats; then the text is v's exact decimal expansion.  Returns the length.
int format_abundance(double v, char *text);

#endif
