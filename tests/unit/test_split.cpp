#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "split/split.h"

namespace {

using fields = std::vector<std::string>;

fields split(std::string_view line, char sep, const char **why = nullptr)
{
    fields f;
    const char *fault = split_fields(line, sep, &f);
    if (why != nullptr)
        *why = fault;
    else
        EXPECT_EQ(fault, nullptr) << line;
    return f;
}

TEST(SplitFields, HonoursQuotesAsCsvWritersUseThem)
{
    EXPECT_EQ(split("a,b,c", ','), (fields{"a", "b", "c"}));
    EXPECT_EQ(split("a,,c,", ','), (fields{"a", "", "c", ""}));
    EXPECT_EQ(split("", ','), (fields{""}));
    EXPECT_EQ(split("\"a,b\",c", ','), (fields{"a,b", "c"}));
    EXPECT_EQ(split("\"say \"\"hi\"\"\",x", ','), (fields{"say \"hi\"", "x"}));
    EXPECT_EQ(split("\"\",\"\"", ','), (fields{"", ""}));
    // R's write.table quotes with tabs too.
    EXPECT_EQ(split("\"g1\"\t5\t\"a\tb\"", '\t'), (fields{"g1", "5", "a\tb"}));
    // A quote inside an unquoted field is kept.
    EXPECT_EQ(split("5\"x,y", ','), (fields{"5\"x", "y"}));
    // The other separator is ordinary text.
    EXPECT_EQ(split("a,b\tc", '\t'), (fields{"a,b", "c"}));

    const char *why;
    split("\"open,field", ',', &why);
    EXPECT_NE(why, nullptr);
    split("\"closed\"junk,x", ',', &why);
    EXPECT_NE(why, nullptr);
    split("a,\"b", ',', &why);
    EXPECT_NE(why, nullptr);
}

TEST(SplitFields, SeparatorIsFoundOutsideQuotes)
{
    EXPECT_EQ(detect_separator("gene_id\ta\tb"), '\t');
    EXPECT_EQ(detect_separator("gene_id,a,b"), ',');
    EXPECT_EQ(detect_separator("\"x\ty\",a,b"), ',');
    EXPECT_EQ(detect_separator("\"a,b\"\tc"), '\t');
    EXPECT_EQ(detect_separator("alone"), '\t');
}

TEST(Counts, AcceptDecimalNotationThatMirdleReadsAsTheSameValue)
{
    for (const char *good : {"0", "12", "3.5", ".5", "5.", "1e3", "1E+3", "2.5e-3", "+7", "-0",
                             "-0.0", "000012", "3.4e38"})
        EXPECT_EQ(check_count(good), count_ok) << good;
    for (const char *word : {"", "NA", "abc", "1,5", "0x10", "inf", "nan", "1e", "e3", ".",
                             "1.2.3", "12a", "--1", "+", "1 2"})
        EXPECT_EQ(check_count(word), count_not_number) << word;
    for (const char *negative : {"-1", "-0.5", "-1e-50", "-1e40"})
        EXPECT_EQ(check_count(negative), count_negative) << negative;
    // Overflow, or a positive count that single precision reads as 0.
    for (const char *range : {"1e39", "1e-50", "3.5e38"})
        EXPECT_EQ(check_count(range), count_out_of_range) << range;
    EXPECT_EQ(trim_blanks("  12 \t"), "12");
    EXPECT_EQ(trim_blanks(" "), "");
}

TEST(Names, ConditionsMustBeFileNamesAndWordsSurviveTheShell)
{
    EXPECT_EQ(condition_name_fault("treated"), nullptr);
    EXPECT_EQ(condition_name_fault("heat shock"), nullptr);
    EXPECT_EQ(condition_name_fault(".hidden"), nullptr);
    for (const char *bad : {"", ".", "..", "a/b", "/", "a\tb", "a\rb"})
        EXPECT_NE(condition_name_fault(bad), nullptr) << bad;

    EXPECT_EQ(shell_word("out/treated.tsv"), "out/treated.tsv");
    EXPECT_EQ(shell_word("out/heat shock.tsv"), "'out/heat shock.tsv'");
    EXPECT_EQ(shell_word("it's"), "'it'\\''s'");
    EXPECT_EQ(shell_word("$HOME"), "'$HOME'");
    EXPECT_EQ(shell_word("-x/a.tsv"), "./-x/a.tsv");
    EXPECT_EQ(shell_word(""), "''");
    EXPECT_EQ(table_path("out", "a"), "out/a.tsv");
    EXPECT_EQ(table_path("out/", "a"), "out/a.tsv");
}

class SplitRun : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char *tmp = std::getenv("DRANVEL_TEST_TMP");
        dir_ = std::string(tmp ? tmp : "/tmp") + "/split_unit";
        std::string command = "rm -rf '" + dir_ + "' && mkdir -p '" + dir_ + "'";
        ASSERT_EQ(std::system(command.c_str()), 0);
    }
    std::string write(const char *name, const std::string &text)
    {
        const std::string path = dir_ + "/" + name;
        std::ofstream(path) << text;
        return path;
    }
    std::string read(const std::string &path)
    {
        std::ifstream in(path);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::string dir_;
};

int halve(sample_column *column, size_t features, void *context)
{
    ++*static_cast<int *>(context);
    for (size_t f = 0; f < features; ++f)
        column->values[f] /= 2;
    column->rewritten = true;
    return 0;
}

int refuse(sample_column *column, size_t, void *)
{
    return column->sample == "t1" ? 65 : 0;
}

TEST_F(SplitRun, SampleStepRewritesValuesBeforeTablesAreWritten)
{
    split_request q;
    const std::string matrix = write("m.tsv", "id\tu1\tt1\tu2\ng1\t10\t3\t0007\ng2\t1e1\t0\t5\n");
    const std::string sheet = write("s.tsv", "sample\tcondition\nu1\tu\nu2\tu\nt1\tt\n");
    const std::string out = dir_ + "/out";
    q.matrix_path = matrix.c_str();
    q.sheet_path = sheet.c_str();
    q.dir = out.c_str();

    // Without a step the text of each count is kept as written.
    ASSERT_EQ(split_matrix(q), 0);
    EXPECT_EQ(read(out + "/u.tsv"), "target_id\tu1\tu2\ng1\t10\t0007\ng2\t1e1\t5\n");

    int calls = 0;
    q.step = halve;
    q.step_context = &calls;
    ASSERT_EQ(split_matrix(q), 0);
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(read(out + "/u.tsv"), "target_id\tu1\tu2\ng1\t5\t3.5\ng2\t5\t2.5\n");
    EXPECT_EQ(read(out + "/t.tsv"), "target_id\tt1\ng1\t1.5\ng2\t0\n");

    // A failing step leaves no new tables.
    const std::string fresh = dir_ + "/fresh";
    q.dir = fresh.c_str();
    q.step = refuse;
    EXPECT_EQ(split_matrix(q), 65);
    struct stat st;
    EXPECT_NE(stat((fresh + "/u.tsv").c_str(), &st), 0);
}

}  // namespace
