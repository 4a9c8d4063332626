// A fresh folder per test, removed afterwards, and small file helpers.
#ifndef SARNIC_TESTS_IO_TEMP_DIR_H_
#define SARNIC_TESTS_IO_TEMP_DIR_H_

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace sarnic::testing {

class TempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = std::filesystem::temp_directory_path() /
           ("sarnic_" + std::to_string(::getpid()) + "_" +
            info->test_suite_name() + "_" + info->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string Path(const std::string& name) const {
    return (dir_ / name).string();
  }
  std::string Write(const std::string& name, const std::string& content) const {
    std::ofstream(Path(name), std::ios::binary) << content;
    return Path(name);
  }
  std::string Read(const std::string& name) const {
    std::ifstream in(Path(name), std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }
  std::size_t FileCount() const {
    std::size_t n = 0;
    for (auto it = std::filesystem::directory_iterator(dir_);
         it != std::filesystem::directory_iterator(); ++it) {
      ++n;
    }
    return n;
  }

  std::filesystem::path dir_;
};

// A safetensors file from a header text and `data_bytes` bytes of data.
inline std::string Safetensors(const std::string& header,
                               std::size_t data_bytes) {
  std::string out(8, '\0');
  const uint64_t n = header.size();
  std::memcpy(out.data(), &n, 8);
  return out + header + std::string(data_bytes, '\x01');
}

}  // namespace sarnic::testing

#endif  // SARNIC_TESTS_IO_TEMP_DIR_H_
