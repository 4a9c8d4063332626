// Reading inputs that are not regular files, replacing outputs safely, and
// the temporary files that signals must not leave behind.
#include "sarnic/files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include "io/temp_dir.h"
#include "sarnic/errors.h"

namespace sarnic {
namespace {

class Files : public testing::TempDir {
 protected:
  std::string Fifo(const std::string& name) {
    EXPECT_EQ(::mkfifo(Path(name).c_str(), 0644), 0);
    return Path(name);
  }
  std::string Socket(const std::string& name) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string p = Path(name);
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", p.c_str());
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::close(fd);
    return p;
  }
  // Hidden temporary files left in the folder.
  int Leftovers() const {
    int n = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir_)) {
      n += e.path().filename().string().rfind(".", 0) == 0;
    }
    return n;
  }
};

// Runs `body` in a child process that is killed after `seconds`; the
// child's wait status.
int InChild(const std::function<void()>& body, unsigned seconds = 10) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::alarm(seconds);
    body();
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return status;
}

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  ::lstat(path.c_str(), &st);
  return st.st_mode;
}

TEST_F(Files, InputsThatAreNotRegularFilesAreRefusedWithoutBlocking) {
  const struct {
    const char* what;
    std::string path;
    const char* message;
  } rows[] = {
      {"FIFO without a writer", Fifo("fifo"), "not a regular file"},
      {"endless device", "/dev/zero", "not a regular file"},
      {"folder", dir_.string(), "not a regular file"},
      {"socket", Socket("sock"), "not a regular file"},
      {"NUL in the path", Write("a", "x") + std::string(1, '\0') + "b",
       "NUL byte"},
      {"missing file", Path("absent"), "No such file"},
  };
  for (const auto& r : rows) {
    // In a child: a read that blocks is killed by the alarm, not the suite.
    const int status = InChild([&] {
      for (int how = 0; how < 3; ++how) {
        try {
          if (how == 0) ReadFileText(r.path, "graph file");
          if (how == 1) MappedFile::Open(r.path, "weights file");
          if (how == 2) RegularFileSize(r.path, "SVM file");
          ::_exit(10 + how);  // accepted
        } catch (const IoError& e) {
          const std::string m = e.what();
          if (m.find(r.message) == std::string::npos ||
              m.find(r.path.substr(0, r.path.find('\0'))) ==
                  std::string::npos) {
            ::_exit(20 + how);  // refused for another reason or unnamed
          }
        }
      }
    });
    ASSERT_TRUE(WIFEXITED(status)) << r.what << ": hung or crashed";
    EXPECT_EQ(WEXITSTATUS(status), 0) << r.what;
  }
}

TEST_F(Files, ReadsNoMoreThanTheFileHoldsOrItsLimitAllows) {
  EXPECT_EQ(ReadFileText(Write("t", "text"), "labels file"), "text");
  EXPECT_EQ(ReadFileText(Write("e", ""), "labels file"), "");
  // 3 GiB that take no disk: refused from the size alone.
  const std::string sparse = Path("sparse");
  {
    const int fd = ::open(sparse.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_EQ(::ftruncate(fd, off_t{3} << 30), 0);
    ::close(fd);
  }
  try {
    MappedFile::Open(sparse, "model file", std::size_t{1} << 31);
    FAIL();
  } catch (const IoError& e) {
    EXPECT_NE(std::string(e.what()).find("3221225472 bytes, more than"),
              std::string::npos)
        << e.what();
  }
  const auto mapped = MappedFile::Open(Write("m", "abc"), "model file", 3);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(mapped->data()), 3),
            "abc");
  EXPECT_EQ(MappedFile::Open(Write("z", ""), "model file")->size(), 0u);
}

TEST_F(Files, OnlyRegularFilesAreReplaced) {
  const struct {
    const char* what;
    std::string path;
    mode_t type;
  } rows[] = {
      {"FIFO", Fifo("out.fifo"), S_IFIFO},
      {"socket", Socket("out.sock"), S_IFSOCK},
      {"folder", (std::filesystem::create_directory(Path("d")), Path("d")),
       S_IFDIR},
  };
  for (const auto& r : rows) {
    try {
      WriteFileAtomically(r.path, "model", 5);
      ADD_FAILURE() << r.what << " was replaced";
    } catch (const IoError& e) {
      EXPECT_NE(std::string(e.what()).find("not a regular file"),
                std::string::npos)
          << r.what << ": " << e.what();
    }
    EXPECT_EQ(ModeOf(r.path) & S_IFMT, r.type) << r.what;
  }
  EXPECT_EQ(Leftovers(), 0);
}

TEST_F(Files, NewFilesFollowTheUmaskAndReplacedFilesKeepTheirMode) {
  const mode_t old_umask = ::umask(027);
  WriteFileAtomically(Path("new.snx"), "a", 1);
  ::umask(old_umask);
  EXPECT_EQ(ModeOf(Path("new.snx")) & 07777, 0640u);

  for (const mode_t mode : {0600u, 0755u, 0444u}) {
    Write("old.snx", "old");
    ASSERT_EQ(::chmod(Path("old.snx").c_str(), mode), 0);
    WriteFileAtomically(Path("old.snx"), "new", 3);
    EXPECT_EQ(ModeOf(Path("old.snx")) & 07777, mode);
    EXPECT_EQ(Read("old.snx"), "new");
  }
  EXPECT_EQ(Leftovers(), 0);
}

// A file written as it is made: in blocks through a stream, and all or
// nothing: a writer that fails midway leaves the old file and no temporary.
TEST_F(Files, StreamedWritesReplaceTheFileOnlyWhenComplete) {
  std::string expected;
  for (int i = 0; i < 100000; ++i) expected += std::to_string(i) + ",";
  expected += std::string(200000, 'x');  // one piece larger than a block
  WriteFileAtomically(Path("r.html"), "report", [&](std::ostream& o) {
    for (int i = 0; i < 100000; ++i) o << i << ",";
    o << std::string(200000, 'x');
  });
  EXPECT_EQ(Read("r.html"), expected);
  EXPECT_THROW(WriteFileAtomically(Path("r.html"), "report",
                                   [](std::ostream& o) {
                                     o << std::string(300000, 'y');
                                     throw ValueError("writer failed");
                                   }),
               ValueError);
  EXPECT_EQ(Read("r.html"), expected);
  EXPECT_EQ(Leftovers(), 0);
}

// Set-user-ID, set-group-ID and sticky bits never carry over to the new
// file (root replacing another user's file would otherwise make a
// set-user-ID file owned by root): the permission bits only.
TEST_F(Files, ReplacedFilesKeepOnlyTheirPermissionBits) {
  for (const mode_t mode : {06755u, 04711u, 02750u, 01644u}) {
    Write("old.snx", "old");
    ASSERT_EQ(::chmod(Path("old.snx").c_str(), mode), 0);
    WriteFileAtomically(Path("old.snx"), "new", 3);
    EXPECT_EQ(ModeOf(Path("old.snx")) & 07777, mode & 0777) << std::oct << mode;
  }
}

TEST_F(Files, ASymbolicLinkIsReplacedAndWhatItNamedIsLeftAlone) {
  Write("target.snx", "kept");
  std::filesystem::create_symlink(Path("target.snx"), Path("link.snx"));
  WriteFileAtomically(Path("link.snx"), "model", 5);
  EXPECT_FALSE(std::filesystem::is_symlink(Path("link.snx")));
  EXPECT_EQ(Read("link.snx"), "model");
  EXPECT_EQ(Read("target.snx"), "kept");
}

TEST_F(Files, WouldReplaceFollowsWhatTheWriteWouldDo) {
  Write("in.json", "graph");
  Write("other.json", "graph");
  std::filesystem::create_directory(Path("sub"));
  std::filesystem::create_symlink(Path("in.json"), Path("link.json"));
  ASSERT_EQ(::link(Path("in.json").c_str(), Path("hard.json").c_str()), 0);
  const struct {
    std::string output, input;
    bool replaces;
  } rows[] = {
      {Path("in.json"), Path("in.json"), true},
      {Path("sub/../in.json"), Path("in.json"), true},  // another spelling
      {Path("hard.json"), Path("in.json"), true},       // a second name
      {Path("in.json"), Path("link.json"), true},       // read through a link
      {Path("link.json"), Path("in.json"), false},      // the link is replaced
      {Path("other.json"), Path("in.json"), false},     // equal content only
      {Path("new.snx"), Path("in.json"), false},        // no output yet
      {Path("in.json"), Path("gone.json"), false},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(WouldReplace(r.output, r.input), r.replaces)
        << r.output << " over " << r.input;
  }
}

TEST_F(Files, SameDestinationNamesOneFileWrittenTwice) {
  Write("a.snx", "model");
  std::filesystem::create_directory(Path("sub"));
  std::filesystem::create_symlink(Path("a.snx"), Path("link.snx"));
  ASSERT_EQ(::link(Path("a.snx").c_str(), Path("hard.snx").c_str()), 0);
  const struct {
    std::string a, b;
    bool same;
  } rows[] = {
      {Path("new.snx"), Path("sub/../new.snx"), true},  // neither exists
      {Path("a.snx"), Path("hard.snx"), true},
      {Path("a.snx"), Path("link.snx"), false},  // the link is replaced
      {Path("link.snx"), Path("a.snx"), false},
      {Path("a.snx"), Path("sub/a.snx"), false},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(SameDestination(r.a, r.b), r.same) << r.a << " and " << r.b;
  }
}

TEST_F(Files, SignalsRemoveTemporaryFilesAndEndTheProcessAsUsual) {
  for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
    const int status = InChild([&] {
      RemoveTemporaryFilesOnSignals();
      TemporaryFile file(Path("out.snx"), "");
      file.Write("partial", 7);
      ::raise(sig);
      ::_exit(3);  // not reached
    });
    ASSERT_TRUE(WIFSIGNALED(status)) << sig;
    EXPECT_EQ(WTERMSIG(status), sig);
    EXPECT_EQ(Leftovers(), 0) << sig;
    EXPECT_FALSE(std::filesystem::exists(Path("out.snx")));
  }
  // A signal the process ignores stays ignored.
  const int status = InChild([&] {
    ::signal(SIGINT, SIG_IGN);
    RemoveTemporaryFilesOnSignals();
    WriteFileAtomically(Path("out.snx"), "m", 1);
    ::raise(SIGINT);
  });
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(Read("out.snx"), "m");
  EXPECT_EQ(Leftovers(), 0);
  // A handler of the host's (an interpreter's) stays its own.
  const int hosted = InChild([&] {
    ::signal(SIGTERM, [](int) { ::_exit(7); });
    RemoveTemporaryFilesOnSignals();
    ::raise(SIGTERM);
  });
  EXPECT_TRUE(WIFEXITED(hosted) && WEXITSTATUS(hosted) == 7) << hosted;
}

// A weights file truncated while it is mapped: the read of a lost page is
// one line naming the file and status 1, and no temporary file is left.
TEST_F(Files, AMappedFileTruncatedWhileReadIsReportedByName) {
  Write("w.safetensors", std::string(1 << 16, 'w'));
  const int status = InChild([&] {
    ::freopen(Path("err").c_str(), "w", stderr);
    ReportTruncatedMappedFiles();
    RemoveTemporaryFilesOnSignals();
    TemporaryFile out(Path("m.snx"), "model");
    const auto file = MappedFile::Open(Path("w.safetensors"), "weights file");
    ::truncate(Path("w.safetensors").c_str(), 0);
    volatile std::byte b = file->data()[(1 << 16) - 1];
    (void)b;
    ::_exit(3);  // not reached
  });
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_EQ(Read("err"), "error: weights file " + Path("w.safetensors") +
                             " changed while it was read (was it truncated "
                             "or rewritten?); nothing was written\n");
  EXPECT_EQ(Leftovers(), 0);
}

}  // namespace
}  // namespace sarnic
