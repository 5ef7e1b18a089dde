#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "cli.h"
#include "adjust.h"
#include "conditions.h"
#include "report_reader.h"
#include "study.h"

namespace {

// The report's layout, written the way mirdle writes it.
std::string header(int n)
{
    std::string s;
    char piece[64];
    std::snprintf(piece, sizeof piece, "%-20s", "Feature");
    s += piece;
    for (int c = 1; c <= n; ++c)
        s += (std::snprintf(piece, sizeof piece, " %6s%d", "MNC", c), piece);
    for (int c = 1; c <= n; ++c)
        s += (std::snprintf(piece, sizeof piece, " %5s%d", "SD/C", c), piece);
    for (int a = 1; a < n; ++a)
        for (int b = a + 1; b <= n; ++b)
            s += (std::snprintf(piece, sizeof piece, "  FC %d-%d log2(FC) %5s", a, b, "P-val"),
                  piece);
    return s;
}

// A two-condition row; fc < 0 writes the "*" of an all-zero pair.
std::string row2(const char *id, double m1, double m2, double s1, double s2, double fc,
                 double p)
{
    char text[256];
    int len = std::snprintf(text, sizeof text, "%-20s %7.1f %7.1f %6.1f %6.1f", id, m1, m2, s1, s2);
    if (fc < 0)
        len += std::snprintf(text + len, sizeof text - len, " %7s %7s", "*", "*");
    else
        len += std::snprintf(text + len, sizeof text - len, " %7.2f %7.2f", fc, std::log2(fc));
    std::snprintf(text + len, sizeof text - len, "  %7.5f", p);
    return text;
}

report read_text(const std::string &text, int *status)
{
    std::string copy = text;
    FILE *f = fmemopen(copy.data(), copy.size(), "r");
    report r;
    *status = read_report(f, "r.txt", "test", &r);
    std::fclose(f);
    return r;
}

TEST(ReportHeader, GivesTheConditionCountOfExactHeadersOnly)
{
    EXPECT_EQ(parse_report_header(header(2)), 2);
    EXPECT_EQ(parse_report_header(header(3)), 3);
    // Two-digit labels are one character wider than their columns.
    EXPECT_EQ(parse_report_header(header(11)), 11);
    EXPECT_EQ(parse_report_header(header(128)), 128);
    EXPECT_EQ(parse_report_header(header(1)), 0);
    EXPECT_EQ(parse_report_header(header(2) + " "), 0);
    EXPECT_EQ(parse_report_header(header(3).substr(0, header(3).size() - 1)), 0);
    std::string tabs = header(2);
    tabs[20] = '\t';
    EXPECT_EQ(parse_report_header(tabs), 0);
    EXPECT_EQ(parse_report_header("Feature\tMNC1\tMNC2"), 0);
    EXPECT_EQ(parse_report_header(""), 0);
}

TEST(ReportRow, TakesValuesFromTheRightSoIdsKeepBlanksAndLength)
{
    std::string_view id, tokens[7];
    const std::string plain = row2("gene1", 99.8, 99.3, 0.4, 0.3, 0.75, 0.7335);
    ASSERT_EQ(split_report_row(plain, 2, &id, tokens), nullptr);
    EXPECT_EQ(id, "gene1");
    EXPECT_EQ(tokens[0], "99.8");
    EXPECT_EQ(tokens[4], "0.75");
    EXPECT_EQ(tokens[5], "-0.42");
    EXPECT_EQ(tokens[6], "0.73350");

    const std::string spaced = row2("gene 1 2.0 3.0", 1, 2, 0, 0, 2, 1);
    ASSERT_EQ(split_report_row(spaced, 2, &id, tokens), nullptr);
    EXPECT_EQ(id, "gene 1 2.0 3.0");

    const std::string longer = "a feature id of more than twenty characters";
    const std::string long_row = row2(longer.c_str(), 1, 2, 0, 0, 2, 1);
    ASSERT_EQ(split_report_row(long_row, 2, &id, tokens), nullptr);
    EXPECT_EQ(id, longer);
    EXPECT_EQ(tokens[0], "1.0");
    // A long id keeps its trailing blanks: the padding is known exactly.
    const std::string trailing = longer + "  ";
    const std::string trailing_row = row2(trailing.c_str(), 1, 2, 0, 0, 2, 1);
    ASSERT_EQ(split_report_row(trailing_row, 2, &id, tokens), nullptr);
    EXPECT_EQ(id, trailing);
    // Exactly 20 characters, then a mean wider than its column.
    const std::string twenty = "abcdefghijklmnopqrst";
    const std::string wide_row = row2(twenty.c_str(), 123456789.0, 2, 0, 0, 2, 1);
    ASSERT_EQ(split_report_row(wide_row, 2, &id, tokens), nullptr);
    EXPECT_EQ(id, twenty);
    EXPECT_EQ(tokens[0], "123456789.0");
}

TEST(ReportRow, RefusesRowsThatAreNotLaidOutAsReports)
{
    std::string_view id, tokens[7];
    EXPECT_NE(split_report_row("gene1 1 2 3", 2, &id, tokens), nullptr);
    EXPECT_NE(split_report_row("", 2, &id, tokens), nullptr);
    // The values of a two-condition row are too few for three conditions.
    std::string_view many[15];
    const std::string two = row2("gene1", 1, 2, 0, 0, 2, 1);
    EXPECT_NE(split_report_row(two, 3, &id, many), nullptr);
    // Tab-separated values are not the report's layout.
    EXPECT_NE(split_report_row("gene1\t1.0\t2.0\t0.0\t0.0\t2.00\t1.00\t1.00000", 2, &id, tokens),
              nullptr);
    // An id column cut below 20 characters.
    std::string cut = row2("g", 1, 2, 0, 0, 2, 1);
    cut.erase(1, 5);
    EXPECT_NE(split_report_row(cut, 2, &id, tokens), nullptr);
}

TEST(ReadReport, ChecksValuesAndKeepsTheirText)
{
    int status;
    const std::string text = header(2) + "\n" + row2("inf_up", 0, 0.3, 0, 1.4, INFINITY, 0.59901) +
                             "\n" + row2("zero", 0, 0, 0, 0, -1, 1) + "\r\n" +
                             row2("down", 5, 0, 0.2, 0, 0, 0.1) + "\n";
    const report r = read_text(text, &status);
    ASSERT_EQ(status, 0);
    ASSERT_EQ(r.rows, 3u);
    EXPECT_EQ(r.columns, 7u);
    EXPECT_EQ(r.ids[1], "zero");
    EXPECT_EQ(r.texts[fc_column(2, 0)], "inf");
    EXPECT_TRUE(std::isinf(r.values[log2fc_column(2, 0)]));
    EXPECT_EQ(r.texts[r.columns + fc_column(2, 0)], "*");
    EXPECT_TRUE(std::isnan(r.values[r.columns + fc_column(2, 0)]));
    EXPECT_EQ(r.texts[r.columns + pvalue_column(2, 0)], "1.00000");
    EXPECT_EQ(r.texts[2 * r.columns + log2fc_column(2, 0)], "-inf");
}

TEST(ReadReport, RefusesWhatIsNotAReport)
{
    int status;
    read_text("", &status);
    EXPECT_EQ(status, 65);
    read_text("target_id\ta\tb\ng1\t1\t2\n", &status);
    EXPECT_EQ(status, 65);
    read_text(header(2) + "\n" + row2("g", 1, 2, 0, 0, 2, 1).substr(0, 40) + "\n", &status);
    EXPECT_EQ(status, 65);
    std::string word = row2("g", 1, 2, 0, 0, 2, 0.5);
    word.replace(word.size() - 7, 7, "0.5abcd");
    read_text(header(2) + "\n" + word + "\n", &status);
    EXPECT_EQ(status, 65);
    // A P-value above 1.
    read_text(header(2) + "\n" + row2("g", 1, 2, 0, 0, 2, 1.5) + "\n", &status);
    EXPECT_EQ(status, 65);
    // "*" in one fold change column only.
    std::string half = row2("g", 1, 2, 0, 0, 2, 1);
    half.replace(half.find("2.00"), 4, "   *");
    read_text(header(2) + "\n" + half + "\n", &status);
    EXPECT_EQ(status, 65);
    // A header alone is a report of no features.
    const report empty = read_text(header(3) + "\n", &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(empty.rows, 0u);
    EXPECT_EQ(empty.pairs, 3u);
}

TEST(Pairs, IndexAndMembersFollowTheReportOrder)
{
    // 1-2, 1-3, 1-4, 2-3, 2-4, 3-4
    const int expect[6][2] = {{0, 1}, {0, 2}, {0, 3}, {1, 2}, {1, 3}, {2, 3}};
    for (size_t k = 0; k < 6; ++k) {
        int a, b;
        pair_members(4, k, &a, &b);
        EXPECT_EQ(a, expect[k][0]);
        EXPECT_EQ(b, expect[k][1]);
        EXPECT_EQ(pair_index(4, a, b), k);
    }
}

std::vector<double> bh(std::vector<double> p)
{
    std::vector<double> out(p.size());
    bh_adjust(p.data(), p.size(), out.data());
    return out;
}

TEST(BenjaminiHochberg, MatchesHandComputedAdjustments)
{
    // Ranks 1..4 of 0.005 0.01 0.03 0.04: 0.02 0.02 0.04 0.04.
    std::vector<double> a = bh({0.01, 0.04, 0.03, 0.005});
    EXPECT_DOUBLE_EQ(a[0], 0.02);
    EXPECT_DOUBLE_EQ(a[1], 0.04);
    EXPECT_DOUBLE_EQ(a[2], 0.04);
    EXPECT_DOUBLE_EQ(a[3], 0.02);
    // Monotone: 0.02 * 2 / 1 = 0.04 is lowered to the next rank's 0.03.
    a = bh({0.02, 0.03});
    EXPECT_DOUBLE_EQ(a[0], 0.03);
    EXPECT_DOUBLE_EQ(a[1], 0.03);
    // Capped at 1.
    a = bh({0.9, 0.8, 1.0});
    EXPECT_EQ(a[0], 1.0);
    EXPECT_EQ(a[1], 1.0);
    EXPECT_EQ(a[2], 1.0);
    // Ties share the smaller value: 0.01 * 3 / 2.
    a = bh({0.01, 0.04, 0.01});
    EXPECT_DOUBLE_EQ(a[0], 0.015);
    EXPECT_DOUBLE_EQ(a[1], 0.04);
    EXPECT_DOUBLE_EQ(a[2], 0.015);
    // NaN is not counted in m and stays NaN.
    a = bh({NAN, 0.01, 0.02, NAN});
    EXPECT_TRUE(std::isnan(a[0]));
    EXPECT_DOUBLE_EQ(a[1], 0.02);
    EXPECT_DOUBLE_EQ(a[2], 0.02);
    EXPECT_TRUE(std::isnan(a[3]));
    // Zero stays zero; the rest as usual: 0.05 * 3 / 3.
    a = bh({0.0, 0.05, 0.02});
    EXPECT_EQ(a[0], 0.0);
    EXPECT_DOUBLE_EQ(a[1], 0.05);
    EXPECT_DOUBLE_EQ(a[2], 0.03);
    EXPECT_TRUE(bh({}).empty());
}

TEST(BenjaminiHochberg, IsMonotoneInThePValues)
{
    std::vector<double> p;
    for (int i = 0; i < 200; ++i)
        p.push_back(std::fmod(i * 0.6180339887, 1.0) * std::fmod(i * 0.137, 1.0));
    const std::vector<double> a = bh(p);
    for (size_t i = 0; i < p.size(); ++i)
        for (size_t j = 0; j < p.size(); ++j) {
            if (p[i] < p[j]) {
                ASSERT_LE(a[i], a[j]) << i << " " << j;
            }
        }
    for (size_t i = 0; i < p.size(); ++i) {
        EXPECT_GE(a[i], p[i]);
        EXPECT_LE(a[i], 1.0);
    }
}

TEST(Values, AreWrittenAsRReadsThem)
{
    EXPECT_EQ(shortest_number(0.03), "0.03");
    EXPECT_EQ(shortest_number(1.0), "1");
    EXPECT_EQ(shortest_number(0.1 + 0.2), "0.30000000000000004");
    EXPECT_EQ(shortest_number(1.0 / 3.0), "0.3333333333333333");
    EXPECT_EQ(shortest_number(NAN), "NA");
    EXPECT_EQ(shortest_number(1e-300), "1e-300");
    // Whole numbers and small decimals without an exponent, as R writes them.
    EXPECT_EQ(shortest_number(20.0), "20");
    EXPECT_EQ(shortest_number(123456791.0), "123456791");
    EXPECT_EQ(shortest_number(0.011), "0.011");
    EXPECT_EQ(shortest_number(-2.5e-5), "-0.000025");
    EXPECT_EQ(shortest_number(1e-7), "1e-07");
    EXPECT_EQ(shortest_number(1e20), "1e+20");
    // Every value reads back exactly, across magnitudes, near powers of ten
    // and at powers of two (whose shortest text need not be the correctly
    // rounded one), and is the text of the plain search from one digit up.
    uint64_t state = 12345;
    for (int k = 0; k < 20000; ++k) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        const double v = std::ldexp(static_cast<double>(state >> 11), -53) *
                         std::pow(10.0, static_cast<int>(state % 44) - 22);
        for (double x : {v, std::nextafter(std::pow(10.0, k % 30 - 10), 0.0),
                         std::ldexp(1.0, k % 2098 - 1074), -std::ldexp(1.0, k % 200 - 100)}) {
            ASSERT_EQ(std::strtod(shortest_number(x).c_str(), nullptr), x) << shortest_number(x);
            ASSERT_EQ(shortest_number(x), shortest_number_plain(x)) << x;
        }
    }
}

TEST(Names, ComeFromTablePathsOrLists)
{
    EXPECT_EQ(name_from_table_path("out/untreated.tsv"), "untreated");
    EXPECT_EQ(name_from_table_path("/a/b/treated.tsv.gz"), "treated");
    EXPECT_EQ(name_from_table_path("x.txt.xz"), "x");
    EXPECT_EQ(name_from_table_path("heat.tab.bz2"), "heat");
    EXPECT_EQ(name_from_table_path("drug.csv"), "drug.csv");
    EXPECT_EQ(name_from_table_path("a.tsv.tsv"), "a.tsv");
    EXPECT_EQ(name_from_table_path(".tsv"), ".tsv");

    std::vector<std::string> names;
    name_options o;
    ASSERT_EQ(settle_names("t", o, 3, &names), 0);
    EXPECT_EQ(names, (std::vector<std::string>{"c1", "c2", "c3"}));
    ASSERT_TRUE(cli_add_list_items("--names", "ctl,drug", &o.names));
    EXPECT_EQ(settle_names("t", o, 2, &names), 0);
    EXPECT_EQ(names[1], "drug");
    EXPECT_EQ(settle_names("t", o, 3, &names), 64);
    o.tables = {"a.tsv", "b.tsv"};
    EXPECT_EQ(settle_names("t", o, 2, &names), 64);
    o.names.clear();
    o.tables = {"x/a.tsv", "y/a.tsv.gz"};
    EXPECT_EQ(settle_names("t", o, 2, &names), 64);
    o.tables = {"a\"b.tsv", "c.tsv"};
    EXPECT_EQ(settle_names("t", o, 2, &names), 64);
    std::vector<std::string> items;
    EXPECT_FALSE(cli_add_list_items("--names", "a,,b", &items));
    EXPECT_FALSE(cli_add_list_items("--names", "a,", &items));
}

TEST(Names, FindPairsByNumbersOrNames)
{
    const std::vector<std::string> names = {"ctl", "heat", "drug"};
    EXPECT_EQ(find_pair("t", "--sort", "1-2", names), 0);
    EXPECT_EQ(find_pair("t", "--sort", "1-3", names), 1);
    EXPECT_EQ(find_pair("t", "--sort", "2-3", names), 2);
    EXPECT_EQ(find_pair("t", "--sort", "drug_vs_heat", names), 2);
    EXPECT_EQ(find_pair("t", "--sort", "heat_vs_ctl", names), 0);
    // Either way round names the pair; reversed says which.
    bool reversed = false;
    EXPECT_EQ(find_pair("t", "--pair", "2-1", names, &reversed), 0);
    EXPECT_TRUE(reversed);
    EXPECT_EQ(find_pair("t", "--pair", "ctl_vs_drug", names, &reversed), 1);
    EXPECT_TRUE(reversed);
    EXPECT_EQ(find_pair("t", "--pair", "drug_vs_ctl", names, &reversed), 1);
    EXPECT_FALSE(reversed);
    EXPECT_EQ(find_pair("t", "--sort", "1-4", names), -1);
    EXPECT_EQ(find_pair("t", "--sort", "2-2", names), -1);
    EXPECT_EQ(find_pair("t", "--sort", "ctl_vs_ctl", names), -1);
    EXPECT_EQ(find_pair("t", "--sort", "1-2x", names), -1);
    EXPECT_EQ(find_pair("t", "--sort", "", names), -1);
}

}  // namespace
