// SPDX-License-Identifier: MIT
/*
 * Tests of the durable configuration write: contents, mode and owner of the
 * replaced file, the reused temporary file, failing steps on real file
 * systems (a full tmpfs, a directory in the way, a linked temporary name),
 * and whole-file visibility for a reader while two processes keep replacing
 * the file.
 */
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>

#include "confutils.h"
#include "needs.h"
#include "temp_dir.h"

namespace {

std::set<std::string> dir_entries(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    names.insert(e.path().filename().string());
  return names;
}

/* Calls the function and returns the error it set, if any. */
struct WriteResult {
  gboolean ok;
  GQuark domain = 0;
  int code = 0;
  std::string message;
};

WriteResult set_contents(const std::string& path, const std::string& data) {
  GError* error = nullptr;
  WriteResult r;
  r.ok = confutils_set_file_contents_with_sync(path.c_str(), data.data(),
                                               static_cast<gssize>(data.size()), &error);
  if (error) {
    r.domain = error->domain;
    r.code = error->code;
    r.message = error->message;
    g_error_free(error);
  }
  return r;
}

/* A tmpfs mounted on a directory, always unmounted at scope end. */
class ScopedMount {
 public:
  explicit ScopedMount(std::string dir) : dir_(std::move(dir)) {
    std::filesystem::create_directories(dir_);
  }
  ~ScopedMount() {
    if (mounted_) umount2(dir_.c_str(), MNT_DETACH);
  }
  bool tmpfs(const char* options) {
    mounted_ = mount("tmpfs", dir_.c_str(), "tmpfs", 0, options) == 0;
    return mounted_;
  }
  const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
  bool mounted_ = false;
};

/* Fills the file system holding dir until no data block is left. */
void fill_up(const std::string& dir) {
  int fd = open((dir + "/filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  std::string block(4096, 'x');
  while (write(fd, block.data(), block.size()) > 0) {
  }
  int err = errno;
  close(fd);
  ASSERT_EQ(err, ENOSPC);
}

/* A target with a FIFO at its temporary name; with reader, the FIFO is held
 * open for reading until the test ends, so that a writer's open succeeds. */
std::string fifo_at_temporary(const std::string& d, bool reader) {
  write_file(d + "/app.conf", "original\n");
  EXPECT_EQ(mkfifo((d + "/.app.conf.tmp").c_str(), 0600), 0);
  if (reader) {
    EXPECT_GE(open((d + "/.app.conf.tmp").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC), 0);
  }
  return d + "/app.conf";
}

}  // namespace

TEST(Confutils, ReplacesContentsKeepingModeAndOwner) {
  SKIP_UNLESS(Need::Root);
  struct Case {
    mode_t mode;
    uid_t uid;
    gid_t gid;
    std::string before, after;
  };
  const Case cases[] = {
      {0640, 1234, 5678, "short", std::string(100000, 'n') + "\nend\n"},
      {0600, 0, 0, std::string(5000, 'o'), "x"},
      {0664, 0, 4321, "old\n", ""},
      {0444, 77, 0, "read only for all\n", "still replaced\n"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    std::string path = dir.file("app.conf");
    write_file(path, c.before);
    ASSERT_EQ(chown(path.c_str(), c.uid, c.gid), 0);
    ASSERT_EQ(chmod(path.c_str(), c.mode), 0);

    WriteResult r = set_contents(path, c.after);
    ASSERT_TRUE(r.ok) << r.message;
    EXPECT_EQ(r.message, "");

    EXPECT_EQ(read_file(path), c.after);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, c.mode);
    EXPECT_EQ(st.st_uid, c.uid);
    EXPECT_EQ(st.st_gid, c.gid);
    EXPECT_EQ(dir_entries(dir.path()), std::set<std::string>{"app.conf"});
  }
}

TEST(Confutils, LengthCountsBytesAndMinusOneMeansNulTerminated) {
  TempDir dir;
  std::string path = dir.file("app.conf");
  write_file(path, "old");

  std::string with_nul("a\0b\n", 4);
  ASSERT_TRUE(set_contents(path, with_nul).ok);
  EXPECT_EQ(read_file(path), with_nul);

  GError* error = nullptr;
  ASSERT_TRUE(confutils_set_file_contents_with_sync(path.c_str(), "text\0hidden", -1, &error));
  EXPECT_EQ(error, nullptr);
  EXPECT_EQ(read_file(path), "text");
}

TEST(Confutils, CreatesMissingFile) {
  TempDir dir;
  std::string path = dir.file("new.conf");
  ASSERT_TRUE(set_contents(path, "fresh\n").ok);
  EXPECT_EQ(read_file(path), "fresh\n");
  EXPECT_EQ(dir_entries(dir.path()), std::set<std::string>{"new.conf"});
}

TEST(Confutils, ReusesTemporaryFileLeftByAnInterruptedWrite) {
  SKIP_UNLESS(Need::Root);
  TempDir dir;
  std::string path = dir.file("app.conf");
  std::string temp = dir.file(".app.conf.tmp");
  write_file(path, "old\n");
  ASSERT_EQ(chmod(path.c_str(), 0640), 0);
  /* Longer than the new contents, and with another owner and mode. */
  write_file(temp, std::string(20000, 'j'));
  ASSERT_EQ(chown(temp.c_str(), 999, 999), 0);
  ASSERT_EQ(chmod(temp.c_str(), 0666), 0);

  ASSERT_TRUE(set_contents(path, "new\n").ok);
  EXPECT_EQ(read_file(path), "new\n");
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(dir_entries(dir.path()), std::set<std::string>{"app.conf"});
}

TEST(Confutils, FailedWriteOnFullFileSystemKeepsOriginalAndRemovesTemporary) {
  TempDir base;
  ScopedMount mnt(base.file("fs"));
  if (!mnt.tmpfs("size=16k")) GTEST_SKIP() << "cannot mount tmpfs: " << std::strerror(errno);
  std::string path = mnt.dir() + "/app.conf";
  write_file(path, "original contents\n");
  fill_up(mnt.dir());
  int fds = count_open_fds();

  WriteResult r = set_contents(path, std::string(10000, 'n'));
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.domain, G_FILE_ERROR);
  EXPECT_EQ(r.code, G_FILE_ERROR_NOSPC);
  EXPECT_EQ(r.message, "Failed to write temporary file " + mnt.dir() + "/.app.conf.tmp: " +
                           g_strerror(ENOSPC));
  EXPECT_EQ(read_file(path), "original contents\n");
  EXPECT_EQ(dir_entries(mnt.dir()), (std::set<std::string>{"app.conf", "filler"}));
  EXPECT_EQ(count_open_fds(), fds);
}

TEST(Confutils, EachFailingStepIsNamedAndLeavesNoTemporary) {
  struct Case {
    const char* name;
    /* Prepares dir and returns the target path. */
    std::string (*prepare)(const std::string& dir);
    std::string expected_prefix;
    int code;
  };
  const Case cases[] = {
      {"missing directory", [](const std::string& d) { return d + "/nodir/app.conf"; },
       "Failed to open temporary file ", G_FILE_ERROR_NOENT},
      /* The temporary name is a link to another file, which must not be
       * written through. */
      {"temporary is a symlink",
       [](const std::string& d) {
         write_file(d + "/victim", "victim\n");
         EXPECT_EQ(symlink((d + "/victim").c_str(), (d + "/.app.conf.tmp").c_str()), 0);
         write_file(d + "/app.conf", "original\n");
         return d + "/app.conf";
       },
       "Failed to open temporary file ", G_FILE_ERROR_LOOP},
      /* Nothing but a regular file is replaced, or reused as the temporary
       * file: unread, a FIFO would hold a blocking open for ever. */
      {"target is a directory",
       [](const std::string& d) {
         std::filesystem::create_directory(d + "/app.conf");
         return d + "/app.conf";
       },
       "Failed to replace ", G_FILE_ERROR_FAILED},
      {"target is a FIFO",
       [](const std::string& d) {
         EXPECT_EQ(mkfifo((d + "/app.conf").c_str(), 0600), 0);
         return d + "/app.conf";
       },
       "Failed to replace ", G_FILE_ERROR_FAILED},
      {"temporary is a FIFO", [](const std::string& d) { return fifo_at_temporary(d, false); },
       "Failed to open temporary file ", G_FILE_ERROR_FAILED},
      {"temporary is a FIFO being read", [](const std::string& d) { return fifo_at_temporary(d, true); },
       "Failed to open temporary file ", G_FILE_ERROR_FAILED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    std::string path = c.prepare(dir.path());
    std::set<std::string> before = dir_entries(dir.path());
    int fds = count_open_fds();

    WriteResult r = set_contents(path, "new\n");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.code, c.code) << r.message;
    EXPECT_EQ(r.message.rfind(c.expected_prefix, 0), 0u) << r.message;
    if (c.code == G_FILE_ERROR_FAILED) {
      EXPECT_NE(r.message.find(": Not a regular file"), std::string::npos) << r.message;
    }
    EXPECT_EQ(dir_entries(dir.path()), before);
    EXPECT_EQ(count_open_fds(), fds);
    if (std::filesystem::exists(dir.file("victim"))) {
      EXPECT_EQ(read_file(dir.file("victim")), "victim\n");
      EXPECT_EQ(read_file(dir.file("app.conf")), "original\n");
    }
  }
}

/* Two processes keep replacing the file with large contents of their own
 * while this one reads it: every read is one whole version. */
TEST(Confutils, ReaderAlwaysSeesOneWholeVersionWhileTwoProcessesWrite) {
  TempDir dir;
  std::string path = dir.file("app.conf");
  const std::string versions[] = {std::string(300000, 'a'), std::string(200000, 'b')};
  write_file(path, versions[0]);

  pid_t writers[2] = {-1, -1};
  /* Writers still running when an assertion fails are stopped. */
  struct Reaper {
    pid_t* pids;
    ~Reaper() {
      for (int w = 0; w < 2; ++w)
        if (pids[w] > 0) {
          kill(pids[w], SIGKILL);
          waitpid(pids[w], nullptr, 0);
        }
    }
  } reaper{writers};
  for (int w = 0; w < 2; ++w) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      for (int i = 0; i < 40; ++i)
        if (!set_contents(path, versions[w]).ok) _exit(1);
      _exit(0);
    }
    writers[w] = pid;
  }

  int reads = 0;
  int statuses[2] = {-1, -1};
  while (writers[0] > 0 || writers[1] > 0) {
    for (int w = 0; w < 2; ++w)
      if (writers[w] > 0 && waitpid(writers[w], &statuses[w], WNOHANG) == writers[w])
        writers[w] = -1;
    std::string seen = read_file(path);
    ASSERT_TRUE(seen == versions[0] || seen == versions[1]) << "size " << seen.size();
    ++reads;
  }
  EXPECT_GT(reads, 1);
  for (int status : statuses) EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  std::string last = read_file(path);
  EXPECT_TRUE(last == versions[0] || last == versions[1]);
  EXPECT_EQ(dir_entries(dir.path()), std::set<std::string>{"app.conf"});
}
