// Option strings, debug level and diagnostics.
//
// Option strings are sequences of items separated by white space; an item is
// a name (letters, digits, "_") optionally followed by "=" and a value that
// runs to the next white space:  "rate=0.5 maxrlvls=6 nomct".
#ifndef JPEG2000_UTIL_H
#define JPEG2000_UTIL_H

#include <cstddef>
#include <cstdio>

// ---------------------------------------------------------------------------
// Item parser.  Name and value point into the parser's own copy of the
// string and stay valid until the parser is destroyed.

struct optparser_t {
    char* str_;          // own copy of the whole option string
    char* pos_;          // current position in the copy
    const char* name_;   // current item's name
    const char* value_;  // current item's value ("" for a bare name)
};

// New parser over a copy of s (nullptr is taken as ""), or nullptr when
// memory runs out.
optparser_t* optparser_create(const char* s);
// Frees the copy and the parser; nullptr is ignored.
void optparser_destroy(optparser_t* parser);
// Moves to the next item: 0 with a new current item, 1 when only white space
// remains, -1 on a syntax error (the parser is then fit only for destroy).
int optparser_next(optparser_t* parser);
inline const char* optparser_name(const optparser_t* parser) { return parser->name_; }
inline const char* optparser_value(const optparser_t* parser) { return parser->value_; }

// ---------------------------------------------------------------------------
// Option tables: arrays of entries ended by an entry with a negative id.

struct optentry_t {
    int id;
    const char* name;
};

// The entry whose name equals name exactly (case-sensitive), or nullptr.
const optentry_t* optentry_lookup(const optentry_t* table, const char* name);
// The entry's identifier, or -1 for nullptr.
int optentry_id(const optentry_t* entry);

// ---------------------------------------------------------------------------
// Numbers.

// Splits a list of numbers separated by commas, spaces, tabs or line ends
// ("0.1,0.2 0.4"; empty pieces are skipped; only the first 4095 characters
// count).  On success returns 0 with *count numbers in *values, an array to
// be released with std::free (nullptr when *count is 0); -1 when memory runs
// out.  A piece that is no number gives 0.
int util_splitnums(const char* s, int* count, double** values);
// Text to double in the "C" locale whatever the process locale (a leading
// number; 0 when there is none).
double util_atof(const char* s);

// ---------------------------------------------------------------------------
// Debug level and diagnostics.

// Sets the codec-wide debug level (0 at start); returns the previous one.
int util_setdbglevel(int dbglevel);
int util_getdbglevel();
// Formatted diagnostic on the standard error stream.  Returns 0.
int util_eprintf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Hex dump of len bytes to out: per 16 bytes the offset as "%04x:", each
// byte as " %02x", a line end.  Returns len rounded up to a multiple of 16.
size_t util_memdump(FILE* out, const void* data, size_t len);

#endif
