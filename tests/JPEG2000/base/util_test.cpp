// Option string items, option tables, number lists, debug level, dumps.
#include "base/util.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace {

using Items = std::vector<std::pair<std::string, std::string>>;

// Items of an option string and the result that ended the walk (1 or -1).
std::pair<Items, int> items(const char* s)
{
    optparser_t* p = optparser_create(s);
    EXPECT_NE(p, nullptr);
    Items out;
    int r;
    while ((r = optparser_next(p)) == 0)
        out.emplace_back(optparser_name(p), optparser_value(p));
    optparser_destroy(p);
    return {out, r};
}

TEST(OptParser, SplitsItems)
{
    auto [it, r] = items("rate=0.5 maxrlvls=6 nomct");
    EXPECT_EQ(r, 1);
    EXPECT_EQ(it, (Items{{"rate", "0.5"}, {"maxrlvls", "6"}, {"nomct", ""}}));

    std::tie(it, r) = items("  \t\n a=b=c   x 1\trate=  _q=,;:  ");
    EXPECT_EQ(r, 1);
    EXPECT_EQ(it, (Items{{"a", "b=c"}, {"x", ""}, {"1", ""}, {"rate", ""}, {"_q", ",;:"}}));

    for (const char* empty : {"", "   ", "\t\n"}) {
        std::tie(it, r) = items(empty);
        EXPECT_EQ(r, 1) << '"' << empty << '"';
        EXPECT_TRUE(it.empty());
    }
    std::tie(it, r) = items(nullptr);
    EXPECT_EQ(r, 1);

    // The end stays the end: asking again keeps answering 1.
    optparser_t* p = optparser_create("x");
    EXPECT_EQ(optparser_next(p), 0);
    EXPECT_EQ(optparser_next(p), 1);
    EXPECT_EQ(optparser_next(p), 1);
    optparser_destroy(p);
    optparser_destroy(nullptr);
}

TEST(OptParser, SyntaxErrors)
{
    for (const char* bad : {"=5", "-x", "x:1", "ok y-z", "rate=1 +"}) {
        auto [it, r] = items(bad);
        EXPECT_EQ(r, -1) << bad;
    }
    auto [it, r] = items("ok y-z");
    EXPECT_EQ(it, (Items{{"ok", ""}}));
}

TEST(OptTable, LookUpIsExact)
{
    const optentry_t table[] = {{0, "rate"}, {1, "ilyrrates"}, {7, "nomct"}, {-1, nullptr}};
    EXPECT_EQ(optentry_id(optentry_lookup(table, "rate")), 0);
    EXPECT_EQ(optentry_id(optentry_lookup(table, "nomct")), 7);
    EXPECT_EQ(optentry_lookup(table, "Rate"), nullptr);
    EXPECT_EQ(optentry_lookup(table, "rat"), nullptr);
    EXPECT_EQ(optentry_lookup(table, "rates"), nullptr);
    EXPECT_EQ(optentry_id(nullptr), -1);
    const optentry_t empty[] = {{-1, nullptr}};
    EXPECT_EQ(optentry_lookup(empty, "rate"), nullptr);
}

std::vector<double> nums(const char* s)
{
    int n = -1;
    double* v = reinterpret_cast<double*>(1);
    EXPECT_EQ(util_splitnums(s, &n, &v), 0);
    std::vector<double> out(v, v + n);
    if (n == 0) {
        EXPECT_EQ(v, nullptr);
    }
    std::free(v);
    return out;
}

TEST(NumberList, SplitsAtSeparators)
{
    EXPECT_EQ(nums("0.1,0.2 0.4"), (std::vector<double>{0.1, 0.2, 0.4}));
    EXPECT_EQ(nums("1,,2"), (std::vector<double>{1, 2}));
    EXPECT_EQ(nums(" ,\t1e-3\r\n,-2,x,"), (std::vector<double>{1e-3, -2, 0}));
    EXPECT_TRUE(nums("").empty());
    EXPECT_TRUE(nums(" , ,").empty());

    // Only the first 4095 characters count.
    std::string longlist(4094, ' ');
    longlist += "12345";
    EXPECT_EQ(nums(longlist.c_str()), (std::vector<double>{1}));
}

TEST(NumberList, IgnoresTheProcessLocale)
{
    // A GUI toolkit may set a locale whose decimal separator is a comma.
    const char* names[] = {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "C.UTF-8"};
    std::string old = std::setlocale(LC_NUMERIC, nullptr);
    for (const char* name : names)
        if (std::setlocale(LC_NUMERIC, name))
            break;
    EXPECT_DOUBLE_EQ(util_atof("0.5"), 0.5);
    EXPECT_EQ(nums("0.25 1.5"), (std::vector<double>{0.25, 1.5}));
    std::setlocale(LC_NUMERIC, old.c_str());
    EXPECT_EQ(util_atof("abc"), 0.0);
    EXPECT_EQ(util_atof(nullptr), 0.0);
}

TEST(Diagnostics, DebugLevelAndMemoryDump)
{
    EXPECT_EQ(util_getdbglevel(), 0);
    EXPECT_EQ(util_setdbglevel(3), 0);
    EXPECT_EQ(util_getdbglevel(), 3);
    EXPECT_EQ(util_setdbglevel(0), 3);

    unsigned char data[20];
    for (int i = 0; i < 20; ++i)
        data[i] = static_cast<unsigned char>(i * 13);
    char* buf = nullptr;
    size_t len = 0;
    FILE* fp = open_memstream(&buf, &len);
    EXPECT_EQ(util_memdump(fp, data, 20), 32u);
    EXPECT_EQ(util_memdump(fp, data, 0), 0u);
    EXPECT_EQ(util_memdump(fp, data, 16), 16u);
    std::fclose(fp);
    std::string text(buf, len);
    std::free(buf);
    EXPECT_EQ(text,
              "0000: 00 0d 1a 27 34 41 4e 5b 68 75 82 8f 9c a9 b6 c3\n"
              "0010: d0 dd ea f7\n"
              "0000: 00 0d 1a 27 34 41 4e 5b 68 75 82 8f 9c a9 b6 c3\n");
}

}  // namespace
