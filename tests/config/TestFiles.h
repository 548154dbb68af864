#pragma once
// Helpers for the configuration tests: the test support's temporary directory as the working
// directory of each test (so the default relative file name lands there) and whole-file reads
// and writes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/TempDir.h"

namespace kov::test {

class TempDirTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Absolute path of name inside the temporary directory.
  std::string Path(const std::string& name) const { return dir.Path(name); }

  TempDir dir;

 private:
  std::string oldCwd_;
};

void WriteBytes(const std::string& path, const std::string& bytes);
// The file's bytes; fails the test when it cannot be read.
std::string ReadBytes(const std::string& path);
bool Exists(const std::string& path);

// The lines joined, each followed by CR LF.
std::string CrLfText(const std::vector<std::string>& lines);

// The 48 lines written for the default store, spelled out.
std::vector<std::string> DefaultLines();

}  // namespace kov::test
