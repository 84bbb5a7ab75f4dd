#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "store/file/file_safety.hpp"
#include "scratch_folder.hpp"

namespace {

using namespace quenvistrel_cli;

class FileSafety : public ScratchFolder {
 protected:
  FileSafety() : ScratchFolder("data") {}

  std::shared_ptr<MappedFile> mapped(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    struct stat st {};
    EXPECT_EQ(::fstat(fd, &st), 0);
    auto file = MappedFile::map(fd, st);
    EXPECT_TRUE(file);
    return *file;
  }
};

TEST_F(FileSafety, ReplacementWritesAndCopiesThenTakesThePlaceOfTheFile) {
  put(path_, "old");
  ASSERT_EQ(::chmod(path_.c_str(), 0640), 0);
  const std::string source_path = dir_ + "/source";
  put(source_path, "0123456789");
  const auto source = mapped(source_path);

  auto target = resolve_replace_target(path_);
  ASSERT_TRUE(target);
  {
    FileReplacement replacement(*target, real_file_calls(), "the file");
    replacement.write("<");
    replacement.copy(source->fd(), 2, source->bytes().substr(2, 5));
    replacement.write(">");
    EXPECT_EQ(get(path_), "old") << "nothing shows before the commit";
    ASSERT_TRUE(replacement.commit());
  }
  EXPECT_EQ(get(path_), "<23456>");
  struct stat st {};
  ASSERT_EQ(::stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(entries().size(), 2u);
}

TEST_F(FileSafety, ReplacementThatIsNotCommittedOrFailsLeavesNothing) {
  put(path_, "old");
  auto target = resolve_replace_target(path_);
  ASSERT_TRUE(target);
  { FileReplacement abandoned(*target, real_file_calls(), "the file"); }
  EXPECT_EQ(entries(), std::vector<std::string>{"data"});

  // Copying falls back to writing where the file systems cannot copy; a caller's failure
  // wins over everything else.
  FileCalls no_copy = real_file_calls();
  no_copy.copy_file_range = [](int, off_t*, int, off_t*, std::size_t, unsigned) -> ssize_t {
    return errno = EXDEV, -1;
  };
  const std::string source_path = dir_ + "/source";
  put(source_path, "abc");
  const auto source = mapped(source_path);
  {
    FileReplacement replacement(*target, no_copy, "the file");
    replacement.copy(source->fd(), 0, source->bytes());
    ASSERT_TRUE(replacement.commit());
  }
  EXPECT_EQ(get(path_), "abc");
  {
    FileReplacement replacement(*target, real_file_calls(), "the file");
    replacement.write("new");
    replacement.fail("gave up");
    auto committed = replacement.commit();
    ASSERT_FALSE(committed);
    EXPECT_EQ(committed.error(), "gave up");
  }
  EXPECT_EQ(get(path_), "abc");
  EXPECT_EQ(entries().size(), 2u);
}

// A file system that shares blocks clones only whole blocks at equal places: a run that lies
// at the same place within a block in both files is copied from its first block boundary to
// its last, the ragged ends written.
struct CopyCall {
  off_t from, to;
  std::size_t size;
};
std::vector<CopyCall> copy_calls;

TEST_F(FileSafety, CopiesRunsBlockAlignedAtEqualOffsets) {
  const std::string source_path = dir_ + "/source";
  std::string text;
  for (int i = 0; text.size() < 40000; ++i) text += std::to_string(i) + ',';
  put(source_path, text);
  const auto source = mapped(source_path);
  FileCalls recording = real_file_calls();
  recording.copy_file_range = [](int from, off_t* from_offset, int to, off_t* to_offset, std::size_t size,
                                 unsigned flags) -> ssize_t {
    copy_calls.push_back({*from_offset, ::lseek(to, 0, SEEK_CUR), size});
    return ::copy_file_range(from, from_offset, to, to_offset, size, flags);
  };
  auto target = resolve_replace_target(path_);
  ASSERT_TRUE(target);
  std::uint64_t metered = 0;
  {
    FileReplacement replacement(*target, recording, "the file");
    replacement.watch([&metered](std::uint64_t written) { metered = written; });
    replacement.write(text.substr(0, 100));  // an unchanged head, as the state's is
    replacement.copy(source->fd(), 100, source->bytes().substr(100, 30000));
    replacement.write("]");
    replacement.copy(source->fd(), 7, source->bytes().substr(7, 9000));  // elsewhere: copied as it is
    ASSERT_TRUE(replacement.commit());
  }
  EXPECT_EQ(get(path_), text.substr(0, 30100) + "]" + text.substr(7, 9000));
  EXPECT_EQ(metered, 39101u);
  struct stat st {};
  ASSERT_EQ(::stat(path_.c_str(), &st), 0);
  const auto block = static_cast<off_t>(st.st_blksize);
  ASSERT_EQ(copy_calls.size(), 2u);
  EXPECT_EQ(copy_calls[0].from, block);
  EXPECT_EQ(copy_calls[0].to, block);
  EXPECT_EQ(copy_calls[0].size, static_cast<std::size_t>((30100 / block - 1) * block));
  EXPECT_EQ(copy_calls[1].from, 7);
  EXPECT_EQ(copy_calls[1].size, 9000u);
}

TEST_F(FileSafety, MappingNoticesAFileThatShrankOrChanged) {
  put(path_, std::string(3 * 4096, 'x'));
  const auto file = mapped(path_);
  EXPECT_TRUE(file->unchanged());
  EXPECT_FALSE(file->damaged());
  ASSERT_EQ(::truncate(path_.c_str(), 4096), 0);
  // The lost pages read as zeros instead of killing the process.
  EXPECT_EQ(file->bytes()[2 * 4096], '\0');
  EXPECT_EQ(file->bytes()[0], 'x');
  EXPECT_TRUE(file->damaged());
  EXPECT_FALSE(file->unchanged());
  EXPECT_TRUE(file->holds(file->bytes().substr(5, 10)));
  EXPECT_FALSE(file->holds("elsewhere"));
}

TEST_F(FileSafety, FolderLockExcludesOthersUntilReleased) {
  auto lock = lock_folder(dir_);
  ASSERT_TRUE(lock);
  ASSERT_TRUE(lock->held());
  const int other = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY);
  EXPECT_NE(::flock(other, LOCK_EX | LOCK_NB), 0);
  *lock = FolderLock();
  EXPECT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
  ::close(other);
  auto missing = lock_folder(dir_ + "/absent");
  ASSERT_TRUE(missing);
  EXPECT_FALSE(missing->held());
}

}  // namespace
