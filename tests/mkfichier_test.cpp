// Black-box tests: each runs the built tool in a fresh temporary directory
// and checks the exact bytes it printed, its silence on stderr, its exit
// status and the tree it left behind.

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sched.h>
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

// How the tool is started. Signal dispositions are those a shell gives
// it: all default, unless told otherwise.
struct Options {
    mode_t umask = 022;
    bool unprivileged = false;                  // as uid/gid 65534 when the suite runs as root
    std::vector<std::pair<int, rlim_t>> limits; // setrlimit, soft and hard
    bool ignore_end_signals = false;            // SIGHUP, SIGINT and SIGTERM ignored, as nohup leaves them
    bool stdout_unread = false;                 // the read end of stdout closed at once
    std::string preload;                        // LD_PRELOAD
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

using Form = std::string (*)(const std::string &file);

// Reads out as one report per argument, each in form a or form b for that
// argument's file, and tells for each whether it was form a. A report in
// neither form, or anything left over, fails the test.
std::vector<bool> ReportForms(const std::string &out, const std::vector<std::string> &args, const Form a, const Form b)
{
    std::vector<bool> is_a;
    std::string_view rest = out;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string first = a(FileOf(args, i));
        const std::string second = b(FileOf(args, i));
        const bool matched = rest.substr(0, first.size()) == first;
        if (!matched && rest.substr(0, second.size()) != second) {
            ADD_FAILURE() << "report " << i + 1 << " of:\n" << out.substr(0, 2000);
            return is_a;
        }
        is_a.push_back(matched);
        rest.remove_prefix(matched ? first.size() : second.size());
    }
    EXPECT_TRUE(rest.empty()) << out.substr(0, 2000);
    return is_a;
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
        std::vector<std::string> env_vars;
        for (char **e = environ; *e != nullptr; ++e) {
            env_vars.emplace_back(*e);
        }
        if (!opt.preload.empty()) {
            env_vars.push_back("LD_PRELOAD=" + opt.preload);
        }
        std::vector<char *> envp;
        envp.reserve(env_vars.size() + 1);
        std::transform(env_vars.begin(), env_vars.end(), std::back_inserter(envp),
                       [](std::string &e) { return e.data(); });
        envp.push_back(nullptr);

        // Signals sent once Start returns wait until the child has set
        // its dispositions: one it ignores is then never seen.
        sigset_t all;
        sigset_t saved;
        (void)sigfillset(&all);
        (void)sigprocmask(SIG_SETMASK, &all, &saved);
        const pid_t pid = fork();
        if (pid == 0) {
            // Only async-signal-safe calls from here on.
            if (dup2(out[1], 1) < 0 || dup2(err[1], 2) < 0 || chdir(work_.c_str()) != 0) {
                _exit(126);
            }
            umask(opt.umask);
            for (int sig = 1; sig < NSIG; ++sig) {
                (void)std::signal(sig, SIG_DFL);
            }
            for (const int sig : {SIGHUP, SIGINT, SIGTERM}) {
                (void)std::signal(sig, opt.ignore_end_signals ? SIG_IGN : SIG_DFL);
            }
            sigset_t none;
            (void)sigemptyset(&none);
            (void)sigprocmask(SIG_SETMASK, &none, nullptr);
            for (const auto &[resource, value] : opt.limits) {
                const rlimit lim{value, value};
                if (setrlimit(resource, &lim) != 0) {
                    _exit(126);
                }
            }
            if (opt.unprivileged && geteuid() == 0) {
                if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) {
                    _exit(126);
                }
            }
            fexecve(bin_fd_, argv.data(), envp.data());
            _exit(127);
        }
        (void)sigprocmask(SIG_SETMASK, &saved, nullptr);
        (void)close(out[1]);
        (void)close(err[1]);
        if (opt.stdout_unread) {
            (void)close(out[0]);
            out[0] = -1;
        }
        return {pid, out[0], err[0]};
    }

    // Reads both pipes to their end, then reaps the child.
    static Result Finish(const Child &c)
    {
        Result r;
        pollfd fds[2] = {{c.out, POLLIN, 0}, {c.err, POLLIN, 0}};
        std::string *const into[2] = {&r.out, &r.err};
        int open_ends = (c.out >= 0 ? 1 : 0) + 1;
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
                    (void)close(fds[i].fd);
                    fds[i].fd = -1;
                    --open_ends;
                }
            }
        }
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

    // Mounts a small tmpfs at work/name. Returns 0, or the errno that
    // stopped it, for the caller to skip the test with.
    int MountTmpfs(const std::string &name, const unsigned long flags)
    {
        // In a mount namespace of this process's own, nothing mounted
        // outlives the test, even if it is killed.
        static const int isolated =
            unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 ? 0 : errno;
        if (isolated != 0) {
            return isolated;
        }
        const std::string at = work_ + "/" + name;
        EXPECT_EQ(mkdir(at.c_str(), 0700), 0);
        if (mount("tmpfs", at.c_str(), "tmpfs", flags, "size=64k,mode=0700") != 0) {
            return errno;
        }
        mounts_.push_back(at);
        return 0;
    }

    // Starts over in a new, empty work directory, for a test of several
    // cases.
    void Fresh()
    {
        TearDown();
        SetUp();
    }

    // Runs each case of a table in a fresh work directory: makes its
    // entries, runs the tool, checks the output and the whole tree.
    void Check(const std::vector<Case> &cases, const Options &opt = {})
    {
        for (const Case &c : cases) {
            SCOPED_TRACE(c.name);
            Fresh();
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
        {"levels named twice or through dots",
         {},
         {"a//", "x/./y/", "p/../q/", "n/."},
         Created("a//fichier_01") + Created("x/./y/fichier_02") + Created("p/../q/fichier_03") +
             Created("n/.fichier_04"),
         {D("a"), Made("a/fichier_01", 1), D("x"), D("x/y"), Made("x/y/fichier_02", 2), D("p"), D("q"),
          Made("q/fichier_03", 3), D("n"), Made("n/.fichier_04", 4)}},
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
    opt.limits = {{RLIMIT_NOFILE, 8}};
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
        Fresh();
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

// A shell's `ulimit -f` leaves SIGXFSZ at its default, which would kill
// the run between an empty or partial file and its removal.
TEST_F(Mkfichier, FailedWriteLeavesNoFile)
{
    for (const rlim_t limit : {0, 10}) {
        SCOPED_TRACE(limit);
        Fresh();
        Options opt;
        opt.limits = {{RLIMIT_FSIZE, limit}};
        Expect({"out/", "out/"},
               CreateFailure("out/fichier_01", "File too large") + CreateFailure("out/fichier_02", "File too large"),
               opt);
        EXPECT_EQ(Tree(Scan(work_)), Tree({D("out")}));
    }
}

TEST_F(Mkfichier, FullDiskLeavesNoFile)
{
    if (const int err = MountTmpfs("full", 0); err != 0) {
        GTEST_SKIP() << "cannot mount a tmpfs here (" << strerror(err) << "); needs root";
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
    if (const int err = MountTmpfs("ro", MS_RDONLY); err != 0) {
        GTEST_SKIP() << "cannot mount a tmpfs here (" << strerror(err) << "); needs root";
    }
    const char *const erofs = "Read-only file system";
    Expect({"ro/", "ro/sub/"}, PathFailure("ro/", erofs) + PathFailure("ro/sub/", erofs));
}

// Several runs race on the same arguments, fresh directories or not:
// each file is created by exactly one run, every other run finds it
// there, and no run gives up on a directory that another one made.
TEST_F(Mkfichier, ConcurrentRunsCreateEachFileOnce)
{
    constexpr int kArgs = 40;
    std::vector<std::string> args;
    args.reserve(kArgs);
    for (int i = 0; i < kArgs; ++i) {
        args.push_back("c/" + std::to_string(i % 5) + "/" + std::to_string(i % 3) + "/");
    }
    constexpr int kRuns = 8;
    for (const bool dirs_exist : {false, true}) {
        for (int round = 0; round < 10; ++round) {
            SCOPED_TRACE(std::string(dirs_exist ? "existing" : "fresh") + " tree, round " + std::to_string(round));
            Fresh();
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
                const std::vector<bool> made = ReportForms(res.out, args, Created, Existing);
                ASSERT_EQ(made.size(), args.size());
                for (size_t i = 0; i < args.size(); ++i) {
                    created[FileOf(args, i)] += made[i] ? 1 : 0;
                }
            }
            for (size_t i = 0; i < args.size(); ++i) {
                const std::string file = FileOf(args, i);
                EXPECT_EQ(created[file], 1) << file;
                EXPECT_EQ(Slurp(work_ + "/" + file), Content(i + 1)) << file;
            }
        }
    }
}

// A reader of stdout that has gone costs the reports, not the work.
TEST_F(Mkfichier, StdoutWithoutReaderStillMakesEveryFile)
{
    Options opt;
    opt.stdout_unread = true;
    const std::vector<std::string> args(3000, "d/");
    const Result r = Run(args, opt);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(fs::exists(work_ + "/" + FileOf(args, args.size() - 1)));
    EXPECT_EQ(Scan(work_).size(), args.size() + 1);
}

// Ended by a signal at any instant, a run leaves only whole files, has
// printed the report of each, and ends by that signal. One the caller
// ignores changes nothing.
TEST_F(Mkfichier, EndSignalsLeaveWholeFilesAndTheirReports)
{
    std::vector<std::string> args;
    args.reserve(600);
    for (int i = 0; i < 600; ++i) {
        args.push_back("s/" + std::to_string(i % 20) + "/");
    }
    unsigned seed = 1;
    for (const bool ignored : {false, true}) {
        for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
            for (int round = 0; round < (ignored ? 2 : 6); ++round) {
                SCOPED_TRACE(std::string(strsignal(sig)) + (ignored ? ", ignored" : "") + ", round " +
                             std::to_string(round));
                Fresh();
                Options opt;
                opt.ignore_end_signals = ignored;
                const Child c = Start(args, opt);
                // Up to 1 ms in the first round, up to 243 ms in the last:
                // before, during and after the work, wherever its pace.
                useconds_t most = 1000;
                for (int i = 0; i < round; ++i) {
                    most *= 3;
                }
                (void)usleep(rand_r(&seed) % most);
                (void)kill(c.pid, sig);
                const Result r = Finish(c);
                EXPECT_EQ(r.err, "");
                const std::vector<Entry> tree = Scan(work_);
                const auto files = static_cast<size_t>(
                    std::count_if(tree.begin(), tree.end(), [](const Entry &e) { return e.kind == 'f'; }));
                if (ignored || r.status == 0) {
                    EXPECT_EQ(r.status, 0);
                    EXPECT_TRUE(r.out == AllCreated(args)) << r.out.size() << " bytes";
                    continue;
                }
                EXPECT_EQ(r.status, 128 + sig);
                // The files made are those of the first arguments, each whole,
                // and each reported.
                const std::vector<std::string> done(args.begin(), args.begin() + static_cast<long>(files));
                EXPECT_TRUE(r.out == AllCreated(done)) << files << " files, output:\n" << r.out.substr(0, 500);
                for (size_t i = 0; i < files; ++i) {
                    ASSERT_EQ(Slurp(work_ + "/" + FileOf(args, i)), Content(i + 1)) << FileOf(args, i);
                }
            }
        }
    }
}

// Blocked writing reports to a full pipe, a run still ends at a Ctrl-C.
TEST_F(Mkfichier, InterruptEndsARunBlockedOnStdout)
{
    const std::vector<std::string> args(5000, "d/");
    const Child c = Start(args, {});
    siginfo_t info{};
    // Let it fill the pipe, which nobody reads yet.
    (void)usleep(300000);
    ASSERT_EQ(kill(c.pid, SIGINT), 0);
    for (int i = 0; i < 200 && info.si_pid == 0; ++i) {
        (void)usleep(10000);
        ASSERT_EQ(waitid(P_PID, static_cast<id_t>(c.pid), &info, WEXITED | WNOHANG | WNOWAIT), 0);
    }
    const Result r = Finish(c);
    EXPECT_EQ(r.status, 128 + SIGINT);
    EXPECT_TRUE(r.out == AllCreated(args).substr(0, r.out.size())) << r.out.size() << " bytes";
}

// The clean-up after a failed write removes the file this run made, even
// while another process keeps swapping the directory it went through for
// one it must not touch.
TEST_F(Mkfichier, CleanUpFollowsNoSwappedDirectory)
{
    constexpr int kArgs = 2000;
    const std::vector<std::string> args(kArgs, "l1/");
    std::vector<Entry> before{D("mine"), D("victim"), L("l1", "mine"), L("l2", "victim")};
    for (size_t i = 0; i < args.size(); ++i) {
        before.push_back(F("victim/" + Name(i + 1), "victim\n"));
    }
    Make(before);
    const std::string l1 = work_ + "/l1";
    const std::string l2 = work_ + "/l2";
    if (renameat2(AT_FDCWD, l1.c_str(), AT_FDCWD, l2.c_str(), RENAME_EXCHANGE) != 0) {
        GTEST_SKIP() << "cannot exchange two names here: " << strerror(errno);
    }
    const pid_t swapper = fork();
    if (swapper == 0) {
        for (;;) {
            (void)renameat2(AT_FDCWD, l1.c_str(), AT_FDCWD, l2.c_str(), RENAME_EXCHANGE);
        }
    }
    Options opt;
    opt.limits = {{RLIMIT_FSIZE, 0}};
    const Result r = Run(args, opt);
    (void)kill(swapper, SIGKILL);
    (void)waitpid(swapper, nullptr, 0);
    EXPECT_EQ(r.status, 0);
    const Form too_large = [](const std::string &file) { return CreateFailure(file, "File too large"); };
    ASSERT_EQ(ReportForms(r.out, args, too_large, Existing).size(), args.size());
    // Every victim is whole, and nothing was left in the other directory.
    const std::vector<Entry> after = Scan(work_);
    EXPECT_EQ(std::count_if(after.begin(), after.end(), [](const Entry &e) { return e.data == "victim\n"; }), kArgs);
    EXPECT_EQ(after.size(), before.size());
}

// A write that makes no progress is a full disk, not an endless loop.
TEST_F(Mkfichier, WriteWithoutProgressIsAFullDisk)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer runtime must be loaded first";
#endif
    Options opt;
    opt.preload = EnvOr("MKFICHIER_STALL_LIB", STALL_WRITES_LIB);
    const char *const enospc = "No space left on device";
    Expect({"d/", "d/"}, CreateFailure("d/fichier_01", enospc) + CreateFailure("d/fichier_02", enospc), opt);
    EXPECT_EQ(Tree(Scan(work_)), Tree({D("d")}));
}

// Long paths need no more memory or stack than a tight limit gives, and
// the results are those of a run without limits.
TEST_F(Mkfichier, TightMemoryAndStackLimitsChangeNothing)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer runtime alone needs more address space";
#endif
    std::string slashes = "a";
    slashes.append(4000, '/');
    std::string levels;
    for (int i = 0; i < 2000; ++i) {
        levels += "l/";
    }
    const std::vector<std::string> args{"x/", slashes, levels, "y/"};
    Options tight;
    tight.limits = {{RLIMIT_AS, 8 << 20}, {RLIMIT_STACK, 256 << 10}};
    for (const Options &opt : {tight, Options{}}) {
        Fresh();
        Expect(args, AllCreated(args), opt);
        for (size_t i = 0; i < args.size(); ++i) {
            EXPECT_EQ(Slurp(work_ + "/" + FileOf(args, i)), Content(i + 1)) << i;
        }
    }
}

} // namespace
