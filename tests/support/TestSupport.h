// Helpers shared by the test programs.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <initializer_list>
#include <string>
#include <string_view>

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

// Empty when every named program is on PATH; otherwise a message naming the missing ones and
// the script that installs them.
std::string missingPeers(std::initializer_list<std::string_view> Names);

} // namespace testsupport

// The peer programs and servers a test checks our work against are required: when one is
// missing the test fails with a message saying which (a skip would let the test command pass
// having checked nothing). Use at the top of a test body (it returns from the function).
#define REQUIRE_PEERS(...)                                                                     \
    do {                                                                                       \
        const std::string peers_missing_ = ::testsupport::missingPeers({__VA_ARGS__});         \
        if (!peers_missing_.empty())                                                           \
            FAIL() << peers_missing_;                                                          \
    } while (false)
