// Helpers shared by the test programs.
#pragma once

#include <filesystem>
#include <string>

namespace testsupport {

// A fresh folder under the system's temporary folder, removed with everything in it when the
// object goes away.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::filesystem::path &path() const { return path_; }
    std::filesystem::path operator/(const std::string &name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// A 64 KiB tmpfs mounted on a new folder "small" in Dir, for tests of a full disk; unmounted
// when the object goes away. Mounting needs privileges the test may not have: mounted() says
// whether it worked and error() why not.
class SmallDisk {
public:
    explicit SmallDisk(const std::filesystem::path &Dir);
    ~SmallDisk();
    SmallDisk(const SmallDisk &) = delete;
    SmallDisk &operator=(const SmallDisk &) = delete;
    bool mounted() const { return mounted_; }
    const std::string &error() const { return error_; }
    const std::filesystem::path &path() const { return path_; }
    std::filesystem::path operator/(const std::string &name) const { return path_ / name; }

private:
    std::filesystem::path path_;
    bool mounted_ = false;
    std::string error_;
};

// True when a program of that name is on PATH.
bool haveProgram(const std::string &name);

} // namespace testsupport
