// The whole-file writer: contents, permissions, replacing, and what is left
// in the folder when a write succeeds, fails or runs into a size limit, for
// both kinds of temporary file.
#include "core/atomic_file.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <vector>

#include "support/process.h"

namespace quillet {
namespace {

using namespace test;

class AtomicFileTest : public testing::TestWithParam<TemporaryKind> {
 protected:
  bool replace(const std::string& path, const std::string& contents) {
    return replace_file_contents(path, contents.data(), contents.size(), GetParam());
  }
  ScratchDir dir;
};

mode_t permissions_of(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return 07777;
  return info.st_mode & 07777;
}

TEST_P(AtomicFileTest, WritesNewFileAndReplacesOldOneLeavingOnlyTheTarget) {
  const std::string path = dir.file("out.bin");
  const std::string first(10000, 'a');
  ASSERT_TRUE(replace(path, first));
  EXPECT_EQ(read_file_bytes(path), first);
  const std::string second = std::string("b\0c", 3) + std::string(70000, 'd');
  ASSERT_TRUE(replace(path, second));
  EXPECT_EQ(read_file_bytes(path), second);
  ASSERT_TRUE(replace(path, ""));
  EXPECT_EQ(read_file_bytes(path), "");
  EXPECT_EQ(list_folder(dir.path), std::vector<std::string>{"out.bin"});
}

TEST_P(AtomicFileTest, NewFileGetsOrdinaryPermissionsLessTheUmask) {
  for (const mode_t mask : {mode_t{022}, mode_t{077}, mode_t{0}}) {
    const mode_t before = umask(mask);
    const std::string path = dir.file("mode" + std::to_string(mask));
    const bool written = replace(path, "x");
    umask(before);
    ASSERT_TRUE(written);
    EXPECT_EQ(permissions_of(path), 0666 & ~mask) << "umask " << mask;
  }
  // Replacing a file of other permissions gives the new file the ordinary ones.
  const std::string path = dir.file("narrow");
  write_file_bytes(path, "old");
  chmod(path.c_str(), 0600);
  const mode_t before = umask(022);
  ASSERT_TRUE(replace(path, "new"));
  umask(before);
  EXPECT_EQ(permissions_of(path), 0644);
}

TEST_P(AtomicFileTest, FailureLeavesTargetAsItWasAndNoTemporaryFile) {
  // A folder that does not exist.
  EXPECT_FALSE(replace(dir.file("missing/out.bin"), "x"));
  // A target that is a folder with content: nothing can be renamed over it.
  const std::string blocked = dir.file("blocked");
  ASSERT_EQ(mkdir(blocked.c_str(), 0755), 0);
  write_file_bytes(blocked + "/inside", "kept");
  EXPECT_FALSE(replace(blocked, "new"));
  EXPECT_EQ(read_file_bytes(blocked + "/inside"), "kept");
  EXPECT_EQ(list_folder(dir.path), std::vector<std::string>{"blocked"});
}

TEST_P(AtomicFileTest, LongTargetNameStillFindsRoomForItsTemporaryFile) {
  const std::string name(250, 'n');
  const std::string path = dir.file(name);
  write_file_bytes(path, "old");
  ASSERT_TRUE(replace(path, "new"));
  EXPECT_EQ(read_file_bytes(path), "new");
  EXPECT_EQ(list_folder(dir.path), std::vector<std::string>{name});
}

// In a child with a file-size limit below the contents (and SIGXFSZ ignored,
// as the renderer does), the write fails and the old file stays.
TEST_P(AtomicFileTest, FileSizeLimitFailsTheWriteAndKeepsTheOldFile) {
  const std::string path = dir.file("out.bin");
  write_file_bytes(path, "old contents");
  const TemporaryKind kind = GetParam();
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{4096, 4096};
    setrlimit(RLIMIT_FSIZE, &limit);
    const std::string contents(100000, 'z');
    _exit(replace_file_contents(path, contents.data(), contents.size(), kind) ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the write should have failed";
  EXPECT_EQ(read_file_bytes(path), "old contents");
  EXPECT_EQ(list_folder(dir.path), std::vector<std::string>{"out.bin"});
}

INSTANTIATE_TEST_SUITE_P(BothKinds, AtomicFileTest,
                         testing::Values(TemporaryKind::unnamed_where_supported, TemporaryKind::named),
                         [](const testing::TestParamInfo<TemporaryKind>& info) {
                           return info.param == TemporaryKind::named ? std::string("Named")
                                                                     : std::string("Unnamed");
                         });

}  // namespace
}  // namespace quillet
