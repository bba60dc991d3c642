// The no-replace move against the real file system: the kernel's
// RENAME_NOREPLACE, the link+unlink fallback used where that is refused, and
// the look+rename one used where links are refused too.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/platform.h"
#include "platform/posix/testing.h"
#include "support/temp_directory.h"
#include "support/traced_probe.h"

namespace {

namespace fs = std::filesystem;

using Move = bool (*)(const char*, const char*);

struct MoveCase {
  const char* name;
  Move move;
};

void PrintTo(const MoveCase& moveCase, std::ostream* out) {
  *out << moveCase.name;
}

void writeFile(const char* path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}
std::string readFile(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class MoveWithoutReplacing : public testing::TestWithParam<MoveCase> {
 protected:
  ScopedWorkingDirectory directory;
};

TEST_P(MoveWithoutReplacing, RefusesAnExistingFileAndKeepsBothFilesBytes) {
  writeFile("from", "new text");
  writeFile("to", "old text");
  EXPECT_FALSE(GetParam().move("from", "to"));
  EXPECT_EQ(readFile("from"), "new text");
  EXPECT_EQ(readFile("to"), "old text");
}

TEST_P(MoveWithoutReplacing, MovesToAFreeName) {
  writeFile("from", "text");
  EXPECT_TRUE(GetParam().move("from", "to"));
  EXPECT_FALSE(fs::exists("from"));
  EXPECT_EQ(readFile("to"), "text");
  EXPECT_FALSE(GetParam().move("missing", "elsewhere"));
  EXPECT_FALSE(fs::exists("elsewhere"));
}

const MoveCase kMoves[] = {
    {"Rename", platform::renameWithoutReplacing},
    {"LinkThenUnlink", platform::renameByLinking},
    {"LookThenRename", platform::renameIfNameIsFree},
};

INSTANTIATE_TEST_SUITE_P(Table, MoveWithoutReplacing, testing::ValuesIn(kMoves),
                         [](const auto& info) { return std::string(info.param.name); });

// Some file systems refuse RENAME_NOREPLACE (EINVAL) and old kernels lack it
// (ENOSYS); only then does the move fall back to link and unlink, and only
// where links are missing too (EPERM from FAT and exFAT, EIO from rclone) to
// a look at `to` and a plain rename. The faults fall on the calls that name
// `from`, so removing a stray `to` still works.
struct RefusedMoveCase {
  const char* name;
  const char* faults;
  const char* result;
  bool fromKept;
};

void PrintTo(const RefusedMoveCase& refusedCase, std::ostream* out) {
  *out << refusedCase.name;
}

const RefusedMoveCase kRefusedMoves[] = {
    {"InvalidArgumentFallsBack", "-e inject=renameat2:error=EINVAL", "moved\n", false},
    {"NotImplementedFallsBack", "-e inject=renameat2:error=ENOSYS", "moved\n", false},
    {"OtherErrorFailsAndChangesNothing", "-e inject=renameat2:error=EXDEV", "refused\n", true},
    {"FailedLinkFails", "-e inject=renameat2:error=EINVAL -e inject=link,linkat:error=ENOSPC",
     "refused\n", true},
    {"NoLinksEitherLooksThenRenames",
     "-e inject=renameat2:error=EINVAL -e inject=link,linkat:error=EPERM", "moved\n", false},
    {"LinkInputOutputErrorLooksThenRenames",
     "-e inject=renameat2:error=EINVAL -e inject=link,linkat:error=EIO", "moved\n", false},
    {"NoLinksAndAFailingRenameFails",
     "-e inject=renameat2:error=EINVAL -e inject=link,linkat:error=EPERM "
     "-e inject=rename,renameat:error=EROFS",
     "refused\n", true},
    {"FailedUnlinkRemovesTheNewLink",
     "-e inject=renameat2:error=EINVAL -e inject=unlink,unlinkat:error=EIO", "refused\n", true},
};

class MoveTheKernelRefuses : public testing::TestWithParam<RefusedMoveCase> {
 protected:
  ScopedWorkingDirectory directory;
};

TEST_P(MoveTheKernelRefuses, FallsBackOnlyWhereNoReplaceIsUnsupported) {
  ASSERT_TRUE(straceInstalled()) << "strace is not installed (apt-get install strace)";
  writeFile("from", "text");
  const TracedRun run =
      runTracedProbe(onlyCallsOn({"from"}) + " " + GetParam().faults, "move from to");
  EXPECT_EQ(run.output, GetParam().result) << run.errors;
  EXPECT_EQ(fs::exists("from"), GetParam().fromKept);
  EXPECT_EQ(fs::exists("to"), !GetParam().fromKept);
  EXPECT_EQ(readFile(GetParam().fromKept ? "from" : "to"), "text");
}

INSTANTIATE_TEST_SUITE_P(Table, MoveTheKernelRefuses, testing::ValuesIn(kRefusedMoves),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
