#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace ts::testing {

// A temporary working folder, removed when the test ends.
class TestFolder {
 public:
  TestFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "ts-test-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TestFolder() {
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
  }
  TestFolder(const TestFolder&) = delete;
  TestFolder& operator=(const TestFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string str() const { return path_.string(); }

  void write(const std::string& relative, const std::string& bytes) const {
    const auto target = path_ / relative;
    std::filesystem::create_directories(target.parent_path());
    std::ofstream(target, std::ios::binary) << bytes;
  }
  std::string read(const std::string& relative) const {
    std::ifstream in(path_ / relative, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  bool exists(const std::string& relative) const {
    return std::filesystem::exists(path_ / relative);
  }
  void mkdir(const std::string& relative) const {
    std::filesystem::create_directories(path_ / relative);
  }

 private:
  std::filesystem::path path_;
};

// The usual folder: shown window for `seconds`, ORDEM and RESPOSTA present.
inline void prepareFolder(const TestFolder& folder, const std::string& config = "S\r\n1\r\n") {
  folder.write("config.ini", config);
  folder.mkdir("ORDEM");
  folder.mkdir("RESPOSTA");
}

}  // namespace ts::testing
