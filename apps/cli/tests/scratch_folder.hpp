#pragma once

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

// A fresh private folder for each test, removed afterwards, with the few file helpers the
// tests of the tool's files share. `path_` names a file in it that does not exist yet.
class ScratchFolder : public testing::Test {
 protected:
  explicit ScratchFolder(std::string file_name) : file_name_(std::move(file_name)) {}

  void SetUp() override {
    std::string pattern = "/tmp/quen_test.XXXXXX";
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    path_ = dir_ + "/" + file_name_;
  }
  void TearDown() override {
    ::chmod(dir_.c_str(), 0700);
    const std::string command = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
  }

  static void put(const std::string& path, std::string_view text) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
  }
  // The file's bytes, or "(absent)".
  static std::string get(const std::string& path) {
    std::string text;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return "(absent)";
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
    std::fclose(f);
    return text;
  }
  // The names in the folder, "." and ".." left out.
  [[nodiscard]] std::vector<std::string> entries() const {
    std::vector<std::string> names;
    DIR* d = ::opendir(dir_.c_str());
    while (const dirent* e = ::readdir(d)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(d);
    return names;
  }

  std::string dir_;
  std::string path_;

 private:
  std::string file_name_;
};
