#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "vp_dsv.h"

namespace {

// A read stream over a copy of bytes (NUL bytes included).
class memory_stream {
public:
    explicit memory_stream(std::string bytes) : bytes_(std::move(bytes) + '\0')
    {
        // The extra byte gives an empty stream a buffer; it is not readable.
        f_ = fmemopen(bytes_.data(), bytes_.size() - 1, "r");
    }
    ~memory_stream()
    {
        if (f_)
            std::fclose(f_);
    }
    FILE *get() const { return f_; }

private:
    std::string bytes_;
    FILE *f_;
};

class line_reader {
public:
    line_reader() : line_(vp_dsv_line_new()) {}
    ~line_reader() { vp_dsv_line_free(line_); }
    int read(FILE *f, const char *delims = "\t") { return vp_dsv_line_read(line_, f, delims); }
    std::vector<std::string> fields() const
    {
        std::vector<std::string> v;
        for (uint64_t i = 0; i < vp_dsv_line_get_num_fields(line_); ++i)
            v.emplace_back(vp_dsv_line_get_fields_ae(line_, i));
        return v;
    }
    vp_dsv_line *get() const { return line_; }

private:
    vp_dsv_line *line_;
};

using fields = std::vector<std::string>;

TEST(DsvLine, SplitsAtEveryDelimiter)
{
    memory_stream s("a\tb\t\tc\n"
                    "\n"
                    "\t\n"
                    "single\n"
                    "x\t\n"
                    "\ty\n"
                    "target_id\tlen\n");
    ASSERT_NE(s.get(), nullptr);
    line_reader r;
    const fields want[] = {{"a", "b", "", "c"}, {""}, {"", ""}, {"single"}, {"x", ""}, {"", "y"},
                           {"target_id", "len"}};
    for (const fields &w : want) {
        ASSERT_EQ(r.read(s.get()), '\n');
        EXPECT_EQ(r.fields(), w);
        EXPECT_EQ(vp_dsv_line_get_num_fields(r.get()), w.size());
    }
    EXPECT_EQ(r.read(s.get()), EOF);
}

TEST(DsvLine, SplitsAtAnyOfSeveralDelimiters)
{
    memory_stream s("a,b;c\td\n");
    line_reader r;
    ASSERT_EQ(r.read(s.get(), ",;"), '\n');
    EXPECT_EQ(r.fields(), (fields{"a", "b", "c\td"}));
}

TEST(DsvLine, LastLineWithoutNewlineIsWhole)
{
    memory_stream s("id\t1\nlast\t2.5");
    line_reader r;
    ASSERT_EQ(r.read(s.get()), '\n');
    EXPECT_EQ(r.fields(), (fields{"id", "1"}));
    ASSERT_EQ(r.read(s.get()), '\n');
    EXPECT_EQ(r.fields(), (fields{"last", "2.5"}));
    EXPECT_EQ(r.read(s.get()), EOF);
    EXPECT_EQ(r.read(s.get()), EOF);
}

TEST(DsvLine, EmptyStreamIsEof)
{
    memory_stream s("");
    ASSERT_NE(s.get(), nullptr);
    line_reader r;
    EXPECT_EQ(r.read(s.get()), EOF);
    EXPECT_FALSE(std::ferror(s.get()));
}

TEST(DsvLine, CrLfLineEndsReadLikeLf)
{
    // CR LF rows, a mixed file, a CR LF header, a blank CR LF line and a
    // last line that ends in a lone CR.
    memory_stream s("target_id\r\n"
                    "a\tb\r\n"
                    "c\t1\n"
                    "\r\n"
                    "d\t\r\n"
                    "last\t2\r");
    line_reader r;
    const fields want[] = {{"target_id"}, {"a", "b"}, {"c", "1"}, {""}, {"d", ""}, {"last", "2"}};
    for (const fields &w : want) {
        ASSERT_EQ(r.read(s.get()), '\n');
        EXPECT_EQ(r.fields(), w);
    }
    EXPECT_EQ(r.read(s.get()), EOF);
}

TEST(DsvLine, OtherCarriageReturnsStayInTheirField)
{
    // Only the one CR at the line end goes: one inside a field, at the end of
    // a field before a tab, a second one before CR LF, and a CR alone on a
    // line that ends with LF after it are all kept.
    memory_stream s("a\rb\tc\r\n"
                    "x\r\ty\n"
                    "two\r\r\n"
                    "\r\r");
    line_reader r;
    const fields want[] = {{"a\rb", "c"}, {"x\r", "y"}, {"two\r"}, {"\r"}};
    for (const fields &w : want) {
        ASSERT_EQ(r.read(s.get()), '\n');
        EXPECT_EQ(r.fields(), w);
    }
    EXPECT_EQ(r.read(s.get()), EOF);
}

TEST(DsvLine, NulByteRejectsTheLineAndKeepsAlignment)
{
    memory_stream s(std::string("ok\t1\nbad\0cut\tx\nnext\t2\ntail\0", 27));
    line_reader r;
    ASSERT_EQ(r.read(s.get()), '\n');
    EXPECT_EQ(r.fields(), (fields{"ok", "1"}));
    EXPECT_EQ(r.read(s.get()), VP_DSV_NUL_BYTE);
    ASSERT_EQ(r.read(s.get()), '\n');
    EXPECT_EQ(r.fields(), (fields{"next", "2"}));
    EXPECT_EQ(r.read(s.get()), VP_DSV_NUL_BYTE);
    EXPECT_EQ(r.read(s.get()), EOF);
}

TEST(DsvLine, VeryLongLinesAndManyFields)
{
    // 10 MB in 10,000 fields of 1,000 bytes each, then short lines that must
    // not see anything left over from it.
    std::string big;
    std::vector<std::string> want;
    for (int i = 0; i < 10000; ++i) {
        std::string f(999, static_cast<char>('a' + i % 26));
        f += static_cast<char>('0' + i % 10);
        want.push_back(f);
        big += f;
        big += i + 1 < 10000 ? '\t' : '\n';
    }
    std::string many;
    for (int i = 0; i < 100000; ++i)
        many += std::to_string(i) + (i + 1 < 100000 ? "\t" : "\n");
    memory_stream s(big + "short\t1\n" + many + "x");
    line_reader r;

    ASSERT_EQ(r.read(s.get()), '\n');
    ASSERT_EQ(vp_dsv_line_get_num_fields(r.get()), want.size());
    EXPECT_TRUE(r.fields() == want);

    ASSERT_EQ(r.read(s.get()), '\n');
    EXPECT_EQ(r.fields(), (fields{"short", "1"}));

    ASSERT_EQ(r.read(s.get()), '\n');
    ASSERT_EQ(vp_dsv_line_get_num_fields(r.get()), 100000u);
    EXPECT_STREQ(vp_dsv_line_get_fields_ae(r.get(), 0), "0");
    EXPECT_STREQ(vp_dsv_line_get_fields_ae(r.get(), 54321), "54321");
    EXPECT_STREQ(vp_dsv_line_get_fields_ae(r.get(), 99999), "99999");

    ASSERT_EQ(r.read(s.get()), '\n');
    EXPECT_EQ(r.fields(), (fields{"x"}));
    EXPECT_EQ(r.read(s.get()), EOF);
}

// A stream that delivers some bytes and then fails.
struct failing_source {
    std::string head;
    size_t pos = 0;
};

ssize_t failing_read(void *cookie, char *buf, size_t size)
{
    auto *src = static_cast<failing_source *>(cookie);
    if (src->pos == src->head.size()) {
        errno = EIO;
        return -1;
    }
    size_t n = std::min(size, src->head.size() - src->pos);
    std::memcpy(buf, src->head.data() + src->pos, n);
    src->pos += n;
    return static_cast<ssize_t>(n);
}

FILE *failing_stream(failing_source *src)
{
    cookie_io_functions_t io{};
    io.read = failing_read;
    return fopencookie(src, "r", io);
}

TEST(DsvLine, ReadErrorIsNeitherLineNorEof)
{
    for (const char *head : {"", "partial\tli", "whole\tline\n"}) {
        SCOPED_TRACE(head);
        failing_source src{head};
        FILE *f = failing_stream(&src);
        ASSERT_NE(f, nullptr);
        line_reader r;
        int got = r.read(f);
        if (std::strchr(head, '\n')) {
            // The whole line arrives before the failure, which then surfaces
            // on the next read.
            EXPECT_EQ(got, '\n');
            EXPECT_EQ(r.fields(), (fields{"whole", "line"}));
            got = r.read(f);
        }
        EXPECT_EQ(got, VP_DSV_READ_ERROR);
        EXPECT_TRUE(std::ferror(f));
        std::fclose(f);
    }
}

TEST(DsvLine, SkipRestOfLineConsumesNothing)
{
    memory_stream s("target_id\tA\nf1\t3\n");
    line_reader r;
    ASSERT_EQ(r.read(s.get()), '\n');
    EXPECT_EQ(vp_dsv_skip_rest_of_line(s.get()), 0);
    ASSERT_EQ(r.read(s.get()), '\n');
    EXPECT_EQ(r.fields(), (fields{"f1", "3"}));
}

}  // namespace
