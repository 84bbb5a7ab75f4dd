// Reading a file chunk by chunk must give exactly what reading its whole text gives, wherever
// the chunk boundaries fall: inside keys, strings, escapes, numbers and multi-byte characters.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
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
  // The streamed outcome with chunks of `chunk` bytes.
  qj::StreamOutcome stream(std::vector<VistrelRollup>& into, std::size_t chunk) {
    auto file = qj::ReadableFile::open(path_);
    EXPECT_TRUE(file);
    auto outcome = qj::stream_into(file->fd(), qj::Codec<std::vector<VistrelRollup>>::ops, &into, chunk);
    EXPECT_TRUE(outcome);
    return *outcome;
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
    ASSERT_EQ(stream(read, chunk), qj::StreamOutcome::Read) << chunk;
    EXPECT_EQ(read, rollups) << chunk;
  }
  EXPECT_EQ(*qj::read_json_file<std::vector<VistrelRollup>>(path_), rollups);
}

TEST_F(StreamedRead, FaultsAreReportedAsTheWholeTextReportsThem) {
  const std::string cases[] = {
      "[] []",                                      // a second value
      "[] x",                                       // trailing garbage after whitespace
      "[{\"rollup_id\": 5}]",                       // wrong type
      "[",                                          // unfinished
      "",                                           // empty
      "[{\"count\": 1, \"count\": 2}]",              // duplicate field
  };
  for (const auto& text : cases) {
    put(text);
    for (std::size_t chunk : {1, 2, 1 << 20}) {
      std::vector<VistrelRollup> read;
      EXPECT_EQ(stream(read, chunk), qj::StreamOutcome::Refused) << text << " / " << chunk;
    }
    auto whole = qj::read_json<std::vector<VistrelRollup>>(text);
    auto file = qj::read_json_file<std::vector<VistrelRollup>>(path_);
    ASSERT_FALSE(whole);
    ASSERT_FALSE(file);
    EXPECT_EQ(file.error(), whole.error()) << text;
  }
  EXPECT_EQ(qj::read_json_file<std::vector<VistrelRollup>>(path_ + ".absent").error(), "No such file or directory");
  EXPECT_EQ(qj::read_json_file<std::vector<VistrelRollup>>("/tmp").error(), "Is a directory");
}

}  // namespace
