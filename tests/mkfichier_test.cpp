// Black-box tests: each runs the built tool in a fresh temporary directory
// and checks the exact bytes it printed, its silence on stderr, its exit
// status and the tree it left behind.

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr uid_t kNobody = 65534;

struct Options {
    mode_t umask = 022;
    bool unprivileged = false; // as uid/gid 65534 when the suite runs as root
    bool no_file_size = false; // RLIMIT_FSIZE 0 with SIGXFSZ ignored
    rlim_t max_files = 0;      // RLIMIT_NOFILE, when not 0
};

struct Result {
    std::string out;
    std::string err;
    int status = -1;
};

// One entry of a tree, made before a run or found after it.
struct Entry {
    char kind; // 'd' directory, 'f' regular file, 'l' symlink
    std::string path;
    std::string data; // file content or link target
    mode_t mode = 0;
};

std::string Slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// The name of the file for the argument at position i, from 1.
std::string Name(const size_t i)
{
    char name[32];
    (void)snprintf(name, sizeof name, "fichier_%02zu", i);
    return name;
}

std::string Content(const size_t i) { return " je suis le fichier " + Name(i) + "\n"; }

// The file made for args[i], the argument at position i + 1.
std::string FileOf(const std::vector<std::string> &args, const size_t i) { return args[i] + Name(i + 1); }

std::string Created(const std::string &file) { return " File \"" + file + "\" is created.\n"; }
std::string Existing(const std::string &file) { return " File \"" + file + "\" is already existing.\n"; }
std::string PathFailure(const std::string &path, const char *why)
{
    return " Error : Cannot use the path \"" + path + "\"\n\t" + why + "\n";
}
std::string CreateFailure(const std::string &file, const char *why)
{
    return " error: Cannot creat the file \"" + file + "\"\n\t" + why + "\n";
}

// What a run prints when every argument gets its file.
std::string AllCreated(const std::vector<std::string> &args)
{
    std::string out;
    for (size_t i = 0; i < args.size(); ++i) {
        out += Created(FileOf(args, i));
    }
    return out;
}

Entry D(const std::string &path, const mode_t mode = 0700) { return {'d', path, "", mode}; }
Entry F(const std::string &path, const std::string &data, const mode_t mode = 0644) { return {'f', path, data, mode}; }
// A file the tool made for the argument at position i.
Entry Made(const std::string &path, const size_t i) { return F(path, Content(i)); }
Entry L(const std::string &path, const std::string &target) { return {'l', path, target, 0777}; }

std::string Show(const Entry &e)
{
    std::ostringstream s;
    s << e.kind << ' ' << std::oct << (e.mode & 07777) << " \"" << e.path << '"';
    if (!e.data.empty()) {
        s << " [" << e.data << ']';
    }
    return s.str();
}

std::string Tree(std::vector<Entry> tree)
{
    std::sort(tree.begin(), tree.end(), [](const Entry &a, const Entry &b) { return a.path < b.path; });
    std::string s;
    for (const Entry &e : tree) {
        s += Show(e) + "\n";
    }
    return s;
}

// Lists everything below dir, symlinks not followed.
std::vector<Entry> Scan(const fs::path &dir)
{
    std::vector<Entry> tree;
    for (const auto &it : fs::recursive_directory_iterator(dir, fs::directory_options::skip_permission_denied)) {
        struct stat st {};
        const std::string full = it.path().string();
        if (lstat(full.c_str(), &st) != 0) {
            continue;
        }
        const std::string rel = it.path().lexically_relative(dir).string();
        const mode_t mode = st.st_mode & 07777;
        if (S_ISDIR(st.st_mode)) {
            tree.push_back(D(rel, mode));
        } else if (S_ISLNK(st.st_mode)) {
            tree.push_back(L(rel, fs::read_symlink(it.path()).string()));
        } else {
            tree.push_back(F(rel, Slurp(full), mode));
        }
    }
    return tree;
}

// The variable's value, or fallback where it is unset or empty.
std::string EnvOr(const char *name, const char *fallback)
{
    const char *const value = getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

// A new directory under $TMPDIR, or /tmp.
std::string TempDir(const char *prefix)
{
    std::string tmpl = EnvOr("TMPDIR", "/tmp") + "/" + prefix + "-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) {
        ADD_FAILURE() << tmpl << ": " << strerror(errno);
    }
    return tmpl;
}

struct Case {
    const char *name;
    std::vector<Entry> before;
    std::vector<std::string> args;
    std::string out;
    std::vector<Entry> after; // the whole tree after the run
};

class Mkfichier : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        // A private copy with known modes, run through a descriptor, so an
        // unprivileged run needs no search permission on the build tree.
        bin_dir_ = TempDir("mkfichier-bin");
        const std::string bin = bin_dir_ + "/mkfichier";
        // MKFICHIER_BIN in the environment points the suite at a copy of
        // the tool elsewhere, for a run from outside the build tree.
        fs::copy_file(EnvOr("MKFICHIER_BIN", MKFICHIER_BIN), bin);
        ASSERT_EQ(chmod(bin.c_str(), 0755), 0);
        bin_fd_ = open(bin.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(bin_fd_, 0) << strerror(errno);
    }

    static void TearDownTestSuite()
    {
        (void)close(bin_fd_);
        fs::remove_all(bin_dir_);
    }

    void SetUp() override
    {
        root_ = TempDir("mkfichier-test");
        work_ = root_ + "/work";
        ASSERT_EQ(mkdir(work_.c_str(), 0700), 0);
    }

    void TearDown() override
    {
        for (const std::string &m : mounts_) {
            (void)umount2(m.c_str(), MNT_DETACH);
        }
        mounts_.clear();
        // Give back the search and write bits a test took away, so that
        // a normal user can remove everything.
        std::error_code ec;
        for (auto it = fs::recursive_directory_iterator(root_, ec); it != fs::recursive_directory_iterator();
             it.increment(ec)) {
            if (it->is_directory(ec) && !it->is_symlink(ec)) {
                (void)chmod(it->path().c_str(), 0700);
            }
        }
        fs::remove_all(root_, ec);
    }

    static bool Root() { return geteuid() == 0; }

    // Makes each entry under the work directory, in order.
    void Make(const std::vector<Entry> &entries) const
    {
        for (const Entry &e : entries) {
            const std::string p = work_ + "/" + e.path;
            if (e.kind == 'd') {
                ASSERT_EQ(mkdir(p.c_str(), 0700), 0) << p << ": " << strerror(errno);
            } else if (e.kind == 'l') {
                ASSERT_EQ(symlink(e.data.c_str(), p.c_str()), 0) << p << ": " << strerror(errno);
                continue;
            } else {
                std::ofstream(p, std::ios::binary) << e.data;
            }
            ASSERT_EQ(chmod(p.c_str(), e.mode), 0) << p << ": " << strerror(errno);
        }
    }

    // Hands the whole work tree to nobody, when the suite runs as root and
    // the run is to be unprivileged.
    void GiveAway(const Options &opt) const
    {
        if (!opt.unprivileged || !Root()) {
            return;
        }
        ASSERT_EQ(lchown(work_.c_str(), kNobody, kNobody), 0);
        for (const auto &it : fs::recursive_directory_iterator(work_)) {
            ASSERT_EQ(lchown(it.path().c_str(), kNobody, kNobody), 0);
        }
    }

    struct Child {
        pid_t pid;
        int out; // read ends of its stdout and stderr
        int err;
    };

    // Starts the tool in the work directory with stdout and stderr on
    // pipes: a file would fall under the file-size limit too.
    [[nodiscard]] Child Start(const std::vector<std::string> &args, const Options &opt) const
    {
        int out[2];
        int err[2];
        EXPECT_EQ(pipe2(out, O_CLOEXEC), 0);
        EXPECT_EQ(pipe2(err, O_CLOEXEC), 0);
        std::vector<char *> argv{const_cast<char *>("mkfichier")};
        std::transform(args.begin(), args.end(), std::back_inserter(argv),
                       [](const std::string &a) { return const_cast<char *>(a.c_str()); });
        argv.push_back(nullptr);

        const pid_t pid = fork();
        if (pid == 0) {
            // Only async-signal-safe calls from here on.
            if (dup2(out[1], 1) < 0 || dup2(err[1], 2) < 0 || chdir(work_.c_str()) != 0) {
                _exit(126);
            }
            umask(opt.umask);
            if (opt.no_file_size) {
                const rlimit zero{0, 0};
                (void)std::signal(SIGXFSZ, SIG_IGN);
                if (setrlimit(RLIMIT_FSIZE, &zero) != 0) {
                    _exit(126);
                }
            }
            if (opt.max_files != 0) {
                const rlimit few{opt.max_files, opt.max_files};
                if (setrlimit(RLIMIT_NOFILE, &few) != 0) {
                    _exit(126);
                }
            }
            if (opt.unprivileged && geteuid() == 0) {
                if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) {
                    _exit(126);
                }
            }
            fexecve(bin_fd_, argv.data(), environ);
            _exit(127);
        }
        (void)close(out[1]);
        (void)close(err[1]);
        return {pid, out[0], err[0]};
    }

    // Reads both pipes to their end, then reaps the child.
    static Result Finish(const Child &c)
    {
        Result r;
        pollfd fds[2] = {{c.out, POLLIN, 0}, {c.err, POLLIN, 0}};
        std::string *const into[2] = {&r.out, &r.err};
        int open_ends = 2;
        while (open_ends > 0 && poll(fds, 2, -1) > 0) {
            for (int i = 0; i < 2; ++i) {
                if (fds[i].revents == 0) {
                    continue;
                }
                char buf[4096];
                const ssize_t n = read(fds[i].fd, buf, sizeof buf);
                if (n > 0) {
                    into[i]->append(buf, static_cast<size_t>(n));
                } else {
                    fds[i].fd = -1;
                    --open_ends;
                }
            }
        }
        (void)close(c.out);
        (void)close(c.err);
        int status = 0;
        if (waitpid(c.pid, &status, 0) == c.pid) {
            r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        return r;
    }

    [[nodiscard]] Result Run(const std::vector<std::string> &args, const Options &opt = {}) const
    {
        return Finish(Start(args, opt));
    }

    // Runs the tool and checks what every run must hold: exact stdout,
    // nothing on stderr, status 0.
    void Expect(const std::vector<std::string> &args, const std::string &out, const Options &opt = {}) const
    {
        const Result r = Run(args, opt);
        EXPECT_EQ(r.out, out);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 0);
    }

    // Mounts a small tmpfs at work/name; skips the test where that is not
    // allowed.
    bool MountTmpfs(const std::string &name, const unsigned long flags)
    {
        const std::string at = work_ + "/" + name;
        EXPECT_EQ(mkdir(at.c_str(), 0700), 0);
        if (mount("tmpfs", at.c_str(), "tmpfs", flags, "size=64k,mode=0700") != 0) {
            return false;
        }
        mounts_.push_back(at);
        return true;
    }

    // Runs each case of a table in a fresh work directory: makes its
    // entries, runs the tool, checks the output and the whole tree.
    void Check(const std::vector<Case> &cases, const Options &opt = {})
    {
        for (const Case &c : cases) {
            SCOPED_TRACE(c.name);
            TearDown();
            SetUp();
            Make(c.before);
            GiveAway(opt);
            Expect(c.args, c.out, opt);
            EXPECT_EQ(Tree(Scan(work_)), Tree(c.after));
        }
    }

    std::string root_;
    std::string work_;
    std::vector<std::string> mounts_;
    static std::string bin_dir_;
    static int bin_fd_;
};

std::string Mkfichier::bin_dir_;
int Mkfichier::bin_fd_ = -1;

TEST_F(Mkfichier, MakesDirectoriesFilesAndReports)
{
    const char *const enoent = "No such file or directory";
    const std::vector<Case> cases = {
        {"no argument", {}, {}, "", {}},
        {"nested, trailing slash",
         {},
         {"out/a/"},
         Created("out/a/fichier_01"),
         {D("out"), D("out/a"), Made("out/a/fichier_01", 1)}},
        {"three levels, no trailing slash",
         {},
         {"a/b/c"},
         Created("a/b/cfichier_01"),
         {D("a"), D("a/b"), D("a/b/c"), Made("a/b/cfichier_01", 1)}},
        {"name glued to the last level", {}, {"out"}, Created("outfichier_01"), {D("out"), Made("outfichier_01", 1)}},
        {"numbers follow positions",
         {},
         {"d1/", "d2/", "d1/"},
         Created("d1/fichier_01") + Created("d2/fichier_02") + Created("d1/fichier_03"),
         {D("d1"), D("d2"), Made("d1/fichier_01", 1), Made("d2/fichier_02", 2), Made("d1/fichier_03", 3)}},
        {"double slash fails once", {}, {"a//"}, PathFailure("a//", "File exists"), {D("a")}},
        {"double slash then works", {D("a")}, {"a//"}, Created("a//fichier_01"), {D("a"), Made("a/fichier_01", 1)}},
        {"colon stops the walk, except at the start",
         {},
         {"c:dir", "x:", ":x/"},
         PathFailure("c:dir", enoent) + PathFailure("x:", enoent) + Created(":x/fichier_03"),
         {D(":x"), Made(":x/fichier_03", 3)}},
        {"colon in a level that exists",
         {D("c:dir")},
         {"c:dir/sub/"},
         Created("c:dir/sub/fichier_01"),
         {D("c:dir"), D("c:dir/sub"), Made("c:dir/sub/fichier_01", 1)}},
        {"empty argument, then the next goes on",
         {},
         {"", "ok/"},
         PathFailure("", enoent) + Created("ok/fichier_02"),
         {D("ok"), Made("ok/fichier_02", 2)}},
        {"levels long enough to live on the heap",
         {},
         {"a-first-level-long-enough/and-a-second-one/"},
         Created("a-first-level-long-enough/and-a-second-one/fichier_01"),
         {D("a-first-level-long-enough"), D("a-first-level-long-enough/and-a-second-one"),
          Made("a-first-level-long-enough/and-a-second-one/fichier_01", 1)}},
        {"arguments used verbatim",
         {},
         {" sp/", "~/", "a\tb/"},
         Created(" sp/fichier_01") + Created("~/fichier_02") + Created("a\tb/fichier_03"),
         {D(" sp"), D("~"), D("a\tb"), Made(" sp/fichier_01", 1), Made("~/fichier_02", 2), Made("a\tb/fichier_03", 3)}},
        {"a regular file passes as a path, not as a directory",
         {F("plain", "keep\n")},
         {"plain", "plain/", "plain/sub/"},
         Created("plainfichier_01") + PathFailure("plain/", "Not a directory") +
             PathFailure("plain/sub/", "Not a directory"),
         {F("plain", "keep\n"), Made("plainfichier_01", 1)}},
        {"whatever is there already is left alone",
         {D("d"), F("d/fichier_01", "precious\n", 0400), D("d/fichier_02"), L("d/fichier_03", "gone"),
          L("d/fichier_04", "fichier_01")},
         {"d/", "d/", "d/", "d/"},
         Existing("d/fichier_01") + Existing("d/fichier_02") + Existing("d/fichier_03") + Existing("d/fichier_04"),
         {D("d"), F("d/fichier_01", "precious\n", 0400), D("d/fichier_02"), L("d/fichier_03", "gone"),
          L("d/fichier_04", "fichier_01")}},
    };
    Check(cases);
}

TEST_F(Mkfichier, AbsolutePathInsideTheWorkDirectory)
{
    const std::string dir = work_ + "/abs/new/";
    Expect({dir}, Created(dir + "fichier_01"));
    EXPECT_EQ(Tree(Scan(work_)), Tree({D("abs"), D("abs/new"), Made("abs/new/fichier_01", 1)}));
}

TEST_F(Mkfichier, SecondRunChangesNothing)
{
    const std::vector<std::string> args{"a/", "b/c/", "a/"};
    Expect(args, Created("a/fichier_01") + Created("b/c/fichier_02") + Created("a/fichier_03"));
    const std::string first = Tree(Scan(work_));
    Expect(args, Existing("a/fichier_01") + Existing("b/c/fichier_02") + Existing("a/fichier_03"));
    EXPECT_EQ(Tree(Scan(work_)), first);
}

TEST_F(Mkfichier, HundredthArgumentGetsThreeDigits)
{
    const std::vector<std::string> args(100, "d/");
    Expect(args, AllCreated(args));
    EXPECT_EQ(Slurp(work_ + "/d/fichier_100"), " je suis le fichier fichier_100\n");
    EXPECT_EQ(Content(99).size(), 31U);
}

// Each file's descriptor is closed before the next argument: with room for
// a few descriptors only, a leak would soon turn into "Too many open files".
TEST_F(Mkfichier, DescriptorsDoNotPileUp)
{
    Options opt;
    opt.max_files = 8;
    const std::vector<std::string> args(20, "d/");
    Expect(args, AllCreated(args), opt);
}

TEST_F(Mkfichier, UmaskReducesModes)
{
    const struct {
        mode_t umask;
        mode_t dir;
        mode_t file;
    } cases[] = {{0, 0700, 0666}, {022, 0700, 0644}, {077, 0700, 0600}, {0027, 0700, 0640}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.umask);
        TearDown();
        SetUp();
        Options opt;
        opt.umask = c.umask;
        Expect({"x/y/"}, Created("x/y/fichier_01"), opt);
        EXPECT_EQ(Tree(Scan(work_)), Tree({D("x", c.dir), D("x/y", c.dir), F("x/y/fichier_01", Content(1), c.file)}));
    }
}

TEST_F(Mkfichier, PermissionFailuresOfAnUnprivilegedUser)
{
    const char *const eacces = "Permission denied";
    const std::vector<Case> cases = {
        {"existing directory not writable", {D("ro", 0555)}, {"ro/"}, PathFailure("ro/", eacces), {D("ro", 0555)}},
        {"existing directory not readable", {D("wo", 0300)}, {"wo/"}, PathFailure("wo/", eacces), {D("wo", 0300)}},
        {"parent not writable", {D("ro", 0555)}, {"ro/new/"}, PathFailure("ro/new/", eacces), {D("ro", 0555)}},
        {"directory not searchable",
         {D("nx", 0600)},
         {"nx/", "ok/"},
         CreateFailure("nx/fichier_01", eacces) + Created("ok/fichier_02"),
         {D("nx", 0600), D("ok"), Made("ok/fichier_02", 2)}},
        {"existing file not writable",
         {D("d"), F("d/fichier_01", "mine\n", 0444)},
         {"d/"},
         Existing("d/fichier_01"),
         {D("d"), F("d/fichier_01", "mine\n", 0444)}},
    };
    Options opt;
    opt.unprivileged = true;
    Check(cases, opt);
}

TEST_F(Mkfichier, CurrentDirectoryNotWritable)
{
    Options opt;
    opt.unprivileged = true;
    GiveAway(opt);
    ASSERT_EQ(chmod(work_.c_str(), 0555), 0);
    Expect({"x", "y/z/"}, PathFailure("x", "Permission denied") + PathFailure("y/z/", "Permission denied"), opt);
    EXPECT_TRUE(Scan(work_).empty());
}

TEST_F(Mkfichier, FailedWriteLeavesNoFile)
{
    Options opt;
    opt.no_file_size = true;
    Expect({"out/", "out/"},
           CreateFailure("out/fichier_01", "File too large") + CreateFailure("out/fichier_02", "File too large"), opt);
    EXPECT_EQ(Tree(Scan(work_)), Tree({D("out")}));
}

TEST_F(Mkfichier, FullDiskLeavesNoFile)
{
    if (!MountTmpfs("full", 0)) {
        GTEST_SKIP() << "cannot mount a tmpfs here (" << strerror(errno) << "); needs root";
    }
    {
        // Fill it to the last page.
        std::ofstream fill(work_ + "/full/fill", std::ios::binary);
        const std::string block(4096, 'x');
        for (int i = 0; i < 64 && fill.write(block.data(), static_cast<std::streamsize>(block.size())); ++i) {
        }
    }
    Expect({"full/"}, CreateFailure("full/fichier_01", "No space left on device"));
    EXPECT_FALSE(fs::exists(work_ + "/full/fichier_01"));
}

TEST_F(Mkfichier, ReadOnlyFilesystemIsAPathFailure)
{
    if (!MountTmpfs("ro", MS_RDONLY)) {
        GTEST_SKIP() << "cannot mount a tmpfs here (" << strerror(errno) << "); needs root";
    }
    const char *const erofs = "Read-only file system";
    Expect({"ro/", "ro/sub/"}, PathFailure("ro/", erofs) + PathFailure("ro/sub/", erofs));
}

// Several runs race on the same arguments. Whatever the interleaving,
// each run reports every argument with one of the forms a race allows, no
// file is created twice, and every file holds exactly its line.
TEST_F(Mkfichier, ConcurrentRunsNeverCreateAFileTwice)
{
    constexpr int kArgs = 40;
    std::vector<std::string> args;
    args.reserve(kArgs);
    for (int i = 0; i < kArgs; ++i) {
        args.push_back("c/" + std::to_string(i % 5) + "/" + std::to_string(i % 3) + "/");
    }
    constexpr int kRuns = 4;
    for (const bool dirs_exist : {false, true}) {
        for (int round = 0; round < 10; ++round) {
            SCOPED_TRACE(std::string(dirs_exist ? "existing" : "fresh") + " tree, round " + std::to_string(round));
            TearDown();
            SetUp();
            if (dirs_exist) {
                for (const std::string &a : args) {
                    fs::create_directories(work_ + "/" + a);
                }
            }
            std::vector<Child> runs;
            runs.reserve(kRuns);
            for (int r = 0; r < kRuns; ++r) {
                runs.push_back(Start(args, {}));
            }
            std::map<std::string, int> created;
            for (const Child &run : runs) {
                const Result res = Finish(run);
                EXPECT_EQ(res.status, 0);
                EXPECT_EQ(res.err, "");
                // Walk the output one report at a time.
                std::string_view rest = res.out;
                for (size_t i = 0; i < args.size(); ++i) {
                    const std::string file = FileOf(args, i);
                    const std::string made = Created(file);
                    std::string seen;
                    for (const std::string &form : {made, Existing(file), PathFailure(args[i], "File exists")}) {
                        if (rest.substr(0, form.size()) == form) {
                            seen = form;
                        }
                    }
                    ASSERT_FALSE(seen.empty()) << "report " << i + 1 << " of:\n" << res.out;
                    ASSERT_FALSE(dirs_exist && seen != made && seen != Existing(file)) << seen;
                    created[file] += seen == made ? 1 : 0;
                    rest.remove_prefix(seen.size());
                }
                EXPECT_TRUE(rest.empty()) << res.out;
            }
            for (size_t i = 0; i < args.size(); ++i) {
                const std::string file = FileOf(args, i);
                // With fresh directories every run can lose a mkdir race on
                // one level and give up on the argument.
                const bool exists = fs::exists(work_ + "/" + file);
                EXPECT_EQ(created[file], exists ? 1 : 0) << file;
                EXPECT_TRUE(exists || !dirs_exist) << file;
                if (exists) {
                    EXPECT_EQ(Slurp(work_ + "/" + file), Content(i + 1)) << file;
                }
            }
        }
    }
}

} // namespace
