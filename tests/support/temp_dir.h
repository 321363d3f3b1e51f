// A private directory under $TMPDIR (or /tmp) for one test, removed with everything in it when
// the object goes away.
#ifndef VORLAN_TESTS_TEMP_DIR_H
#define VORLAN_TESTS_TEMP_DIR_H

#include <string>

namespace vorlan::test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;

  const std::string &path() const { return path_; }
  // Writes `contents` to `name` inside the directory (creating parent folders) and returns the
  // file's full path. Fails the current test on error.
  std::string write(const std::string &name, const std::string &contents) const;
  // The whole file, "" when it cannot be read.
  static std::string read(const std::string &path);

 private:
  std::string path_;
};

}  // namespace vorlan::test

#endif  // VORLAN_TESTS_TEMP_DIR_H
