// A fresh temporary folder for the tests of the POSIX platform on real
// files, with the paths the updater writes ("\") and plain reads and writes
// of the files in it.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/text.h"

namespace updater {

class TempTreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/updater-posix-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(root_); }

  // The path of `relative` as the updater writes it: with "\".
  std::wstring Win(const std::string& relative) const {
    std::wstring path = DecodeUtf8(root_ + "/" + relative);
    for (wchar_t& c : path) {
      if (c == L'/') c = L'\\';
    }
    return path;
  }
  void Write(const std::string& relative, const std::string& content) const {
    std::filesystem::create_directories(
        std::filesystem::path(root_ + "/" + relative).parent_path());
    std::ofstream(root_ + "/" + relative, std::ios::binary) << content;
  }
  std::string Read(const std::string& relative) const {
    std::ifstream in(root_ + "/" + relative, std::ios::binary);
    if (!in) return "<no such file>";
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
  }
  // Names in a folder, to see that no temporary file was left behind.
  std::vector<std::string> List(const std::string& relative) const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(root_ + "/" + relative)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  std::string root_;
};

}  // namespace updater
