#include "jp2c_options.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

enum kind_t { FLAG, INT, REAL, LIST, KEYWORD };

// One option: its name, the kind of its value, the smallest value (INT,
// REAL, LIST), the keywords (KEYWORD), the usage line.
struct option_t {
    const char* name;
    kind_t kind;
    long long min;
    const char* keywords;  // "int|real"
    const char* help;
};

// The encoder's options (jpenc) and the decoder's (jpdec).
const option_t encoder_options[] = {
    {"rate", REAL, 0, nullptr, "rate=R          target size as a fraction of the raw size"},
    {"psnr", REAL, 1, nullptr, "psnr=DB         target PSNR in dB (1 to 200) by the coder's estimate"},
    {"lyrrates", LIST, 0, nullptr,
     "lyrrates=R,R,.. cumulative rates of the layers below the top one"},
    {"mode", KEYWORD, 0, "int|real",
     "mode=int|real   5/3 reversible (default) or 9/7 irreversible"},
    {"prg", KEYWORD, 0, "lrcp|rlcp", "prg=lrcp|rlcp   progression order"},
    {"maxrlvls", INT, 1, nullptr, "maxrlvls=N      resolution levels (default 6)"},
    {"cblkwidth", INT, 4, nullptr, "cblkwidth=N     code-block width, a power of two (default 64)"},
    {"cblkheight", INT, 4, nullptr, "cblkheight=N    code-block height, a power of two (default 64)"},
    {"nomct", FLAG, 0, nullptr, "nomct           no colour transform"},
    {"ht", FLAG, 0, nullptr, "ht              high-throughput (HTJ2K) code blocks, one layer"},
    {"htrefine", FLAG, 0, nullptr,
     "htrefine        with ht at a budget: SigProp and MagRef passes too (finer\n"
     "                truncation, about 0.1-0.2 dB; grk_decompress 10 fails on them)"},
    {"lazy", FLAG, 0, nullptr, "lazy            selective arithmetic coding bypass"},
    {"termall", FLAG, 0, nullptr, "termall         terminate every coding pass"},
    {"segsym", FLAG, 0, nullptr, "segsym          segmentation symbols"},
    {"vertcausal", FLAG, 0, nullptr, "vertcausal      vertically causal context formation"},
    {"resetprob", FLAG, 0, nullptr, "resetprob       reset the probabilities after every pass"},
    {"debug", INT, 0, nullptr, "debug=N         dump the marker segments on stderr (N > 0)"},
};

const option_t decoder_options[] = {
    {"maxlyrs", INT, 1, nullptr, "maxlyrs=N       accepted; every layer is decoded"},
    {"maxsamples", INT, 1, nullptr, "maxsamples=N    largest picture accepted, in samples"},
    {"debug", INT, 0, nullptr, "debug=N         dump the marker segments on stderr (N > 0)"},
};

template <size_t N>
const option_t* find(const option_t (&table)[N], const std::string& name)
{
    for (const option_t& o : table)
        if (name == o.name)
            return &o;
    return nullptr;
}

bool is_name_char(char c)
{
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
}

// The items of options as the codec's tokenizer splits them.
std::vector<std::string> items_of(const char* options)
{
    std::vector<std::string> items;
    const char* p = options ? options : "";
    while (*p) {
        while (*p && std::isspace(static_cast<unsigned char>(*p)))
            ++p;
        const char* start = p;
        while (*p && !std::isspace(static_cast<unsigned char>(*p)))
            ++p;
        if (p > start)
            items.emplace_back(start, p);
    }
    return items;
}

bool whole_int(const std::string& v, long long* out)
{
    const char* b = v.data();
    const char* e = b + v.size();
    if (b < e && *b == '+')
        ++b;
    auto r = std::from_chars(b, e, *out);
    return b < e && r.ec == std::errc() && r.ptr == e;
}

bool whole_real(const std::string& v, double* out)
{
    const char* b = v.data();
    const char* e = b + v.size();
    if (b < e && *b == '+')
        ++b;
    auto r = std::from_chars(b, e, *out, std::chars_format::general);
    return b < e && r.ec == std::errc() && r.ptr == e && std::isfinite(*out);
}

// "" when value suits option o, else what it should be.
std::string check_value(const option_t& o, const std::string& value)
{
    switch (o.kind) {
    case FLAG:
        return "";
    case INT: {
        long long v;
        const bool pow2 = std::strncmp(o.name, "cblk", 4) == 0;
        if (!whole_int(value, &v) || v < o.min || v > 2147483647LL ||
            (pow2 && (v > 1024 || (v & (v - 1)))))
            return pow2 ? "a power of two from 4 to 1024"
                        : "a whole number of at least " + std::to_string(o.min);
        return "";
    }
    case REAL: {
        double v;
        if (!whole_real(value, &v) || v < 0)
            return "a number of at least 0, like 0.1";
        return "";
    }
    case LIST: {
        size_t at = 0;
        while (at <= value.size()) {
            size_t comma = value.find(',', at);
            if (comma == std::string::npos)
                comma = value.size();
            const std::string piece = value.substr(at, comma - at);
            double v;
            if (!piece.empty() && (!whole_real(piece, &v) || v < 0))
                return "numbers of at least 0 separated by commas, like 0.01,0.05";
            at = comma + 1;
        }
        return "";
    }
    case KEYWORD: {
        const std::string words = o.keywords;
        size_t at = 0;
        while (at <= words.size()) {
            size_t bar = words.find('|', at);
            if (bar == std::string::npos)
                bar = words.size();
            if (words.compare(at, bar - at, value) == 0 && bar - at == value.size())
                return "";
            at = bar + 1;
        }
        std::string list = words;
        for (char& c : list)
            if (c == '|')
                c = '/';
        return "one of " + list;
    }
    }
    return "";
}

template <size_t N>
int check(const char* cmd, const option_t (&table)[N], const char* what, const char* options)
{
    for (const std::string& item : items_of(options)) {
        size_t n = 0;
        while (n < item.size() && is_name_char(item[n]))
            ++n;
        if (n == 0 || (n < item.size() && item[n] != '=')) {
            std::fprintf(stderr,
                         "jp2c %s: --options: malformed item \"%s\" (items are NAME or "
                         "NAME=VALUE, separated by spaces)\n",
                         cmd, item.c_str());
            return -1;
        }
        const std::string name = item.substr(0, n);
        const option_t* o = find(table, name);
        if (!o) {
            std::string names;
            for (const option_t& t : table)
                names += std::string(names.empty() ? "" : " ") + t.name;
            std::fprintf(stderr, "jp2c %s: --options: unknown %s option \"%s\" (known: %s)\n", cmd,
                         what, name.c_str(), names.c_str());
            return -1;
        }
        const bool hasvalue = n < item.size();
        if (o->kind == FLAG && hasvalue) {
            std::fprintf(stderr, "jp2c %s: --options: \"%s\" takes no value\n", cmd,
                         item.c_str());
            return -1;
        }
        if (o->kind != FLAG) {
            const std::string value = hasvalue ? item.substr(n + 1) : "";
            const std::string want = check_value(*o, value);
            if (!want.empty()) {
                std::fprintf(stderr, "jp2c %s: --options: bad value \"%s\" for %s (%s)\n", cmd,
                             value.c_str(), name.c_str(), want.c_str());
                return -1;
            }
        }
    }
    return 0;
}

template <size_t N>
std::string help(const option_t (&table)[N])
{
    std::string text;
    for (const option_t& o : table)
        text += std::string("    ") + o.help + "\n";
    return text;
}

} // namespace

int jp2c_checkoptions(const char* cmd, jp2c_optset set, const char* options)
{
    return set == JP2C_ENCODER ? check(cmd, encoder_options, "encoder", options)
                               : check(cmd, decoder_options, "decoder", options);
}

bool jp2c_hasoption(const char* options, const char* name)
{
    const size_t n = std::strlen(name);
    for (const std::string& item : items_of(options))
        if (item.compare(0, n, name) == 0 && (item.size() == n || item[n] == '='))
            return true;
    return false;
}

std::string jp2c_optionhelp(jp2c_optset set)
{
    return set == JP2C_ENCODER ? help(encoder_options) : help(decoder_options);
}
