// Reading a file chunk by chunk must give exactly what reading its whole text gives, wherever
// the chunk boundaries fall: inside keys, strings, escapes, numbers and multi-byte characters.
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "quenvistrel_contracts/json/records.hpp"

namespace {

using namespace quenvistrel_contracts;
namespace qj = quenvistrel_contracts::json;

class StreamedRead : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/json_stream_test.XXXXXX";
    const int fd = ::mkstemp(pattern);
    ASSERT_GE(fd, 0);
    ::close(fd);
    path_ = pattern;
  }
  void TearDown() override { std::remove(path_.c_str()); }

  void put(const std::string& text) {
    std::FILE* f = std::fopen(path_.c_str(), "wb");
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
  }
  // The streamed read with chunks of `chunk` bytes.
  std::expected<void, std::string> stream(std::vector<VistrelRollup>& into, std::size_t chunk) {
    auto file = qj::ReadableFile::open(path_);
    EXPECT_TRUE(file);
    return qj::detail::stream_into(*file, qj::Codec<std::vector<VistrelRollup>>::ops, &into, chunk);
  }

  std::string path_;
};

TEST_F(StreamedRead, AgreesWithTheWholeTextForEveryChunkSize) {
  std::vector<VistrelRollup> rollups(3);
  for (std::size_t i = 0; i < rollups.size(); ++i) {
    rollups[i].rollup_id = RollupId::generate();
    rollups[i].product_id = *Slug::try_from("edge-gateway");
    rollups[i].event_type = "login \"failed\" \xc3\xa9\xe2\x82\xac\\n" + std::string(i * 7, 'x');
    rollups[i].bucket_start = -1717236000 * static_cast<std::int64_t>(i);
    rollups[i].count = 18446744073709551615u - i;
  }
  std::string text;
  qj::write_pretty(text, rollups);
  text += " \n\t ";
  put(text);
  for (std::size_t chunk = 1; chunk <= 23; ++chunk) {
    std::vector<VistrelRollup> read;
    ASSERT_TRUE(stream(read, chunk)) << chunk;
    EXPECT_EQ(read, rollups) << chunk;
  }
  EXPECT_EQ(*qj::read_json_file<std::vector<VistrelRollup>>(path_), rollups);
}

// A chunk that ends inside a character or an escape, with more than the parser's 4 KiB buffer
// before the string's next escape: the parser resumes the cut sequence without overrunning it.
TEST_F(StreamedRead, ResumesACutCharacterOrEscapeBeforeALongRun) {
  // The first value puts the cut, at the chunk's end, more than 4 KiB into the text.
  const std::vector<std::string> values{std::string(5000, 'a'),
                                        "\xc3\xa9" + std::string(5000, 'x') + "\n" + std::string(100, 'y'),
                                        "\x01" + std::string(5000, 'x') + "\t" + std::string(100, 'y')};
  std::string text;
  qj::write_pretty(text, values);
  put(text);
  // Chunk sizes that end the first chunks (after the few bytes read to tell the format) in the
  // cut sequences.
  for (const std::size_t at : {text.find('\xc3'), text.find("\\u0001")}) {
    for (std::size_t chunk = at - 4; chunk <= at + 4; ++chunk) {
      auto file = qj::ReadableFile::open(path_);
      ASSERT_TRUE(file);
      std::vector<std::string> read;
      ASSERT_TRUE(qj::detail::stream_into(*file, qj::Codec<std::vector<std::string>>::ops, &read, chunk)) << chunk;
      EXPECT_EQ(read, values) << chunk;
    }
  }
}

TEST_F(StreamedRead, FaultsAreReportedAsTheWholeTextReportsThem) {
  const std::string cases[] = {
      "[] []",                                      // a second value
      "[] x",                                       // trailing garbage after whitespace
      "[{\"rollup_id\": 5}]",                       // wrong type
      "[",                                          // unfinished
      "",                                           // empty
      "[{\"count\": 1, \"count\": 2}]",              // duplicate field
      "[true]", "false", "[null]",                  // literals, split or whole
      "[\"\xed\"][\x80\"",                          // a bad byte just before a stop
  };
  for (const auto& text : cases) {
    put(text);
    auto whole = qj::read_json<std::vector<VistrelRollup>>(text);
    ASSERT_FALSE(whole);
    for (std::size_t chunk : {1, 2, 1 << 20}) {
      std::vector<VistrelRollup> read;
      auto streamed = stream(read, chunk);
      ASSERT_FALSE(streamed) << text << " / " << chunk;
      EXPECT_EQ(streamed.error(), whole.error()) << text << " / " << chunk;
    }
  }
  EXPECT_EQ(qj::read_json_file<std::vector<VistrelRollup>>(path_ + ".absent").error(), "No such file or directory");
  EXPECT_EQ(qj::read_json_file<std::vector<VistrelRollup>>("/tmp").error(), "Is a directory");
}

using Rollups = std::vector<VistrelRollup>;

// A valid array of `count` rollups, a MiB for every three thousand or so, so a fault placed after
// it lies beyond the first chunks of a streamed read.
std::string many_rollups(std::size_t count) {
  std::vector<VistrelRollup> rollups(count);
  for (auto& r : rollups) {
    r.product_id = *Slug::try_from("edge");
    r.event_type = "login_failed";
  }
  std::string text;
  qj::write_pretty(text, rollups);
  return text;
}

// Only the text up to the fault is read again, and it gives the message the whole text gives.
TEST_F(StreamedRead, FaultsFarIntoTheFileAreReportedExactly) {
  const std::string valid = many_rollups(7000);
  ASSERT_GT(valid.size(), 2u << 20);
  const std::string body = valid.substr(0, valid.size() - 1);  // without the closing bracket
  const std::string cases[] = {
      body + ", {\"count\": -1}]",  // a range error
      body + ", {\"count\": 1.5}]",  // a number at the end of what is read again
      body + ", \"a\\qb\"]",         // a bad escape
      body + ", tru]",              // a broken literal
      valid + "\n\n  x",            // trailing characters after lines of whitespace
      body + ",",                    // the end of the input
  };
  const auto lines = static_cast<std::size_t>(std::count(valid.begin(), valid.end(), '\n'));
  for (const auto& text : cases) {
    put(text);
    auto file = qj::read_json_file<Rollups>(path_);
    ASSERT_FALSE(file);
    EXPECT_EQ(file.error(), qj::read_json<Rollups>(text).error());
    const std::size_t at = file.error().find(" at line ");
    ASSERT_NE(at, std::string::npos) << file.error();
    EXPECT_GE(std::stoul(file.error().substr(at + 9)), lines) << file.error();
  }
}

// A fault at the start of a file whose size is a terabyte (sparse: nothing is stored) is
// found at once; reading it whole again would never end.
TEST_F(StreamedRead, AFaultNearTheStartCostsNoMoreThanItsOffset) {
  put("[{\"skipped\": " + std::string(200, '['));
  ASSERT_EQ(::truncate(path_.c_str(), off_t{1} << 40), 0);
  auto file = qj::read_json_file<Rollups>(path_);
  ASSERT_FALSE(file);
  EXPECT_EQ(file.error(), "recursion limit exceeded at line 1 column 140");
  // The same for an input that never ends.
  auto zero = qj::read_json_file<Rollups>("/dev/zero");
  ASSERT_FALSE(zero);
  EXPECT_EQ(zero.error(), "expected value at line 1 column 1");
}

class PipeRead : public StreamedRead {
 protected:
  void SetUp() override {
    StreamedRead::SetUp();
    std::remove(path_.c_str());
    ASSERT_EQ(::mkfifo(path_.c_str(), 0600), 0);
  }
};

// Opening a FIFO waits for a writer; with none, reading would wait for ever.
TEST_F(PipeRead, AFifoWithoutAWriterFailsAtOnce) {
  auto file = qj::read_json_file<Rollups>(path_);
  ASSERT_FALSE(file);
  EXPECT_EQ(file.error(), qj::ReadableFile::NO_WRITER);
}

// A writer that holds the FIFO open and writes late is waited for; its text is read whole,
// and a fault in it is reported as in a file, from the bytes already read.
TEST_F(PipeRead, AFifoWithASlowWriterIsReadAsItComes) {
  const std::string valid = many_rollups(3000);
  for (const std::string& text : {valid, valid.substr(0, valid.size() - 1) + ", 7]"}) {
    // A writer without waiting for a reader; it gives up rather than wait for ever on a
    // reader that stopped early.
    const int writer = ::open(path_.c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(writer, 0);
    std::thread late([writer, &text] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      for (std::size_t at = 0; at < text.size();) {
        const ssize_t n = ::write(writer, text.data() + at, text.size() - at);
        if (n > 0) {
          at += static_cast<std::size_t>(n);
          continue;
        }
        pollfd ready{writer, POLLOUT, 0};
        if (errno != EAGAIN || ::poll(&ready, 1, 5000) != 1) break;
      }
      ::close(writer);
    });
    auto file = qj::read_json_file<Rollups>(path_);
    late.join();
    auto whole = qj::read_json<Rollups>(text);
    ASSERT_EQ(file.has_value(), whole.has_value()) << (file ? "" : file.error());
    if (whole) {
      EXPECT_EQ(*file, *whole);
    } else {
      EXPECT_EQ(file.error(), whole.error());
    }
  }
}

// A stream cannot be read again, so its text is followed as it is read: a fault after 256 MiB
// of whitespace is described exactly, in a child whose peak memory stays far below that.
TEST(StreamFault, FarIntoAPipeCostsMemoryIndependentOfItsOffset) {
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(ends[1]);
    rusage before{};
    ::getrusage(RUSAGE_SELF, &before);
    auto file = qj::read_json_file<Rollups>("/dev/fd/" + std::to_string(ends[0]));
    rusage after{};
    ::getrusage(RUSAGE_SELF, &after);
    const bool exact = !file && file.error() == "expected value at line 2 column 268435457";
    std::_Exit(exact && after.ru_maxrss - before.ru_maxrss < 64 * 1024 ? 0 : 1);
  }
  ::close(ends[0]);
  const std::string spaces(1 << 20, ' ');
  bool written = ::write(ends[1], "[\n", 2) == 2;
  for (int i = 0; i < 256 && written; ++i) {
    for (std::size_t at = 0; at < spaces.size() && written;) {
      const ssize_t n = ::write(ends[1], spaces.data() + at, spaces.size() - at);
      written = n > 0;
      at += written ? static_cast<std::size_t>(n) : 0;
    }
  }
  written = written && ::write(ends[1], "x]", 2) == 2;
  ::close(ends[1]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(written);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// What a shell's <(generator) gives: an anonymous pipe, whose writer may already be gone.
TEST(AnonymousPipe, IsReadThroughItsProcPath) {
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  const std::string text = "[]\n";
  ASSERT_EQ(::write(ends[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
  ::close(ends[1]);
  auto file = qj::read_json_file<Rollups>("/dev/fd/" + std::to_string(ends[0]));
  ::close(ends[0]);
  ASSERT_TRUE(file) << file.error();
  EXPECT_TRUE(file->empty());
}

}  // namespace
