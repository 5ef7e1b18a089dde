#include <gtest/gtest.h>

#include <bzlib.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <lzma.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
#include <zlib.h>

#include "vp_dsv.h"
#include "vp_stream.h"

namespace {

// Every file of this test binary goes into one private directory, removed
// when the tests end.
std::string made_dir;

int remove_entry(const char *path, const struct stat *, int, struct FTW *)
{
    return remove(path);
}

class scratch_cleanup : public ::testing::Environment {
public:
    void TearDown() override
    {
        if (!made_dir.empty())
            nftw(made_dir.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
    }
};

const auto *cleanup_registered = ::testing::AddGlobalTestEnvironment(new scratch_cleanup);

std::string scratch_dir()
{
    if (made_dir.empty()) {
        const char *env = std::getenv("DRANVEL_TEST_TMP");
        std::string base = env && *env ? env : "/tmp";
        for (size_t i = 1; i <= base.size(); ++i)
            if (i == base.size() || base[i] == '/')
                mkdir(base.substr(0, i).c_str(), 0777);
        std::string pattern = base + "/stream_XXXXXX";
        std::vector<char> tmpl(pattern.begin(), pattern.end());
        tmpl.push_back('\0');
        if (!mkdtemp(tmpl.data()))
            ADD_FAILURE() << "cannot make a scratch directory under " << base;
        made_dir = tmpl.data();
    }
    return made_dir;
}

std::string path_for(const std::string &name)
{
    return scratch_dir() + "/" + name;
}

void write_file(const std::string &path, const std::string &bytes)
{
    FILE *f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    ASSERT_EQ(std::fclose(f), 0);
}

// Tab-separated rows with numbers that do not repeat, so the compressed form
// is long and its middle is entropy-coded data rather than headers.
std::string table_text(size_t rows, uint32_t seed)
{
    std::string s;
    uint32_t x = seed;
    char buf[96];
    for (size_t i = 0; i < rows; ++i) {
        x = x * 1664525u + 1013904223u;
        uint32_t a = x >> 8;
        x = x * 1664525u + 1013904223u;
        std::snprintf(buf, sizeof buf, "ENST%08zu\t%u\t%u.%u\n", i, a % 100000, x >> 12, x & 0xff);
        s += buf;
    }
    return s;
}

std::string gzip_member(const std::string &data)
{
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::string out(deflateBound(&z, data.size()) + 32, '\0');
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef *>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

std::string bzip2_stream(const std::string &data)
{
    unsigned len = static_cast<unsigned>(data.size() + data.size() / 100 + 600);
    std::string out(len, '\0');
    EXPECT_EQ(BZ2_bzBuffToBuffCompress(out.data(), &len, const_cast<char *>(data.data()),
                                       static_cast<unsigned>(data.size()), 1, 0, 0),
              BZ_OK);
    out.resize(len);
    return out;
}

std::string xz_stream(const std::string &data)
{
    std::string out(lzma_stream_buffer_bound(data.size()), '\0');
    size_t pos = 0;
    EXPECT_EQ(lzma_easy_buffer_encode(1, LZMA_CHECK_CRC64, nullptr,
                                      reinterpret_cast<const uint8_t *>(data.data()), data.size(),
                                      reinterpret_cast<uint8_t *>(out.data()), &pos, out.size()),
              LZMA_OK);
    out.resize(pos);
    return out;
}

struct read_result {
    std::string bytes;
    bool error;
    bool eof;
};

read_result read_all(FILE *f)
{
    read_result r;
    int c;
    while ((c = getc(f)) != EOF)
        r.bytes += static_cast<char>(c);
    r.error = std::ferror(f) != 0;
    r.eof = std::feof(f) != 0;
    return r;
}

std::string read_n(FILE *f, size_t n)
{
    std::string s;
    int c;
    while (s.size() < n && (c = getc(f)) != EOF)
        s += static_cast<char>(c);
    return s;
}

// The last result of reading every line: VP_DSV_READ_ERROR or EOF (lines with
// a NUL byte, which garbage may contain, are passed over).
int last_line_result(FILE *f, size_t *lines)
{
    vp_dsv_line *line = vp_dsv_line_new();
    int r;
    *lines = 0;
    while ((r = vp_dsv_line_read(line, f, "\t")) == '\n' || r == VP_DSV_NUL_BYTE)
        ++*lines;
    vp_dsv_line_free(line);
    return r;
}

struct codec {
    const char *name;
    const char *ext;
    std::string (*compress)(const std::string &);
};

void PrintTo(const codec &c, std::ostream *os)
{
    *os << c.name;
}

class CompressedStream : public ::testing::TestWithParam<codec> {
protected:
    std::string compress(const std::string &s) const { return GetParam().compress(s); }
    std::string file(const std::string &stem) const
    {
        return path_for(stem + "_" + GetParam().name + GetParam().ext);
    }
};

TEST_P(CompressedStream, ReadsWholeFileAndEndsCleanly)
{
    // Larger than the input buffer in compressed form, so refills happen.
    std::string text = table_text(60000, 1);
    std::string path = file("whole");
    std::string packed = compress(text);
    ASSERT_GT(packed.size(), 2u * 64 * 1024);
    write_file(path, packed);

    FILE *f = vp_fopen(path.c_str(), "r");
    ASSERT_NE(f, nullptr) << std::strerror(errno);
    EXPECT_EQ(fileno(f), -1);
    read_result r = read_all(f);
    EXPECT_FALSE(r.error);
    EXPECT_TRUE(r.eof);
    EXPECT_TRUE(r.bytes == text) << "got " << r.bytes.size() << " of " << text.size() << " bytes";
    EXPECT_EQ(getc(f), EOF);
    EXPECT_FALSE(std::ferror(f));
    EXPECT_EQ(vp_fclose(f), 0);
}

TEST_P(CompressedStream, ConcatenatedMembersAreAllRead)
{
    std::string a = table_text(10, 2), b = table_text(50000, 3), c = table_text(1, 4);
    std::string path = file("members");
    write_file(path, compress(a) + compress("") + compress(b) + compress(c));

    FILE *f = vp_fopen(path.c_str(), "r");
    ASSERT_NE(f, nullptr) << std::strerror(errno);
    read_result r = read_all(f);
    EXPECT_FALSE(r.error);
    EXPECT_TRUE(r.bytes == a + b + c) << "got " << r.bytes.size() << " bytes";
    vp_fclose(f);
}

TEST_P(CompressedStream, RewindRestartsFromFirstByte)
{
    std::string a = table_text(30000, 5), b = table_text(20, 6);
    std::string text = a + b;
    std::string path = file("rewind");
    write_file(path, compress(a) + compress(b));

    FILE *f = vp_fopen(path.c_str(), "r");
    ASSERT_NE(f, nullptr) << std::strerror(errno);

    // Within the first buffer, then well past it, then at the very end.
    for (size_t n : {size_t{7}, size_t{200000}, text.size()}) {
        EXPECT_TRUE(read_n(f, n) == text.substr(0, n)) << "first " << n << " bytes";
        rewind(f);
        EXPECT_FALSE(std::feof(f));
        EXPECT_EQ(getc(f), static_cast<unsigned char>(text[0]));
        rewind(f);
    }
    read_result r = read_all(f);
    EXPECT_TRUE(r.eof);
    rewind(f);
    r = read_all(f);
    EXPECT_FALSE(r.error);
    EXPECT_TRUE(r.bytes == text);

    // fseek to the start is the same request as rewind.
    EXPECT_EQ(std::fseek(f, 0, SEEK_SET), 0);
    EXPECT_EQ(read_n(f, 20), text.substr(0, 20));
    vp_fclose(f);
}

TEST_P(CompressedStream, OtherSeeksFail)
{
    std::string text = table_text(100, 7);
    std::string path = file("seek");
    write_file(path, compress(text));
    FILE *f = vp_fopen(path.c_str(), "r");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(read_n(f, 5), text.substr(0, 5));
    EXPECT_NE(std::fseek(f, 1000000, SEEK_SET), 0);
    EXPECT_NE(std::fseek(f, 0, SEEK_END), 0);
    EXPECT_NE(std::fseek(f, 3, SEEK_CUR), 0);
    // stdio serves a short absolute seek by going back to the start and
    // reading forward; if it succeeds, it must land on the right byte.
    if (std::fseek(f, 100, SEEK_SET) == 0) {
        EXPECT_EQ(getc(f), static_cast<unsigned char>(text[100]));
    }
    rewind(f);
    EXPECT_EQ(read_n(f, 5), text.substr(0, 5));
    vp_fclose(f);
}

TEST_P(CompressedStream, TruncatedFileIsAReadError)
{
    std::string text = table_text(3000, 8);
    std::string whole = compress(text);
    std::string path = file("cut");
    size_t n = whole.size();
    for (size_t cut : {size_t{0}, size_t{1}, size_t{10}, n / 3, n / 2, n - 5, n - 1}) {
        SCOPED_TRACE("cut at " + std::to_string(cut) + " of " + std::to_string(n));
        write_file(path, whole.substr(0, cut));

        FILE *f = vp_fopen(path.c_str(), "r");
        ASSERT_NE(f, nullptr);
        read_result r = read_all(f);
        EXPECT_TRUE(r.error);
        // What arrives before the error is the true beginning of the data.
        EXPECT_TRUE(r.bytes == text.substr(0, r.bytes.size()));
        vp_fclose(f);

        f = vp_fopen(path.c_str(), "r");
        ASSERT_NE(f, nullptr);
        size_t lines;
        EXPECT_EQ(last_line_result(f, &lines), VP_DSV_READ_ERROR);
        vp_fclose(f);
    }

    // Cut inside the second member: the first is read, then the error.
    std::string a = table_text(100, 9);
    std::string two = compress(a) + whole;
    write_file(path, two.substr(0, two.size() - whole.size() / 2));
    FILE *f = vp_fopen(path.c_str(), "r");
    ASSERT_NE(f, nullptr);
    read_result r = read_all(f);
    EXPECT_TRUE(r.error);
    EXPECT_GE(r.bytes.size(), a.size());
    EXPECT_TRUE(r.bytes == (a + text).substr(0, r.bytes.size()));
    vp_fclose(f);
}

TEST_P(CompressedStream, CorruptFileIsAReadError)
{
    std::string text = table_text(3000, 10);
    std::string whole = compress(text);
    std::string path = file("flip");
    size_t n = whole.size();
    for (size_t at : {n / 4, n / 2, 3 * n / 4, n - 2}) {
        SCOPED_TRACE("bit flip at " + std::to_string(at) + " of " + std::to_string(n));
        std::string bad = whole;
        bad[at] = static_cast<char>(bad[at] ^ 0x10);
        write_file(path, bad);

        FILE *f = vp_fopen(path.c_str(), "r");
        ASSERT_NE(f, nullptr);
        read_result r = read_all(f);
        EXPECT_TRUE(r.error);
        vp_fclose(f);

        f = vp_fopen(path.c_str(), "r");
        ASSERT_NE(f, nullptr);
        size_t lines;
        EXPECT_EQ(last_line_result(f, &lines), VP_DSV_READ_ERROR);
        vp_fclose(f);
    }
}

TEST_P(CompressedStream, TrailingGarbageIsAReadError)
{
    std::string text = table_text(200, 11);
    std::string path = file("garbage");
    // Seven zero bytes: xz allows padding in whole four-byte units only.
    for (const std::string &tail : {std::string("junk\n"), std::string(7, '\0')}) {
        write_file(path, compress(text) + tail);
        FILE *f = vp_fopen(path.c_str(), "r");
        ASSERT_NE(f, nullptr);
        read_result r = read_all(f);
        EXPECT_TRUE(r.error) << "tail of " << tail.size() << " bytes";
        EXPECT_TRUE(r.bytes == text);
        vp_fclose(f);
    }
}

// A failing read of the file itself (here: its descriptor replaced by one of
// a directory, which read() refuses) must not look like the end of the data.
TEST_P(CompressedStream, UnderlyingReadErrorIsAReadError)
{
    std::string path = file("eio");
    write_file(path, compress(table_text(100, 12)));

    int expected_fd = dup(0);
    ASSERT_GE(expected_fd, 0);
    close(expected_fd);
    FILE *f = vp_fopen(path.c_str(), "r");
    ASSERT_NE(f, nullptr);
    struct stat want, got;
    ASSERT_EQ(stat(path.c_str(), &want), 0);
    if (fstat(expected_fd, &got) != 0 || got.st_ino != want.st_ino) {
        vp_fclose(f);
        GTEST_SKIP() << "could not locate the stream's descriptor";
    }
    int dir = open(scratch_dir().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(dir, 0);
    ASSERT_EQ(dup2(dir, expected_fd), expected_fd);
    close(dir);

    read_result r = read_all(f);
    EXPECT_TRUE(r.error);
    EXPECT_TRUE(r.bytes.empty());
    vp_fclose(f);
}

TEST_P(CompressedStream, OpenFailuresSetErrno)
{
    errno = 0;
    EXPECT_EQ(vp_fopen(file("missing").c_str(), "r"), nullptr);
    EXPECT_EQ(errno, ENOENT);

    std::string dir = file("adir");
    ASSERT_TRUE(mkdir(dir.c_str(), 0777) == 0 || errno == EEXIST);
    errno = 0;
    EXPECT_EQ(vp_fopen(dir.c_str(), "r"), nullptr);
    EXPECT_EQ(errno, EISDIR);

    // Write modes are refused before the file is touched.
    std::string path = file("modes");
    std::string bytes = compress("abc\n");
    write_file(path, bytes);
    for (const char *mode : {"w", "a", "r+", "w+"}) {
        errno = 0;
        EXPECT_EQ(vp_fopen(path.c_str(), mode), nullptr) << mode;
        EXPECT_EQ(errno, EINVAL) << mode;
    }
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(static_cast<size_t>(st.st_size), bytes.size());
    std::string fresh = file("never_created");
    EXPECT_EQ(vp_fopen(fresh.c_str(), "w"), nullptr);
    EXPECT_NE(access(fresh.c_str(), F_OK), 0);

    if (geteuid() != 0) {
        ASSERT_EQ(chmod(path.c_str(), 0), 0);
        errno = 0;
        EXPECT_EQ(vp_fopen(path.c_str(), "r"), nullptr);
        EXPECT_EQ(errno, EACCES);
        chmod(path.c_str(), 0644);
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, CompressedStream,
                         ::testing::Values(codec{"Gzip", ".gz", gzip_member},
                                           codec{"Bzip2", ".bz2", bzip2_stream},
                                           codec{"Xz", ".xz", xz_stream}),
                         [](const ::testing::TestParamInfo<codec> &p) { return p.param.name; });

TEST(PlainStream, ReadsRewindsAndHasADescriptor)
{
    std::string text = table_text(5000, 13);
    std::string path = path_for("plain.tsv");
    write_file(path, text);
    FILE *f = vp_fopen(path.c_str(), "r");
    ASSERT_NE(f, nullptr);
    EXPECT_GE(fileno(f), 0);
    EXPECT_EQ(read_n(f, 1000), text.substr(0, 1000));
    rewind(f);
    read_result r = read_all(f);
    EXPECT_FALSE(r.error);
    EXPECT_TRUE(r.bytes == text);
    EXPECT_EQ(vp_fclose(f), 0);
}

TEST(PlainStream, OnlyExactEndingsAreDecompressed)
{
    std::string raw = gzip_member("a\tb\n");
    for (const char *name : {"raw.gz.tsv", "raw.GZ", "raw.gzip", "raw.xz2"}) {
        std::string path = path_for(name);
        write_file(path, raw);
        FILE *f = vp_fopen(path.c_str(), "r");
        ASSERT_NE(f, nullptr) << name;
        read_result r = read_all(f);
        EXPECT_FALSE(r.error) << name;
        EXPECT_TRUE(r.bytes == raw) << name;
        vp_fclose(f);
    }
}

TEST(PlainStream, OpenFailuresSetErrno)
{
    errno = 0;
    EXPECT_EQ(vp_fopen(path_for("missing.tsv").c_str(), "r"), nullptr);
    EXPECT_EQ(errno, ENOENT);

    std::string dir = path_for("plain_dir");
    ASSERT_TRUE(mkdir(dir.c_str(), 0777) == 0 || errno == EEXIST);
    errno = 0;
    EXPECT_EQ(vp_fopen(dir.c_str(), "r"), nullptr);
    EXPECT_EQ(errno, EISDIR);

    if (geteuid() != 0) {
        std::string path = path_for("locked.tsv");
        write_file(path, "x\n");
        ASSERT_EQ(chmod(path.c_str(), 0), 0);
        errno = 0;
        EXPECT_EQ(vp_fopen(path.c_str(), "r"), nullptr);
        EXPECT_EQ(errno, EACCES);
        chmod(path.c_str(), 0644);
    }
}

TEST(PlainStream, CloseFlushesAWriteStream)
{
    std::string path = path_for("written.txt");
    FILE *f = std::fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("report line\n", f);
    EXPECT_EQ(vp_fclose(f), 0);
    f = vp_fopen(path.c_str(), "r");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(read_all(f).bytes, "report line\n");
    vp_fclose(f);
}

}  // namespace
