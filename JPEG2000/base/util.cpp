// Option strings, debug level and diagnostics.
#include "base/util.h"

#include <cctype>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <new>

#include <locale.h>

namespace {

int util_dbglevel = 0;

bool isnamechar(char c)
{
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
}

bool isblankchar(char c)
{
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

bool isnumsep(char c)
{
    return c == ',' || c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

}  // namespace

// ---------------------------------------------------------------------------
// Item parser.

optparser_t* optparser_create(const char* s)
{
    if (!s)
        s = "";
    auto* parser = new (std::nothrow) optparser_t{};
    if (!parser)
        return nullptr;
    size_t len = std::strlen(s);
    parser->str_ = static_cast<char*>(std::malloc(len + 1));
    if (!parser->str_) {
        delete parser;
        return nullptr;
    }
    std::memcpy(parser->str_, s, len + 1);
    parser->pos_ = parser->str_;
    parser->name_ = "";
    parser->value_ = "";
    return parser;
}

void optparser_destroy(optparser_t* parser)
{
    if (!parser)
        return;
    std::free(parser->str_);
    delete parser;
}

int optparser_next(optparser_t* parser)
{
    char* p = parser->pos_;
    while (*p && isblankchar(*p))
        ++p;
    parser->pos_ = p;
    if (!*p)
        return 1;
    if (!isnamechar(*p))
        return -1;
    char* name = p;
    while (isnamechar(*p))
        ++p;
    if (*p == '=') {
        *p++ = '\0';
        char* value = p;
        while (*p && !isblankchar(*p))
            ++p;
        if (*p)
            *p++ = '\0';
        parser->name_ = name;
        parser->value_ = value;
    } else if (isblankchar(*p)) {
        *p++ = '\0';
        parser->name_ = name;
        parser->value_ = "";
    } else if (!*p) {
        parser->name_ = name;
        parser->value_ = "";
    } else {
        return -1;
    }
    parser->pos_ = p;
    return 0;
}

// ---------------------------------------------------------------------------
// Option tables.

const optentry_t* optentry_lookup(const optentry_t* table, const char* name)
{
    if (!table || !name)
        return nullptr;
    for (const optentry_t* entry = table; entry->id >= 0; ++entry)
        if (entry->name && std::strcmp(entry->name, name) == 0)
            return entry;
    return nullptr;
}

int optentry_id(const optentry_t* entry)
{
    return entry ? entry->id : -1;
}

// ---------------------------------------------------------------------------
// Numbers.

double util_atof(const char* s)
{
    // Number texts of option strings use "." whatever locale the process
    // (for example a GUI toolkit) has set.
    static locale_t clocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    if (!s)
        return 0.0;
    if (!clocale)
        return std::strtod(s, nullptr);
    return strtod_l(s, nullptr, clocale);
}

int util_splitnums(const char* s, int* count, double** values)
{
    char buf[4096];
    if (!s)
        s = "";
    size_t len = strnlen(s, sizeof buf - 1);
    std::memcpy(buf, s, len);
    buf[len] = '\0';

    int n = 0;
    for (size_t i = 0; i < len;) {
        while (i < len && isnumsep(buf[i]))
            ++i;
        if (i == len)
            break;
        ++n;
        while (i < len && !isnumsep(buf[i]))
            ++i;
    }
    double* nums = nullptr;
    if (n > 0) {
        nums = static_cast<double*>(std::malloc(sizeof(double) * static_cast<size_t>(n)));
        if (!nums)
            return -1;
        int k = 0;
        for (size_t i = 0; i < len;) {
            while (i < len && isnumsep(buf[i]))
                ++i;
            if (i == len)
                break;
            size_t start = i;
            while (i < len && !isnumsep(buf[i]))
                ++i;
            buf[i] = '\0';
            nums[k++] = util_atof(buf + start);
            ++i;
        }
    }
    *count = n;
    *values = nums;
    return 0;
}

// ---------------------------------------------------------------------------
// Debug level and diagnostics.

int util_setdbglevel(int dbglevel)
{
    int old = util_dbglevel;
    util_dbglevel = dbglevel;
    return old;
}

int util_getdbglevel()
{
    return util_dbglevel;
}

int util_eprintf(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stderr, fmt, ap);
    va_end(ap);
    return 0;
}

size_t util_memdump(FILE* out, const void* data, size_t len)
{
    const auto* bytes = static_cast<const unsigned char*>(data);
    size_t i = 0;
    for (; i < len; i += 16) {
        std::fprintf(out, "%04zx:", i);
        for (size_t j = i; j < i + 16 && j < len; ++j)
            std::fprintf(out, " %02x", bytes[j]);
        std::fputc('\n', out);
    }
    return i;
}
