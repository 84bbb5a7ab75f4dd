#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "quencore_contracts/random.hpp"
#include "quenvistrel_contracts/testing/samples.hpp"
#include "run.hpp"
#include "scratch_folder.hpp"
#include "store/file/state_file.hpp"

namespace {

using namespace quenvistrel_cli;
using namespace quenvistrel_contracts;

constexpr std::string_view kEmptyState = R"({
  "store": {
    "events": [],
    "rollups": [],
    "indicators": []
  },
  "rules": [],
  "alerts": []
})";

template <class Id>
Id id(std::string_view text) {
  return *Id::from_str(text);
}

CliState sample_state() {
  CliState s;
  VistrelEvent e = samples::login_failed(EventId::generate(), id<TenantId>("00000000-0000-4000-8000-000000000001"),
                                         WorkspaceId::generate(), Severity::High,
                                         *Timestamp::from_str("2024-06-01T10:02:00Z"), Timestamp::now());
  e.safe_metadata = {{"region", "eu\nwest"}, {"city", "K\xc3\xb6ln"}};
  VistrelEvent bare = e;
  bare.event_id = EventId::generate();
  bare.safe_metadata.clear();
  s.store.events = {e, bare};

  const VistrelRollup r = samples::rollup(e.tenant_id, e.workspace_id, e.product_id, e.event_type, e.severity,
                                          TimeBucket::Hour, bucket_start(TimeBucket::Hour, e.occurred_at), 2);
  s.store.rollups = {r};

  RiskIndicator i;
  i.indicator_id = IndicatorId::generate();
  i.tenant_id = e.tenant_id;
  i.indicator_type = "high_severity_burst";
  i.severity = Severity::High;
  i.score = 40;
  i.reason_codes = {"a", "b"};
  i.first_seen_at = i.last_seen_at = e.received_at;
  s.store.indicators = {i};

  AlertRule rule;
  rule.rule_id = AlertRuleId::generate();
  rule.tenant_id = e.tenant_id;
  rule.name = "burst \"quoted\"";
  rule.event_type = e.event_type;
  rule.threshold = 2;
  rule.cooldown_buckets = 1;
  s.rules = {rule};

  AlertEvent alert;
  alert.alert_id = AlertEventId::generate();
  alert.rule_id = rule.rule_id;
  alert.tenant_id = e.tenant_id;
  alert.bucket_start = r.bucket_start;
  alert.observed_count = 2;
  alert.severity = Severity::High;
  alert.fired_at = e.received_at;
  s.alerts = {alert};
  return s;
}

class StateFile : public ScratchFolder {
 protected:
  StateFile() : ScratchFolder("state.json") {}
};

TEST_F(StateFile, EmptyStateIsThe109ByteDocument) {
  EXPECT_EQ(render_state(CliState{}), kEmptyState);
  EXPECT_EQ(kEmptyState.size(), 109u);
  ASSERT_TRUE(save_state(path_, CliState{}));
  EXPECT_EQ(get(path_), kEmptyState);
  auto loaded = load_state(path_);
  ASSERT_TRUE(loaded) << loaded.error();
  EXPECT_EQ(*loaded, CliState{});
}

TEST_F(StateFile, WrittenStateReadsBackAndRewritesByteForByte) {
  const CliState state = sample_state();
  ASSERT_TRUE(save_state(path_, state));
  const std::string first = get(path_);
  auto loaded = load_state(path_);
  ASSERT_TRUE(loaded) << loaded.error();
  EXPECT_EQ(*loaded, state);
  ASSERT_TRUE(save_state(path_, *loaded));
  EXPECT_EQ(get(path_), first);
  EXPECT_NE(first.find(R"("region": "eu\nwest")"), std::string::npos);
  EXPECT_NE(first.find("\"city\": \"K\xc3\xb6ln\""), std::string::npos);
  EXPECT_NE(first.find(R"("safe_metadata": {})"), std::string::npos);
  EXPECT_FALSE(first.ends_with('\n'));
  EXPECT_EQ(entries(), std::vector<std::string>{"state.json"});  // no temporary left behind
}

TEST_F(StateFile, HandWrittenLayoutLoadsAndExtraKeysAreDropped) {
  put(path_, R"( {"comment": {"any": ["thing"]}, "alerts": [], "rules": [],
                 "store": {"indicators": [], "rollups": [], "events": [], "v2": 1}} )");
  auto loaded = load_state(path_);
  ASSERT_TRUE(loaded) << loaded.error();
  ASSERT_TRUE(save_state(path_, *loaded));
  EXPECT_EQ(get(path_), kEmptyState);
}

TEST_F(StateFile, AbsentPathsGiveTheEmptyState) {
  put(dir_ + "/file", "x");
  for (const std::string& path : {dir_ + "/absent.json", dir_ + "/file/state.json", dir_ + "/no/such/dir.json"}) {
    auto loaded = load_state(path);
    ASSERT_TRUE(loaded) << path << ": " << loaded.error();
    EXPECT_EQ(*loaded, CliState{});
  }
  // A dangling link points at nothing yet; saving creates the file it names.
  ASSERT_EQ(::symlink("target.json", path_.c_str()), 0);
  EXPECT_TRUE(load_state(path_));
  ASSERT_TRUE(save_state(path_, CliState{}));
  EXPECT_EQ(get(dir_ + "/target.json"), kEmptyState);
}

TEST_F(StateFile, UnreadableOrInvalidFilesFail) {
  struct Case {
    std::string_view text;
    std::string_view error;
  };
  const Case cases[] = {
      {"", "EOF while parsing a value at line 1 column 0"},
      {"  \n\n ", "EOF while parsing a value at line 3 column 1"},
      {"{", "EOF while parsing an object at line 1 column 1"},
      {"{\n  \"store\": {\n    \"events\": [],\n    \"rollups\": []\n  },\n  \"rules\": [],\n  \"alerts\": []\n}",
       "missing field `indicators` at line 5 column 3"},
      {R"({"store": {"events": [], "rollups": [], "indicators": []}, "rules": []})",
       "missing field `alerts` at line 1 column 71"},
      {std::string_view(kEmptyState.data(), kEmptyState.size() - 1), "EOF while parsing an object at line 8 column 15"},
      {"{\"store\": {\"events\": [{\"product_id\": \"Edge_1\"}]}}",
       "invalid Slug identifier: may contain only lowercase ASCII letters, digits and hyphens at line 1 column 45"},
  };
  for (const auto& c : cases) {
    put(path_, c.text);
    auto loaded = load_state(path_);
    ASSERT_FALSE(loaded) << c.text;
    EXPECT_EQ(loaded.error(), c.error);
  }
  put(path_, std::string(kEmptyState) + "\n{}");
  EXPECT_EQ(load_state(path_).error(), "trailing characters at line 10 column 1");
  EXPECT_EQ(load_state(dir_).error(), "Is a directory");
}

TEST_F(StateFile, PathsThatCannotBeExaminedFail) {
  ASSERT_EQ(::symlink("loop-b", (dir_ + "/loop-a").c_str()), 0);
  ASSERT_EQ(::symlink("loop-a", (dir_ + "/loop-b").c_str()), 0);
  EXPECT_EQ(load_state(dir_ + "/loop-a").error(), std::strerror(ELOOP));
  EXPECT_EQ(save_state(dir_ + "/loop-a", CliState{}).error(), std::strerror(ELOOP));
  if (::geteuid() != 0) {
    // Permission checks do not apply to root.
    put(path_, kEmptyState);
    ASSERT_EQ(::chmod(dir_.c_str(), 0), 0);
    EXPECT_EQ(load_state(path_).error(), std::strerror(EACCES));
  }
}

// A FIFO would block the run (holding the folder lock), a device could be endless: the
// load, the lock and the save refuse them before opening anything.
TEST_F(StateFile, PathsThatAreNotRegularFilesFailAtOnce) {
  ASSERT_EQ(::mkfifo(path_.c_str(), 0600), 0);
  const std::string fifo_link = dir_ + "/link.json";
  ASSERT_EQ(::symlink("state.json", fifo_link.c_str()), 0);
  const std::string socket_path = dir_ + "/socket.json";
  const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socket_path.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(sock, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  const std::pair<std::string, std::string> cases[] = {
      {path_, "the state path is a FIFO, not a regular file"},
      {fifo_link, "the state path is a FIFO, not a regular file"},
      {socket_path, "the state path is a socket, not a regular file"},
      {"/dev/zero", "the state path is a character device, not a regular file"},
  };
  for (const auto& [path, error] : cases) {
    EXPECT_EQ(load_state(path).error(), error);
    EXPECT_EQ(lock_state_folder(path).error(), error);
    EXPECT_EQ(save_state(path, CliState{}).error(), error);
  }
  ::close(sock);
  struct stat st {};
  ASSERT_EQ(::stat(path_.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));  // not replaced
  EXPECT_EQ(entries().size(), 3u);    // and nothing left beside it
}

TEST_F(StateFile, SaveThroughALinkReplacesItsTargetAndKeepsTheLink) {
  ASSERT_EQ(::mkdir((dir_ + "/real").c_str(), 0700), 0);
  put(dir_ + "/real/state.json", "old");
  ASSERT_EQ(::symlink("real/state.json", path_.c_str()), 0);
  ASSERT_TRUE(save_state(path_, CliState{}));
  struct stat st {};
  ASSERT_EQ(::lstat(path_.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(get(dir_ + "/real/state.json"), kEmptyState);
}

TEST_F(StateFile, PermissionBits) {
  const mode_t old_mask = ::umask(027);
  ASSERT_TRUE(save_state(path_, CliState{}));
  struct stat st {};
  ASSERT_EQ(::stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);  // new file: 0666 less the umask

  ASSERT_EQ(::chmod(path_.c_str(), 0604), 0);
  ASSERT_TRUE(save_state(path_, sample_state()));
  ASSERT_EQ(::stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0604u);  // existing file keeps its bits
  ::umask(old_mask);
}

// Fault injection: each step of the save fails in turn.
int g_mode_seen = -1;

TEST_F(StateFile, FailedSaveLeavesTheOldFileAndNoTemporary) {
  struct Step {
    const char* name;
    FileCalls calls;
    int error;
  };
  FileCalls open_fails = real_file_calls();
  open_fails.open = [](const char* path, int flags, mode_t mode) {
    if ((flags & O_CREAT) != 0) return errno = EACCES, -1;
    return ::open(path, flags, mode);
  };
  FileCalls write_fails = real_file_calls();
  write_fails.write = [](int, const void*, std::size_t) -> ssize_t { return errno = ENOSPC, -1; };
  FileCalls fsync_fails = real_file_calls();
  fsync_fails.fsync = [](int) { return errno = EIO, -1; };
  FileCalls fchmod_fails = real_file_calls();
  fchmod_fails.fchmod = [](int, mode_t) { return errno = EPERM, -1; };
  FileCalls close_fails = real_file_calls();
  close_fails.close = [](int fd) { return ::close(fd), errno = EDQUOT, -1; };
  FileCalls rename_fails = real_file_calls();
  rename_fails.rename = [](const char*, const char*) { return errno = EXDEV, -1; };
  const Step steps[] = {
      {"open", open_fails, EACCES},   {"write", write_fails, ENOSPC},  {"fsync", fsync_fails, EIO},
      {"fchmod", fchmod_fails, EPERM}, {"close", close_fails, EDQUOT}, {"rename", rename_fails, EXDEV},
  };
  const CliState old_state = sample_state();
  ASSERT_TRUE(save_state(path_, old_state));
  const std::string old_text = get(path_);
  for (const Step& step : steps) {
    auto saved = save_state(path_, CliState{}, step.calls);
    ASSERT_FALSE(saved) << step.name;
    EXPECT_EQ(saved.error(), std::strerror(step.error)) << step.name;
    EXPECT_EQ(get(path_), old_text) << step.name;
    EXPECT_EQ(entries(), std::vector<std::string>{"state.json"}) << step.name;
  }
  auto loaded = load_state(path_);
  ASSERT_TRUE(loaded);
  EXPECT_EQ(*loaded, old_state);
}

TEST_F(StateFile, RunWithoutEntropyStoresNothingAndSaysWhy) {
  ASSERT_TRUE(save_state(path_, sample_state()));
  const std::string old_text = get(path_);
  const std::string examples = std::string(std::getenv("QUEN_SOURCE_DIR")) + "/examples/";
  const std::string tenant = "2a2b7e0c-1d6e-4a52-9a55-0d5b6c1a9e11";
  // One command that saves before its report, one that saves as it reads its fixture.
  const std::vector<std::vector<std::string>> commands = {
      {"alert-add", "--tenant", tenant, "--event-type", "login", "--threshold", "1"},
      {"ingest", examples + "schema.json", examples + "events.json", "--tenant", tenant},
  };
  for (const auto& command : commands) {
    std::vector<std::string> args = {"--state", path_};
    args.insert(args.end(), command.begin(), command.end());
    const auto previous = quencore_contracts::detail::set_entropy_source(
        [](void*, std::size_t, unsigned) -> ssize_t { return errno = ENOSYS, -1; });
    const auto result = run(args);
    quencore_contracts::detail::set_entropy_source(previous);
    EXPECT_EQ(result, std::unexpected("cannot obtain random bytes: " + std::string(std::strerror(ENOSYS))))
        << command[0];
    EXPECT_EQ(get(path_), old_text) << command[0];
    EXPECT_EQ(entries(), std::vector<std::string>{"state.json"}) << command[0];
  }
}

TEST_F(StateFile, TemporaryIsPrivateUntilRenamedAndWritesAreRetried) {
  FileCalls calls = real_file_calls();
  calls.open = [](const char* path, int flags, mode_t mode) {
    if ((flags & O_CREAT) != 0) g_mode_seen = static_cast<int>(mode);
    return ::open(path, flags, mode);
  };
  // Short writes and interrupted calls, alternately.
  calls.write = [](int fd, const void* data, std::size_t size) -> ssize_t {
    static int call = 0;
    if (++call % 2 == 0) return errno = EINTR, -1;
    return ::write(fd, data, std::min<std::size_t>(size, 100));
  };
  const CliState state = sample_state();
  ASSERT_TRUE(save_state(path_, state, calls));
  EXPECT_EQ(g_mode_seen, 0600);
  EXPECT_EQ(get(path_), render_state(state));
}

TEST_F(StateFile, SaveRemovesTemporariesThatKilledSavesLeftBehind) {
  // A process id no system hands out, so its temporary counts as abandoned; files that only
  // look similar, or belong to another state file, stay.
  const std::string stale = ".state.json.tmp.999999999.0123456789abcdef";
  const std::string other_state = ".other.json.tmp.999999999.0123456789abcdef";
  const std::string live = ".state.json.tmp.1.0123456789abcdef";  // pid 1 always runs
  const std::string unlike = ".state.json.tmp.999999999.not-hex";
  for (const auto& name : {stale, other_state, live, unlike}) put(dir_ + "/" + name, "partial");
  ASSERT_TRUE(save_state(path_, sample_state()));
  auto names = entries();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{other_state, live, unlike, "state.json"}));
  // A leftover temporary never makes a load fail.
  EXPECT_TRUE(load_state(path_));
}

// Only what a killed save of this user could have left is removed: not a link, FIFO or
// socket that merely has a temporary's name, nor a second name of a file, nor another user's
// file.
TEST_F(StateFile, SweepRemovesOnlyRegularTemporariesOfThisUser) {
  const auto temp = [](int n) { return ".state.json.tmp.99999999" + std::to_string(n) + ".0123456789abcdef"; };
  put(dir_ + "/precious", "keep");
  ASSERT_EQ(::symlink("precious", (dir_ + "/" + temp(1)).c_str()), 0);
  ASSERT_EQ(::mkfifo((dir_ + "/" + temp(2)).c_str(), 0600), 0);
  ASSERT_EQ(::link((dir_ + "/precious").c_str(), (dir_ + "/" + temp(3)).c_str()), 0);
  const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, (dir_ + "/" + temp(4)).c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(sock, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ::close(sock);
  std::vector<std::string> kept = {"precious", temp(1), temp(2), temp(3), temp(4), "state.json"};
  put(dir_ + "/" + temp(5), "partial");  // a real leftover: removed
  if (::geteuid() == 0) {
    put(dir_ + "/" + temp(6), "partial");
    ASSERT_EQ(::chown((dir_ + "/" + temp(6)).c_str(), 65534, 65534), 0);
    kept.push_back(temp(6));
  }
  ASSERT_TRUE(save_state(path_, CliState{}));
  auto names = entries();
  std::sort(names.begin(), names.end());
  std::sort(kept.begin(), kept.end());
  EXPECT_EQ(names, kept);
  EXPECT_EQ(get(dir_ + "/precious"), "keep");
}

// A name of up to 255 bytes loads, so it must save too: the temporary keeps only the head of
// it, and the sweep still knows such temporaries.
TEST_F(StateFile, LongestNamesSaveAndTheirTemporariesAreSwept) {
  for (const std::size_t length : {std::size_t{222}, std::size_t{223}, std::size_t{245}, std::size_t{255}}) {
    // Multi-byte characters, so the head is cut at a character boundary.
    std::string base = std::string(length % 2, 'x');
    while (base.size() < length) base += "\xc3\xa9";
    const std::string path = dir_ + "/" + base;
    put(path, kEmptyState);
    ASSERT_TRUE(load_state(path)) << length;
    std::string head = base.substr(0, std::min<std::size_t>(length, 222));
    while ((static_cast<unsigned char>(head.back()) & 0xC0) == 0xC0) head.pop_back();
    const std::string stale = "." + head + ".tmp.999999999.0123456789abcdef";
    ASSERT_LE(stale.size(), 255u);
    put(dir_ + "/" + stale, "partial");
    const CliState state = sample_state();
    const auto saved = save_state(path, state);
    ASSERT_TRUE(saved) << length << ": " << saved.error();
    EXPECT_EQ(*load_state(path), state) << length;
    EXPECT_EQ(entries(), std::vector<std::string>{base}) << length;  // the stale temporary is gone
    std::remove(path.c_str());
  }
}

class StateFileAsRoot : public StateFile {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "skipped: keeping another user's ownership needs the tests to run as root";
    StateFile::SetUp();
  }
  void TearDown() override {
    if (!dir_.empty()) StateFile::TearDown();
  }
};

// Root saving a file of another user gives it back to that user and group, with its bits.
TEST_F(StateFileAsRoot, SaveKeepsOwnerGroupAndBits) {
  ASSERT_TRUE(save_state(path_, CliState{}));
  ASSERT_EQ(::chown(path_.c_str(), 65534, 65533), 0);
  ASSERT_EQ(::chmod(path_.c_str(), 02640), 0);
  ASSERT_TRUE(save_state(path_, sample_state()));
  struct stat st {};
  ASSERT_EQ(::stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 65534u);
  EXPECT_EQ(st.st_gid, 65533u);
  EXPECT_EQ(st.st_mode & 07777, 02640u);
}

// Where the ownership cannot be kept the save fails and the old file stays as it was.
TEST_F(StateFileAsRoot, SaveThatCannotKeepTheOwnerLeavesTheOldFile) {
  ASSERT_TRUE(save_state(path_, CliState{}));
  ASSERT_EQ(::chown(path_.c_str(), 65534, 65534), 0);
  FileCalls calls = real_file_calls();
  calls.fchown = [](int, uid_t, gid_t) { return errno = EPERM, -1; };
  auto saved = save_state(path_, sample_state(), calls);
  ASSERT_FALSE(saved);
  EXPECT_EQ(saved.error(), "cannot keep the state file's owner 65534 and group 65534: Operation not permitted");
  EXPECT_EQ(get(path_), kEmptyState);
  EXPECT_EQ(entries(), std::vector<std::string>{"state.json"});
}

TEST_F(StateFile, LockIsHeldOnTheFolderOfTheLinkTarget) {
  const std::string real_dir = dir_ + "/real";
  ASSERT_EQ(::mkdir(real_dir.c_str(), 0700), 0);
  ASSERT_EQ(::symlink("real/state.json", path_.c_str()), 0);
  auto lock = lock_state_folder(path_);
  ASSERT_TRUE(lock);
  EXPECT_TRUE(lock->held());
  // Another descriptor of the target folder cannot take the lock; one of the link's folder can.
  const int target = ::open(real_dir.c_str(), O_RDONLY | O_DIRECTORY);
  const int link_folder = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY);
  EXPECT_NE(::flock(target, LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(::flock(link_folder, LOCK_EX | LOCK_NB), 0);
  *lock = FolderLock();
  EXPECT_EQ(::flock(target, LOCK_EX | LOCK_NB), 0);
  ::close(target);
  ::close(link_folder);
  // Nothing appears beside the state, and a missing folder is no error.
  EXPECT_EQ(entries().size(), 2u);
  auto missing = lock_state_folder(dir_ + "/absent/state.json");
  ASSERT_TRUE(missing);
  EXPECT_FALSE(missing->held());
}

TEST_F(StateFile, LargeStateIsWrittenInChunksThatAddUpToTheDocument) {
  // Several MiB, so the save hands the file many chunks.
  CliState state = sample_state();
  const auto event = state.store.events[0];
  state.store.events.assign(12000, event);
  ASSERT_TRUE(save_state(path_, state));
  EXPECT_EQ(get(path_), render_state(state));

  // A write failing after the first chunks still leaves the previous file and no temporary.
  const std::string old_text = get(path_);
  FileCalls calls = real_file_calls();
  calls.write = [](int fd, const void* data, std::size_t size) -> ssize_t {
    static int call = 0;
    if (++call > 2) return errno = ENOSPC, -1;
    return ::write(fd, data, size);
  };
  state.store.events.push_back(event);
  auto saved = save_state(path_, state, calls);
  ASSERT_FALSE(saved);
  EXPECT_EQ(saved.error(), std::strerror(ENOSPC));
  EXPECT_EQ(get(path_), old_text);
  EXPECT_EQ(entries(), std::vector<std::string>{"state.json"});
}

}  // namespace

namespace {

// A state of `count` events in the tool's own layout, written by the tool.
CliState many_events(std::size_t count) {
  CliState state = sample_state();
  const VistrelEvent model = state.store.events[0];
  state.store.events = {};
  for (std::size_t i = 0; i < count; ++i) {
    VistrelEvent e = model;
    e.event_id = EventId::generate();
    e.subject_id = "u-" + std::to_string(i);
    e.occurred_at = *Timestamp::from_unix(1717236000 + static_cast<std::int64_t>(i) * 3600, 0);
    state.store.events.push_back(e);
  }
  return state;
}

TEST_F(StateFile, OwnLayoutIsRecognisedAndAnyOtherIsReadAlike) {
  const CliState state = many_events(3);
  const std::string text = render_state(state);
  auto recognized = recognize_state(text);
  ASSERT_TRUE(recognized);
  EXPECT_EQ(*recognized, state);
  EXPECT_EQ(render_state(*recognized), text);
  // Recognised in two halves at once, as large files are: the same state, one run of events.
  const CliState more = many_events(40);
  const std::string more_text = render_state(more);
  auto halves = recognize_state(more_text, 0);
  ASSERT_TRUE(halves);
  EXPECT_EQ(*halves, more);
  std::size_t runs = 0;
  halves->store.events.for_each_run([&runs](std::string_view) { ++runs; });
  EXPECT_EQ(runs, 1u);

  // The same document with other spacing, a different spelling of one value or an extra key
  // is the reader's, and reads as the same state where it means the same.
  std::string spaced = text;
  spaced.insert(spaced.find("\"rules\""), " ");
  std::string upper = text;
  const std::string tenant = "00000000-0000-4000-8000-000000000001";
  upper.replace(upper.find(tenant), tenant.size(), "00000000-0000-4000-8000-00000000000A");
  std::string extra = text;
  extra.insert(extra.find("\"rules\""), "\"note\": 1,\n  ");
  for (const std::string& other : {spaced, extra}) {
    EXPECT_FALSE(recognize_state(other));
    put(path_, other);
    auto loaded = load_state(path_);
    ASSERT_TRUE(loaded) << loaded.error();
    EXPECT_EQ(*loaded, state);
  }
  for (const std::size_t split_from : {STATE_SPLIT_FROM, std::size_t{0}}) {
    EXPECT_FALSE(recognize_state(upper, split_from));
    EXPECT_FALSE(recognize_state(text + " ", split_from));
    EXPECT_FALSE(recognize_state(text.substr(0, text.size() - 1), split_from));
  }
  EXPECT_FALSE(recognize_state(render_state(CliState{})));  // nothing to gain: the reader's
}

TEST_F(StateFile, SavesOfALoadedStateMatchTheTypedRendering) {
  // Big enough that the kept runs are copied between the files rather than written.
  const CliState state = many_events(600);
  ASSERT_TRUE(save_state(path_, state));
  const std::int64_t window = 0;
  for (const bool every_other : {false, true}) {
    auto loaded = load_state(path_);
    ASSERT_TRUE(loaded) << loaded.error();
    auto typed = parse_state(get(path_));
    ASSERT_TRUE(typed);
    if (every_other) {
      // Occurred hours alternate around a cutoff: every other event goes.
      CliState alternating = state;
      alternating.store.events = {};
      for (std::size_t i = 0; i < state.store.events.size(); ++i) {
        VistrelEvent e = state.store.events[i];
        e.occurred_at = *Timestamp::from_unix(i % 2 == 0 ? 1000 : 4'000'000'000, 0);
        alternating.store.events.push_back(e);
      }
      ASSERT_TRUE(save_state(path_, alternating));
      loaded = load_state(path_);
      typed = parse_state(get(path_));
      ASSERT_TRUE(loaded && typed);
      const auto now = *Timestamp::from_unix(2'000'000'000, 0);
      EXPECT_EQ(loaded->store.apply_retention(window, now), 300u);
      EXPECT_EQ(typed->store.apply_retention(window, now), 300u);
    }
    loaded->store.events.push_back(state.store.events[0]);
    typed->store.events.push_back(state.store.events[0]);
    ASSERT_TRUE(save_state(path_, *loaded));
    EXPECT_EQ(get(path_), render_state(*typed));
  }
}

TEST_F(StateFile, ASourceChangedOrShrunkBehindTheLoadIsNotCopied) {
  ASSERT_TRUE(save_state(path_, many_events(400)));
  const std::string original = get(path_);
  const std::string other = dir_ + "/other.json";

  // Rewritten in place, same size: the bytes a save would copy are no longer the state's.
  auto loaded = load_state(path_);
  ASSERT_TRUE(loaded);
  std::string changed = original;
  changed[changed.find("u-17")] = 'v';
  put(path_, changed);
  auto saved = save_state(other, *loaded);
  ASSERT_FALSE(saved);
  EXPECT_EQ(saved.error(), "the state file was changed by another program while in use");
  EXPECT_EQ(get(other), "(absent)");

  // Cut to half while mapped: reading the lost pages must not kill the process.
  put(path_, original);
  loaded = load_state(path_);
  ASSERT_TRUE(loaded);
  ASSERT_EQ(::truncate(path_.c_str(), static_cast<off_t>(original.size() / 2)), 0);
  const std::string_view lost = loaded->store.events.text(loaded->store.events.size() - 1);
  EXPECT_EQ(lost.find_first_not_of('\0'), std::string_view::npos) << "a lost page reads as zeros";
  saved = save_state(other, *loaded);
  ASSERT_FALSE(saved);
  EXPECT_EQ(saved.error(), "the state file was changed by another program while in use");
  EXPECT_EQ(entries(), std::vector<std::string>{"state.json"});
}

}  // namespace
