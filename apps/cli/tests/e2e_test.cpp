// End-to-end cases: each file under tests/cases runs the built binary in a fresh folder and
// compares its exact output. The file format is described in tests/cases/README.md.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <expected>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "store/location.hpp"
#include "store/postgres/connection.hpp"

namespace {

namespace fs = std::filesystem;

// ---- Case files -------------------------------------------------------------------------

struct WriteFile {
  std::string path;
  std::string bytes;
};
struct MakeDir {
  std::string path;
};
struct Symlink {
  std::string target;
  std::string link;
};
struct Chmod {
  fs::perms mode;
  std::string path;
};
struct RunStep {
  std::vector<std::string> args;
  std::string out;  // patterns
  std::string err;
  int status = 0;
  int line = 0;
  std::string input;  // a file of the case folder as standard input; /dev/null when empty
};
struct ExpectFile {
  std::string path;
  std::string pattern;
};
struct ExpectMissing {
  std::string path;
};
// The case is about the state file itself and runs against the file store only.
struct FilesOnly {};
using Step = std::variant<WriteFile, MakeDir, Symlink, Chmod, RunStep, ExpectFile, ExpectMissing, FilesOnly>;

struct ParseError {
  int line;
  std::string message;
};

// Splits a header into words: blanks separate, '…' is literal, "…" takes \-escapes, and
// adjacent pieces join, so '' is an empty argument.
std::optional<std::vector<std::string>> split_words(std::string_view text) {
  std::vector<std::string> words;
  std::size_t i = 0;
  while (true) {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) {
      ++i;
    }
    if (i == text.size()) {
      return words;
    }
    std::string word;
    while (i < text.size() && text[i] != ' ' && text[i] != '\t') {
      const char c = text[i++];
      if (c == '\'') {
        const auto end = text.find('\'', i);
        if (end == std::string_view::npos) {
          return std::nullopt;
        }
        word.append(text.substr(i, end - i));
        i = end + 1;
      } else if (c == '"') {
        while (i < text.size() && text[i] != '"') {
          if (text[i] == '\\' && i + 1 < text.size()) {
            ++i;
          }
          word.push_back(text[i++]);
        }
        if (i == text.size()) {
          return std::nullopt;
        }
        ++i;
      } else if (c == '\\' && i < text.size()) {
        word.push_back(text[i++]);
      } else {
        word.push_back(c);
      }
    }
    words.push_back(std::move(word));
  }
}

std::optional<std::string> decode_escapes(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out.push_back(text[i]);
      continue;
    }
    if (++i == text.size()) {
      return std::nullopt;
    }
    switch (text[i]) {
      case '\\': out.push_back('\\'); break;
      case 'n': out.push_back('\n'); break;
      case 'r': out.push_back('\r'); break;
      case 't': out.push_back('\t'); break;
      case 'x': {
        if (i + 2 >= text.size()) {
          return std::nullopt;
        }
        unsigned value = 0;
        for (int k = 0; k < 2; ++k) {
          const char h = text[++i];
          value = value * 16 + static_cast<unsigned>(h >= '0' && h <= '9'   ? h - '0'
                                                     : h >= 'a' && h <= 'f' ? h - 'a' + 10
                                                     : h >= 'A' && h <= 'F' ? h - 'A' + 10
                                                                            : 256);
        }
        if (value > 255) {
          return std::nullopt;
        }
        out.push_back(static_cast<char>(value));
        break;
      }
      default: return std::nullopt;
    }
  }
  return out;
}

class CaseParser {
 public:
  explicit CaseParser(std::string_view text) {
    std::size_t start = 0;
    while (start < text.size()) {
      auto end = text.find('\n', start);
      if (end == std::string_view::npos) {
        end = text.size();
      }
      lines_.emplace_back(text.substr(start, end - start));
      start = end + 1;
    }
  }

  std::variant<std::vector<Step>, ParseError> parse() {
    std::vector<Step> steps;
    std::size_t i = 0;
    while (i < lines_.size() && !is_header(lines_[i])) {
      ++i;  // free description
    }
    while (i < lines_.size()) {
      const int line_no = static_cast<int>(i) + 1;
      const std::string_view header = lines_[i];
      const auto words = split_words(header.substr(4));
      if (!words || words->empty()) {
        return ParseError{line_no, "unreadable header"};
      }
      // The block: every line up to the next header, each with its line feed.
      std::string block;
      std::size_t j = i + 1;
      for (; j < lines_.size() && !is_header(lines_[j]); ++j) {
        block.append(lines_[j]).push_back('\n');
      }
      i = j;

      const std::string& kind = words->front();
      std::vector<std::string> rest(words->begin() + 1, words->end());
      auto fail = [line_no](std::string message) { return ParseError{line_no, std::move(message)}; };

      if (header.starts_with("--- ")) {
        if (steps.empty() || !std::holds_alternative<RunStep>(steps.back())) {
          return fail("'--- " + kind + "' must follow '=== run'");
        }
        RunStep& run = std::get<RunStep>(steps.back());
        if (kind == "status") {
          if (rest.size() != 1 || !block.empty()) {
            return fail("expected '--- status <n>' with nothing below it");
          }
          run.status = std::atoi(rest.front().c_str());
        } else if (kind == "stdin") {
          if (rest.size() != 1 || !block.empty()) {
            return fail("expected '--- stdin <path>' with nothing below it");
          }
          run.input = rest.front();
        } else if (kind == "stdout" || kind == "stderr") {
          auto content = shape_block(block, rest);
          if (!content) {
            return fail(content.error());
          }
          (kind == "stdout" ? run.out : run.err) = std::move(*content);
        } else {
          return fail("unknown header '--- " + kind + "'");
        }
        continue;
      }

      auto needs = [&](std::size_t min_words) { return rest.size() >= min_words; };
      auto no_block = [&]() { return block.empty(); };
      if (kind == "file" && needs(1)) {
        auto content = shape_block(block, {rest.begin() + 1, rest.end()});
        if (!content) {
          return fail(content.error());
        }
        steps.emplace_back(WriteFile{rest[0], std::move(*content)});
      } else if (kind == "dir" && rest.size() == 1 && no_block()) {
        steps.emplace_back(MakeDir{rest[0]});
      } else if (kind == "symlink" && rest.size() == 2 && no_block()) {
        steps.emplace_back(Symlink{rest[0], rest[1]});
      } else if (kind == "chmod" && rest.size() == 2 && no_block()) {
        steps.emplace_back(Chmod{static_cast<fs::perms>(std::strtoul(rest[0].c_str(), nullptr, 8)), rest[1]});
      } else if (kind == "run" && no_block()) {
        steps.emplace_back(RunStep{.args = std::move(rest), .out = {}, .err = {}, .status = 0, .line = line_no, .input = {}});
      } else if (kind == "expect-file" && needs(1)) {
        auto content = shape_block(block, {rest.begin() + 1, rest.end()});
        if (!content) {
          return fail(content.error());
        }
        steps.emplace_back(ExpectFile{rest[0], std::move(*content)});
      } else if (kind == "expect-missing" && rest.size() == 1 && no_block()) {
        steps.emplace_back(ExpectMissing{rest[0]});
      } else if (kind == "files-only" && rest.empty() && no_block()) {
        steps.emplace_back(FilesOnly{});
      } else {
        return fail("unknown or malformed header '" + std::string(header) + "'");
      }
    }
    return steps;
  }

 private:
  static bool is_header(std::string_view line) { return line.starts_with("=== ") || line.starts_with("--- "); }

  static std::expected<std::string, std::string> shape_block(std::string block, const std::vector<std::string>& flags) {
    for (const auto& flag : flags) {
      if (flag == "noeol") {
        if (block.empty()) {
          return std::unexpected(std::string("'noeol' on an empty block"));
        }
        block.pop_back();
      } else if (flag == "escapes") {
        auto decoded = decode_escapes(block);
        if (!decoded) {
          return std::unexpected(std::string("bad escape in block"));
        }
        block = std::move(*decoded);
      } else {
        return std::unexpected("unknown flag '" + flag + "'");
      }
    }
    return block;
  }

  std::vector<std::string_view> lines_;
};

// ---- Placeholders -----------------------------------------------------------------------

bool is_hex_lower(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Length of a lower-case hyphenated UUID at the start of `s`, or 0.
std::size_t match_uuid(std::string_view s) {
  if (s.size() < 36) {
    return 0;
  }
  for (std::size_t i = 0; i < 36; ++i) {
    const bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
    if (hyphen ? s[i] != '-' : !is_hex_lower(s[i])) {
      return 0;
    }
  }
  return 36;
}

// Length of an RFC 3339 text at the start of `s` (fraction and offset optional forms), or 0.
std::size_t match_timestamp(std::string_view s) {
  static constexpr std::string_view shape = "dddd-dd-ddTdd:dd:dd";
  if (s.size() < shape.size()) {
    return 0;
  }
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (shape[i] == 'd' ? !is_digit(s[i]) : s[i] != shape[i]) {
      return 0;
    }
  }
  std::size_t n = shape.size();
  if (n < s.size() && s[n] == '.') {
    std::size_t digits = 0;
    while (n + 1 + digits < s.size() && is_digit(s[n + 1 + digits])) {
      ++digits;
    }
    if (digits == 0 || digits > 9) {
      return 0;
    }
    n += 1 + digits;
  }
  if (n < s.size() && s[n] == 'Z') {
    return n + 1;
  }
  if (n + 6 <= s.size() && (s[n] == '+' || s[n] == '-') && is_digit(s[n + 1]) && is_digit(s[n + 2]) &&
      s[n + 3] == ':' && is_digit(s[n + 4]) && is_digit(s[n + 5])) {
    return n + 6;
  }
  return 0;
}

using Bindings = std::map<std::string, std::string>;

// Matches `actual` against `pattern`, where {{uuid}}, {{timestamp}} and {{any}} (the rest of
// the line) stand for varying text; {{kind:name}} also binds the text to `name`, and every
// other use of that name in the case must see the same text.
bool matches(std::string_view pattern, std::string_view actual, Bindings& bindings) {
  Bindings local = bindings;
  while (true) {
    const auto open = pattern.find("{{");
    const std::string_view literal = pattern.substr(0, open);
    if (!actual.starts_with(literal)) {
      return false;
    }
    actual.remove_prefix(literal.size());
    if (open == std::string_view::npos) {
      if (!actual.empty()) {
        return false;
      }
      bindings = std::move(local);
      return true;
    }
    const auto close = pattern.find("}}", open);
    if (close == std::string_view::npos) {
      return false;
    }
    const std::string_view placeholder = pattern.substr(open + 2, close - open - 2);
    pattern.remove_prefix(close + 2);
    const auto colon = placeholder.find(':');
    const std::string_view kind = placeholder.substr(0, colon);
    std::size_t length = 0;
    if (kind == "uuid") {
      length = match_uuid(actual);
    } else if (kind == "timestamp") {
      length = match_timestamp(actual);
    } else if (kind == "any") {
      length = std::min(actual.find('\n'), actual.size());
    } else {
      return false;
    }
    if (length == 0 && kind != "any") {
      return false;
    }
    if (colon != std::string_view::npos) {
      const std::string name(placeholder.substr(colon + 1));
      const std::string text(actual.substr(0, length));
      if (auto [it, fresh] = local.emplace(name, text); !fresh && it->second != text) {
        return false;
      }
    }
    actual.remove_prefix(length);
  }
}

// ---- Running ----------------------------------------------------------------------------

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

struct Outcome {
  std::string out;
  std::string err;
  int status = -1;
};

Outcome run_binary(const fs::path& workdir, const fs::path& capture, const std::vector<std::string>& args,
                   std::string binary = QUEN_CLI_BINARY, const std::string& input = {}) {
  const std::string input_path = input.empty() ? std::string("/dev/null") : (workdir / input).string();
  const fs::path out_path = capture / "stdout";
  const fs::path err_path = capture / "stderr";
  std::vector<char*> argv;
  argv.push_back(binary.data());
  std::vector<std::string> owned = args;
  for (auto& arg : owned) {
    argv.push_back(arg.data());
  }
  argv.push_back(nullptr);

  const pid_t pid = fork();
  if (pid == 0) {
    // Only async-signal-safe calls between fork and exec.
    const int in = open(input_path.c_str(), O_RDONLY);
    const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0 || chdir(workdir.c_str()) != 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 ||
        dup2(err, 2) < 0) {
      _exit(126);
    }
    execv(argv[0], argv.data());
    _exit(127);
  }
  Outcome outcome;
  int wstatus = 0;
  if (pid < 0 || waitpid(pid, &wstatus, 0) != pid) {
    return outcome;
  }
  outcome.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  outcome.out = read_file(out_path);
  outcome.err = read_file(err_path);
  return outcome;
}

std::string show_args(const std::vector<std::string>& args) {
  std::string shown = "quenvistrelctl";
  for (const auto& arg : args) {
    shown += arg.find_first_of(" \t'\"") == std::string::npos && !arg.empty() ? " " + arg : " '" + arg + "'";
  }
  return shown;
}

std::string diff_text(std::string_view what, std::string_view expected, std::string_view actual) {
  return fmt::format("{} differs\n----- expected\n{}\n----- actual\n{}\n-----", what, expected, actual);
}

// ---- The database store ------------------------------------------------------------------
//
// With QUEN_E2E_DATABASE set (scripts/with-postgres gives the server through PGHOST and
// PGUSER), every case runs against the database store instead: each state path the case
// names (by --state, or the default quenvistrel.json) becomes a fresh database, passed as a
// URI that leaves the server to the environment. A state file the case writes is moved into
// its database first, an expected state file is the database moved out into a file, and an
// expected missing one is a database without a store.

bool database_mode() { return std::getenv("QUEN_E2E_DATABASE") != nullptr; }

// The value of --state in a run's arguments, if any.
std::optional<std::string> state_argument(const std::vector<std::string>& args) {
  for (std::size_t i = 0; i < args.size() && args[i] != "--"; ++i) {
    if (args[i] == "--state" && i + 1 < args.size()) return args[i + 1];
    if (args[i].starts_with("--state=")) return args[i].substr(8);
  }
  return std::nullopt;
}

class Databases {
 public:
  Databases() = default;
  Databases(const Databases&) = delete;
  Databases& operator=(const Databases&) = delete;
  ~Databases() {
    auto admin = quenvistrel_cli::PgConnection::connect("postgresql:///postgres");
    if (!admin) return;
    for (const auto& [path, name] : names_) (void)admin->exec(fmt::format("DROP DATABASE IF EXISTS {}", name));
  }

  // The URI of the database standing for state path `path`, made on first use.
  std::expected<std::string, std::string> uri(const std::string& path) {
    if (auto it = names_.find(path); it != names_.end()) return "postgresql:///" + it->second;
    const std::string name = fmt::format("quen_e2e_{}_{}", getpid(), counter_++);
    auto admin = quenvistrel_cli::PgConnection::connect("postgresql:///postgres");
    if (!admin) return std::unexpected(admin.error());
    if (auto made = admin->exec(fmt::format("CREATE DATABASE {}", name)); !made) return std::unexpected(made.error());
    names_.emplace(path, name);
    return "postgresql:///" + name;
  }
  // Whether the database holds the store's tables.
  std::expected<bool, std::string> holds_store(const std::string& path) {
    auto target = uri(path);
    if (!target) return std::unexpected(target.error());
    auto conn = quenvistrel_cli::PgConnection::connect(*target);
    if (!conn) return std::unexpected(conn.error());
    auto found = conn->exec("SELECT to_regclass('quenvistrel.store') IS NOT NULL");
    if (!found) return std::unexpected(found.error());
    return found->bytes(0, 0) == "t";
  }

 private:
  std::map<std::string, std::string> names_;
  inline static int counter_ = 0;
};

// Whether a run goes to a database: one without arguments prints the help either way, an
// empty state path stays the file path it is, and a location that is no file path (a
// database's, or one of unknown form) is the case's own.
bool takes_database(const std::vector<std::string>& args) {
  if (args.empty()) return false;
  const auto state = state_argument(args);
  return !state || (!state->empty() && quenvistrel_cli::location_form(*state) == quenvistrel_cli::LocationForm::File);
}

// The run's arguments with its state path replaced by its database's URI (put first when
// the run names none).
std::expected<std::vector<std::string>, std::string> database_args(std::vector<std::string> args, Databases& dbs) {
  if (!takes_database(args)) return args;
  const std::string path = state_argument(args).value_or("quenvistrel.json");
  auto uri = dbs.uri(path);
  if (!uri) return std::unexpected(uri.error());
  bool replaced = false;
  for (std::size_t i = 0; i < args.size() && args[i] != "--"; ++i) {
    if (args[i] == "--state" && i + 1 < args.size()) {
      args[i + 1] = *uri;
      replaced = true;
      ++i;
    } else if (args[i].starts_with("--state=")) {
      args[i] = "--state=" + *uri;
      replaced = true;
    }
  }
  if (!replaced) args.insert(args.begin(), {"--state", *uri});
  return args;
}

// Every state path of the case's runs that stands for a database.
std::vector<std::string> state_paths(const std::vector<Step>& steps) {
  std::vector<std::string> paths;
  for (const Step& step : steps) {
    if (const auto* run = std::get_if<RunStep>(&step); run != nullptr && takes_database(run->args)) {
      const std::string path = state_argument(run->args).value_or("quenvistrel.json");
      if (std::find(paths.begin(), paths.end(), path) == paths.end()) paths.push_back(path);
    }
  }
  return paths;
}

class EndToEnd : public ::testing::TestWithParam<std::string> {};

TEST_P(EndToEnd, Case) {
  const fs::path case_path = fs::path(QUEN_E2E_CASE_DIR) / GetParam();
  const std::string text = read_file(case_path);
  ASSERT_FALSE(text.empty()) << "cannot read " << case_path;
  auto parsed = CaseParser(text).parse();
  if (const auto* error = std::get_if<ParseError>(&parsed)) {
    FAIL() << case_path.string() << ":" << error->line << ": " << error->message;
  }
  const auto& steps = std::get<std::vector<Step>>(parsed);
  const bool on_database = database_mode();
  if (on_database && std::any_of(steps.begin(), steps.end(),
                                 [](const Step& s) { return std::holds_alternative<FilesOnly>(s); })) {
    GTEST_SKIP() << "about the state file itself";
  }
  Databases databases;
  // A state file as the case wrote it, and its store moved out right after it was moved in:
  // "the file is unchanged" on a file is "the store is as it was moved in" on a database.
  std::map<std::string, std::pair<std::string, std::string>> moved_in;
  const std::vector<std::string> states = state_paths(steps);
  const auto is_state = [&states](const std::string& path) {
    return std::find(states.begin(), states.end(), path) != states.end();
  };

  std::string base_template = (fs::temp_directory_path() / "quen-e2e-XXXXXX").string();
  ASSERT_NE(mkdtemp(base_template.data()), nullptr) << std::strerror(errno);
  const fs::path base = base_template;
  const fs::path work = base / "work";
  fs::create_directory(work);
  // The store of a database, moved out into a file beside the folder.
  const auto move_out = [&](const std::string& uri) -> std::expected<std::string, std::string> {
    const fs::path out = base / "moved-out.json";
    fs::remove(out);
    const Outcome moved = run_binary(work, base, {"copy", uri, out.string()}, QUEN_STORE_BINARY);
    if (moved.status != 0) return std::unexpected("the store cannot be moved out: " + moved.err);
    return read_file(out);
  };

  Bindings bindings;
  bool ok = true;
  auto check = [&](bool good, const std::string& message) {
    if (!good) {
      ADD_FAILURE() << case_path.string() << ": " << message;
      ok = false;
    }
  };

  for (const Step& step : steps) {
    if (const auto* s = std::get_if<WriteFile>(&step)) {
      const fs::path target = work / s->path;
      fs::create_directories(target.parent_path());
      std::ofstream(target, std::ios::binary) << s->bytes;
      if (on_database && is_state(s->path)) {
        auto uri = databases.uri(s->path);
        check(uri.has_value(), uri ? "" : uri.error());
        if (uri) {
          const Outcome moved = run_binary(work, base, {"copy", s->path, *uri}, QUEN_STORE_BINARY);
          check(moved.status == 0,
                fmt::format("state file {} cannot be moved into its database: {}", s->path, moved.err));
          auto out = move_out(*uri);
          check(out.has_value(), out ? "" : out.error());
          if (out) moved_in[s->path] = {s->bytes, std::move(*out)};
        }
      }
    } else if (const auto* s = std::get_if<MakeDir>(&step)) {
      fs::create_directories(work / s->path);
    } else if (const auto* s = std::get_if<Symlink>(&step)) {
      fs::create_symlink(s->target, work / s->link);
    } else if (const auto* s = std::get_if<Chmod>(&step)) {
      fs::permissions(work / s->path, s->mode);
    } else if (const auto* s = std::get_if<RunStep>(&step)) {
      std::vector<std::string> args = s->args;
      if (on_database) {
        auto replaced = database_args(args, databases);
        check(replaced.has_value(), replaced ? "" : replaced.error());
        if (!replaced) break;
        args = std::move(*replaced);
      }
      const Outcome got = run_binary(work, base, args, QUEN_CLI_BINARY, s->input);
      const std::string what = fmt::format("line {}: `{}`", s->line, show_args(s->args));
      check(got.status == s->status, fmt::format("{}: exit status {}, expected {}\n----- stderr\n{}", what,
                                                 got.status, s->status, got.err));
      check(matches(s->out, got.out, bindings), diff_text(what + ": stdout", s->out, got.out));
      check(matches(s->err, got.err, bindings), diff_text(what + ": stderr", s->err, got.err));
    } else if (const auto* s = std::get_if<ExpectFile>(&step); s != nullptr && on_database && is_state(s->path)) {
      // The database's store, moved out into a file beside the folder, must read as the file.
      auto uri = databases.uri(s->path);
      auto content = uri ? move_out(*uri) : std::unexpected(uri.error());
      check(content.has_value(), content ? "" : content.error());
      if (content) {
        std::string pattern = s->pattern;
        if (auto it = moved_in.find(s->path); it != moved_in.end() && it->second.first == pattern) {
          pattern = it->second.second;
        }
        check(matches(pattern, *content, bindings), diff_text("store " + s->path, pattern, *content));
      }
    } else if (const auto* s = std::get_if<ExpectMissing>(&step); s != nullptr && on_database && is_state(s->path)) {
      auto holds = databases.holds_store(s->path);
      check(holds.has_value(), holds ? "" : holds.error());
      check(!holds || !*holds, fmt::format("the database of {} holds a store", s->path));
    } else if (const auto* s = std::get_if<ExpectFile>(&step)) {
      const fs::path target = work / s->path;
      const bool exists = fs::is_regular_file(target);
      check(exists, fmt::format("file {} does not exist", s->path));
      if (exists) {
        const std::string content = read_file(target);
        check(matches(s->pattern, content, bindings), diff_text("file " + s->path, s->pattern, content));
      }
    } else if (const auto* s = std::get_if<ExpectMissing>(&step)) {
      check(!fs::exists(fs::symlink_status(work / s->path)), fmt::format("file {} exists", s->path));
    }
    if (!ok) {
      break;  // later steps build on this one; their failures would only echo it
    }
  }

  if (ok) {
    // A case may have taken permissions away; give them back so the folder can go.
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(base, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
      if (it->is_directory(ec) && !it->is_symlink(ec)) {
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
      }
    }
    fs::remove_all(base, ec);
  } else {
    std::cerr << "case folder kept at " << base << '\n';
  }
}

std::vector<std::string> case_files() {
  std::vector<std::string> files;
  std::string_view list = QUEN_E2E_CASES;
  while (!list.empty()) {
    const auto comma = list.find(',');
    files.emplace_back(list.substr(0, comma));
    list.remove_prefix(comma == std::string_view::npos ? list.size() : comma + 1);
  }
  return files;
}

INSTANTIATE_TEST_SUITE_P(Cases, EndToEnd, ::testing::ValuesIn(case_files()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           std::string name = fs::path(info.param).stem().string();
                           for (char& c : name) {
                             if (!std::isalnum(static_cast<unsigned char>(c))) {
                               c = '_';
                             }
                           }
                           return name;
                         });

// The placeholders decide what a case accepts; a matcher that let anything through would
// make every case pass.
TEST(EndToEndPlaceholders, AcceptOnlyTheirShape) {
  Bindings b;
  EXPECT_TRUE(matches("rule {{uuid}} added\n", "rule 0f8fad5b-d9cb-469f-a165-70867728950e added\n", b));
  EXPECT_FALSE(matches("rule {{uuid}} added\n", "rule 0F8FAD5B-D9CB-469F-A165-70867728950E added\n", b));
  EXPECT_FALSE(matches("rule {{uuid}}\n", "rule 0f8fad5bd9cb469fa16570867728950e\n", b));
  EXPECT_TRUE(matches("at {{timestamp}}.", "at 2024-06-01T12:00:00.5Z.", b));
  EXPECT_TRUE(matches("at {{timestamp}}", "at 2024-06-01T12:00:00+02:00", b));
  EXPECT_FALSE(matches("at {{timestamp}}", "at 2024-06-01 12:00:00Z", b));
  EXPECT_TRUE(matches("a {{any}}\nb\n", "a whatever it is\nb\n", b));
  EXPECT_FALSE(matches("a {{any}}\nb\n", "a x\nc\n", b));
  EXPECT_FALSE(matches("exact\n", "exact", b));
  EXPECT_FALSE(matches("", "\n", b));
}

TEST(EndToEndPlaceholders, NamedPlaceholdersMustAgree) {
  Bindings b;
  const std::string id = "0f8fad5b-d9cb-469f-a165-70867728950e";
  const std::string other = "1f8fad5b-d9cb-469f-a165-70867728950e";
  ASSERT_TRUE(matches("{{uuid:rule}}\n", id + "\n", b));
  EXPECT_TRUE(matches("\"rule_id\": \"{{uuid:rule}}\"", "\"rule_id\": \"" + id + "\"", b));
  EXPECT_FALSE(matches("{{uuid:rule}}", other, b));
  // A failed match binds nothing.
  EXPECT_FALSE(matches("{{uuid:late}} x", other + " y", b));
  EXPECT_TRUE(matches("{{uuid:late}}", id, b));
}

TEST(EndToEndCaseFormat, BlocksKeepExactBytes) {
  auto parsed = CaseParser(
                    "about this case\n"
                    "=== file a.json noeol\n"
                    "{}\n"
                    "=== file b.bin escapes noeol\n"
                    "\\xff\\x00\n"
                    "=== run --state 'x y.json' '' summary\n"
                    "--- stdout\n"
                    "\n"
                    "--- status 2\n")
                    .parse();
  ASSERT_TRUE(std::holds_alternative<std::vector<Step>>(parsed)) << std::get<ParseError>(parsed).message;
  const auto& steps = std::get<std::vector<Step>>(parsed);
  ASSERT_EQ(steps.size(), 3U);
  EXPECT_EQ(std::get<WriteFile>(steps[0]).bytes, "{}");
  EXPECT_EQ(std::get<WriteFile>(steps[1]).bytes, std::string("\xff\x00", 2));
  const RunStep& run = std::get<RunStep>(steps[2]);
  EXPECT_EQ(run.args, (std::vector<std::string>{"--state", "x y.json", "", "summary"}));
  EXPECT_EQ(run.out, "\n");
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.status, 2);
}

}  // namespace
