#pragma once
// Gives a test its own KX_HOME in a fresh temporary folder, removed afterwards, and installs
// a capturing logger. Derive fixtures from it (or use it as a member).

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/CaptureLogWriter.h"

namespace kxmp::test {

class TempHome {
 public:
  TempHome();
  ~TempHome();
  TempHome(const TempHome&) = delete;
  TempHome& operator=(const TempHome&) = delete;

  const std::string& path() const { return path_; }
  std::string sub(const std::string& rel) const { return path_ + "/" + rel; }

 private:
  std::string path_;
  std::string previous_;
  bool hadPrevious_ = false;
};

// A fixture with a temporary home and a capturing logger at level 7 (everything).
class HomeTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  std::unique_ptr<TempHome> home_;
  std::shared_ptr<CaptureLogWriter> log_;
};

// Writes a file with the given content, creating parent folders.
void WriteFile(const std::string& path, const std::string& content);
std::string ReadFile(const std::string& path);
bool PathExists(const std::string& path);
// The sorted names in a folder (none when it cannot be read).
std::vector<std::string> FolderNames(const std::string& folder);

}  // namespace kxmp::test
