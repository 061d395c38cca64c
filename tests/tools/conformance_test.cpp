// Decoder conformance: every class-1 code stream of the test data decodes
// with jp2c, and each listed component matches its reference decoding
// within the peak error and mean squared error of tolerances.tsv.
#include "testutil.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>

using namespace testutil;

namespace {

struct Case {
    std::string stream, reference;
    int numcomps = 0;
    int reduction = 0;
    std::vector<double> peaks, mses;
};

std::vector<double> split_numbers(const std::string& s)
{
    std::vector<double> v;
    std::stringstream ss(s);
    std::string item;
    while (std::getline(ss, item, ':'))
        v.push_back(std::atof(item.c_str()));
    return v;
}

std::vector<Case> load_cases()
{
    std::vector<Case> cases;
    std::ifstream f(std::string(JP2_TESTDATA) + "/conformance/tolerances.tsv");
    std::string line;
    while (std::getline(f, line)) {
        if (line.empty() || line[0] == '#' || line.rfind("stream\t", 0) == 0)
            continue;
        std::stringstream ss(line);
        Case c;
        std::string comps, red, peak, mse;
        std::getline(ss, c.stream, '\t');
        std::getline(ss, c.reference, '\t');
        std::getline(ss, comps, '\t');
        std::getline(ss, red, '\t');
        std::getline(ss, peak, '\t');
        std::getline(ss, mse, '\t');
        c.numcomps = std::atoi(comps.c_str());
        c.reduction = std::atoi(red.c_str());
        c.peaks = split_numbers(peak);
        c.mses = split_numbers(mse);
        cases.push_back(c);
    }
    return cases;
}

void PrintTo(const Case& c, std::ostream* os)
{
    *os << c.stream;
}

class Conformance : public ::testing::TestWithParam<Case> {};

TEST_P(Conformance, DecodesWithinTolerance)
{
    const Case& c = GetParam();
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    std::string in = std::string(JP2_TESTDATA) + "/conformance/" + c.stream;
    std::string out = dir.file("out.pgx");
    std::string log;
    int rc = run_command(shell_quote(JP2C_PATH) + " decode " + shell_quote(in) + " " +
                             shell_quote(out),
                         &log);
    ASSERT_EQ(rc, 0) << log;
    if (c.reduction != 0)
        return;  // the reference is a reduced-resolution decoding
    ASSERT_EQ(int(c.peaks.size()), c.numcomps);
    ASSERT_EQ(int(c.mses.size()), c.numcomps);
    for (int k = 0; k < c.numcomps; ++k) {
        Picture ref, got;
        std::vector<int32_t> rs, gs;
        std::string reffile = std::string(JP2_TESTDATA) + "/conformance/" + c.reference + "_" +
                              std::to_string(k) + ".pgx";
        ASSERT_TRUE(read_pgx(reffile, &ref, &rs)) << reffile;
        ASSERT_TRUE(read_pgx(dir.file("out_" + std::to_string(k) + ".pgx"), &got, &gs))
            << "component " << k;
        ASSERT_EQ(got.width, ref.width) << "component " << k;
        ASSERT_EQ(got.height, ref.height) << "component " << k;
        ASSERT_EQ(got.prec, ref.prec) << "component " << k;
        ASSERT_EQ(got.sgnd, ref.sgnd) << "component " << k;
        double peak = 0, sum = 0;
        for (size_t i = 0; i < rs.size(); ++i) {
            double d = double(gs[i]) - double(rs[i]);
            peak = std::max(peak, std::fabs(d));
            sum += d * d;
        }
        double mse = rs.empty() ? 0 : sum / double(rs.size());
        EXPECT_LE(peak, c.peaks[k]) << "component " << k;
        EXPECT_LE(mse, c.mses[k]) << "component " << k;
        std::printf("%s component %d: peak %g mse %g\n", c.stream.c_str(), k, peak, mse);
    }
}

INSTANTIATE_TEST_SUITE_P(Streams, Conformance, ::testing::ValuesIn(load_cases()),
                         [](const ::testing::TestParamInfo<Case>& info) {
                             std::string name = info.param.stream;
                             return name.substr(0, name.find('.'));
                         });

}  // namespace
