// jp2c decode over damaged code streams: every input of the fuzz regression
// corpora, and a corpus made here from the conformance streams and the
// encoder's own streams (prefixes, flipped bytes, altered marker segment
// lengths, tile-part lengths and image, tile, coding style parameters).
// Each run has a time and an address-space limit; it must end by itself with
// status 0, 3 or 1 (decoded, decoded as far as the data went, or refused
// with a message): no signal, no sanitizer report, no hang, no limit breach.
#include "testutil.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <random>
#include <thread>

using namespace testutil;
namespace fs = std::filesystem;

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// Per run: wall time, and address space (without the sanitizers, which
// reserve terabytes of it: there the allocator's own limits stand in).
constexpr int kSeconds = kSanitized ? 60 : 10;
constexpr long long kAddressSpace = 1536LL << 20;

struct Outcome {
    int status = -1;        // exit status, -1 when ended by a signal
    int signal = 0;
    bool timedout = false;
    double seconds = 0;
};

// Runs jp2c decode INPUT OUTPUT under the limits; its output goes to log.
Outcome decode_limited(const std::string& input, const std::string& output,
                       const std::string& log)
{
    Outcome out;
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
            close(fd);
        }
        if (!kSanitized) {
            rlimit as{rlim_t(kAddressSpace), rlim_t(kAddressSpace)};
            setrlimit(RLIMIT_AS, &as);
        }
        rlimit cpu{rlim_t(kSeconds + 5), rlim_t(kSeconds + 5)};
        setrlimit(RLIMIT_CPU, &cpu);
        // Sanitizer reports get exit codes of their own (jp2c's failure is 1);
        // a single allocation over 1 GiB returns null as it does under the
        // address-space limit above; 2 GiB resident ends the run.
        setenv("ASAN_OPTIONS",
               "exitcode=86:detect_leaks=1:allocator_may_return_null=1:"
               "max_allocation_size_mb=1024:hard_rss_limit_mb=2048", 1);
        setenv("UBSAN_OPTIONS", "exitcode=87:halt_on_error=1:print_stacktrace=1", 1);
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        execl(JP2C_PATH, JP2C_PATH, "decode", input.c_str(), output.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    if (pid < 0)
        return out;
    int st = 0;
    for (;;) {
        pid_t r = waitpid(pid, &st, WNOHANG);
        if (r == pid)
            break;
        if (std::chrono::steady_clock::now() - start > std::chrono::seconds(kSeconds)) {
            out.timedout = true;
            kill(pid, SIGKILL);
            waitpid(pid, &st, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    out.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (WIFEXITED(st))
        out.status = WEXITSTATUS(st);
    else if (WIFSIGNALED(st))
        out.signal = WTERMSIG(st);
    return out;
}

// Decodes every file; failures name the file, its damage and the last
// lines jp2c printed.  Failing inputs are kept in the working folder as
// damaged-failure-N.j2k.
class Runner {
public:
    Runner() : dir_() {}

    void check(const std::string& name, const std::vector<uint8_t>& data)
    {
        std::string in = dir_.file("in.j2k");
        ASSERT_TRUE(write_file(in, data));
        check_file(name, in);
    }

    void check_file(const std::string& name, const std::string& in)
    {
        std::string outdir = dir_.file("out");
        fs::create_directories(outdir);
        std::string log = dir_.file("log.txt");
        Outcome o = decode_limited(in, outdir + "/out.pgx", log);
        fs::remove_all(outdir);
        ++runs_;
        if (o.status == 0 || o.status == 1 || o.status == 3)
            return;
        std::string kept = "damaged-failure-" + std::to_string(++failures_) + ".j2k";
        std::error_code ec;
        fs::copy_file(in, kept, fs::copy_options::overwrite_existing, ec);
        std::string text;
        if (auto bytes = read_file(log); !bytes.empty())
            text.assign(bytes.end() - std::min<size_t>(bytes.size(), 2000), bytes.end());
        ADD_FAILURE() << name << ": "
                      << (o.timedout ? "no end within the time limit"
                          : o.signal ? "signal " + std::to_string(o.signal)
                                     : "exit status " + std::to_string(o.status))
                      << " after " << o.seconds << " s (input kept as " << kept << ")\n"
                      << text;
    }

    int runs() const { return runs_; }

private:
    TempDir dir_;
    int runs_ = 0;
    static inline int failures_ = 0;
};

uint32_t be16(const std::vector<uint8_t>& d, size_t p) { return d[p] << 8 | d[p + 1]; }

void set16(std::vector<uint8_t>& d, size_t p, uint32_t v)
{
    d[p] = uint8_t(v >> 8);
    d[p + 1] = uint8_t(v);
}

void set32(std::vector<uint8_t>& d, size_t p, uint32_t v)
{
    set16(d, p, v >> 16);
    set16(d, p + 2, v & 0xffff);
}

// Offsets of the marker segments of the main header and of the first
// tile-part header (marker position, code), up to the first SOD.
std::vector<std::pair<size_t, uint32_t>> header_segments(const std::vector<uint8_t>& d)
{
    std::vector<std::pair<size_t, uint32_t>> segs;
    size_t p = 2;
    while (p + 4 <= d.size()) {
        uint32_t code = be16(d, p);
        if (code < 0xff00 || code == 0xff93)
            break;
        segs.emplace_back(p, code);
        p += 2 + be16(d, p + 2);
    }
    return segs;
}

using Damage = std::pair<std::string, std::vector<uint8_t>>;

// The damaged variants of one code stream; fewer for large streams, whose
// decoding takes longest.
std::vector<Damage> damage(const std::vector<uint8_t>& d, unsigned seed, bool few)
{
    std::vector<Damage> out;
    if (d.size() < 16)
        return out;
    auto segs = header_segments(d);
    size_t body = segs.empty() ? 2 : segs.back().first + 4 + be16(d, segs.back().first + 2);
    body = std::min(body, d.size() - 1);
    auto cut = [&](size_t n) {
        n = std::min(n, d.size());
        out.emplace_back("prefix of " + std::to_string(n) + " bytes",
                         std::vector<uint8_t>(d.begin(), d.begin() + n));
    };
    cut(d.size() / 2);
    if (!few) {
        cut(body);
        cut(body + 7);
        cut(d.size() - 3);
    }

    std::mt19937 rng(seed);
    auto flips = [&](const char* what, size_t from, size_t to, int count) {
        if (to <= from)
            return;
        std::vector<uint8_t> v = d;
        std::string where;
        for (int i = 0; i < count; ++i) {
            size_t p = from + rng() % (to - from);
            v[p] ^= uint8_t(1 + rng() % 255);
            where += ' ';
            where += std::to_string(p);
        }
        out.emplace_back(std::string(what) + " at" + where, std::move(v));
    };
    flips("header byte flipped", 2, body, 1);
    flips("packet bytes flipped", body, d.size(), few ? 4 : 8);
    if (!few) {
        flips("header bytes flipped", 2, body, 3);
        std::vector<uint8_t> v = d;
        size_t p = body + rng() % (d.size() - body);
        std::fill(v.begin() + p, v.begin() + std::min(d.size(), p + 24), 0xff);
        out.emplace_back("0xff run at " + std::to_string(p), std::move(v));
    }

    for (auto [p, code] : segs) {
        auto alter = [&](const std::string& what, const std::function<void(std::vector<uint8_t>&)>& f) {
            std::vector<uint8_t> v = d;
            f(v);
            char name[32];
            std::snprintf(name, sizeof name, "marker %04x at %zu: ", code, p);
            out.emplace_back(name + what, std::move(v));
        };
        const uint32_t len = be16(d, p + 2);
        if (!few || code == 0xff51) {
            alter("length 0", [&](auto& v) { set16(v, p + 2, 0); });
            alter("length + 1", [&](auto& v) { set16(v, p + 2, len + 1); });
            alter("length - 1", [&](auto& v) { set16(v, p + 2, len - 1); });
            alter("length 0xffff", [&](auto& v) { set16(v, p + 2, 0xffff); });
        }
        if (p + 2 + len > d.size())
            continue;
        if (code == 0xff51 && len >= 38) {  // SIZ
            alter("image 0xffffffff square", [&](auto& v) {
                set32(v, p + 6, 0xffffffff);
                set32(v, p + 10, 0xffffffff);
            });
            alter("image 46341 square, one tile", [&](auto& v) {
                set32(v, p + 6, 46341);
                set32(v, p + 10, 46341);
                set32(v, p + 22, 46341);
                set32(v, p + 26, 46341);
            });
            alter("tiles of 1 x 1", [&](auto& v) {
                set32(v, p + 22, 1);
                set32(v, p + 26, 1);
            });
            alter("16384 components", [&](auto& v) { set16(v, p + 38, 16384); });
            alter("sampling 255", [&](auto& v) {
                if (p + 42 < v.size()) {
                    v[p + 41] = 255;
                    v[p + 42] = 255;
                }
            });
        }
        if (code == 0xff52 && len >= 12) {  // COD
            alter("65535 layers", [&](auto& v) { set16(v, p + 6, 0xffff); });
            alter("32 decomposition levels", [&](auto& v) { v[p + 9] = 32; });
            alter("code blocks 2^10 x 2^10", [&](auto& v) {
                v[p + 10] = 8;
                v[p + 11] = 8;
            });
            if (d[p + 4] & 1)
                alter("precincts of 1 x 1", [&](auto& v) {
                    for (size_t i = p + 14; i < p + 2 + len && i < v.size(); ++i)
                        v[i] = 0;
                });
        }
        if (code == 0xff90 && len == 10) {  // SOT
            const uint32_t psot = be16(d, p + 6) << 16 | be16(d, p + 8);
            alter("Psot 0xffffffff", [&](auto& v) { set32(v, p + 6, 0xffffffff); });
            alter("Psot 14", [&](auto& v) { set32(v, p + 6, 14); });
            alter("Psot + 1", [&](auto& v) { set32(v, p + 6, psot + 1); });
            alter("tile number 65534", [&](auto& v) { set16(v, p + 4, 65534); });
        }
    }
    return out;
}

std::vector<std::string> files_in(const fs::path& dir)
{
    std::vector<std::string> files;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec))
        if (e.is_regular_file())
            files.push_back(e.path().string());
    std::sort(files.begin(), files.end());
    return files;
}

const fs::path kFuzzDir = fs::path(JP2_FUZZDIR);

// Every input that ever made a fuzz target fail, through the tool.
TEST(DamagedCorpus, FuzzRegressionInputsDecodeOrFailCleanly)
{
    ASSERT_EQ(access(JP2C_PATH, X_OK), 0) << JP2C_PATH;
    Runner runner;
    for (const char* target : {"decode", "jpc", "t2"})
        for (const std::string& f : files_in(kFuzzDir / "regression" / target))
            runner.check_file(f, f);
    std::printf("%d regression inputs\n", runner.runs());
}

// The encoder's own streams (the fuzz seeds) and the conformance streams
// (T.800 and HT), each damaged in every way above.
TEST(DamagedCorpus, DamagedStreamsDecodeOrFailCleanly)
{
    std::vector<std::string> sources = files_in(kFuzzDir / "seeds" / "decode");
    for (const char* folder : {"conformance", "ht"})
        for (const std::string& f : files_in(fs::path(JP2_TESTDATA) / folder))
            if (f.ends_with(".j2k"))
                sources.push_back(f);
    ASSERT_FALSE(sources.empty());
    ASSERT_EQ(access(JP2C_PATH, X_OK), 0) << JP2C_PATH;
    Runner runner;
    unsigned seed = 1;
    for (const std::string& src : sources) {
        std::vector<uint8_t> data = read_file(src);
        // The large streams take long (under the sanitizers too long: there
        // the small ones carry the same damages); the headers of the largest
        // are reached through the cut.
        if (kSanitized && data.size() > 64 * 1024)
            continue;
        if (data.size() > (1u << 20))
            data.resize(1u << 20);
        bool few = data.size() > 64 * 1024;
        for (auto& [what, bytes] : damage(data, seed++, few)) {
            runner.check(fs::path(src).filename().string() + ", " + what, bytes);
            if (::testing::Test::HasFailure() && runner.runs() > 2000)
                return;
        }
    }
    std::printf("%d damaged streams\n", runner.runs());
}

// A small code stream of a large image (8192 x 8192, no packet data): its
// samples (64 MiB) live in temporary files.  Whether the decoding ends, or
// is killed part-way, the temporary folder is left as it was.
std::vector<uint8_t> large_empty_stream()
{
    std::vector<uint8_t> v;
    auto p16 = [&](uint32_t x) {
        v.push_back(uint8_t(x >> 8));
        v.push_back(uint8_t(x));
    };
    auto p32 = [&](uint32_t x) {
        p16(x >> 16);
        p16(x & 0xffff);
    };
    p16(0xff4f);
    p16(0xff51);
    p16(41);
    p16(0);
    for (uint32_t x : {8192u, 8192u, 0u, 0u, 8192u, 8192u, 0u, 0u})
        p32(x);
    p16(1);
    v.insert(v.end(), {7, 1, 1});
    p16(0xff52);
    p16(12);
    v.insert(v.end(), {0, 0, 0, 1, 0, 5, 4, 4, 0, 1});
    p16(0xff5c);
    p16(3 + 16);
    v.push_back(2 << 5);
    for (int i = 0; i < 16; ++i)
        v.push_back(10 << 3);
    p16(0xff90);
    p16(10);
    p16(0);
    p32(0);
    v.insert(v.end(), {0, 1});
    p16(0xff93);
    p16(0xffd9);
    return v;
}

TEST(DamagedCorpus, SampleFilesOfLargeImagesAreAlwaysRemoved)
{
    TempDir dir;
    const std::string input = dir.file("large.j2k");
    ASSERT_TRUE(write_file(input, large_empty_stream()));
    const std::string tmp = dir.file("tmp");
    fs::create_directories(tmp);
    auto start = [&](const std::string& output) {
        pid_t pid = fork();
        if (pid == 0) {
            int fd = open("/dev/null", O_WRONLY);
            dup2(fd, 1);
            dup2(fd, 2);
            setenv("TMPDIR", tmp.c_str(), 1);
            execl(JP2C_PATH, JP2C_PATH, "decode", input.c_str(), output.c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        return pid;
    };
    // Run to the end.
    pid_t pid = start(dir.file("whole.pgx"));
    ASSERT_GT(pid, 0);
    int st = 0;
    waitpid(pid, &st, 0);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 0);
    EXPECT_TRUE(fs::is_empty(tmp));
    EXPECT_EQ(file_size(dir.file("whole_0.pgx")), 8192LL * 8192 + 20);
    // Killed while decoding.
    pid = start(dir.file("killed.pgx"));
    ASSERT_GT(pid, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(kSanitized ? 3000 : 1000));
    kill(pid, SIGKILL);
    waitpid(pid, &st, 0);
    EXPECT_TRUE(fs::is_empty(tmp));
}

}  // namespace
