#include "TestSupport.h"

#include <sys/mount.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <unistd.h>

namespace testsupport {

TempDir::TempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "fonolux-test-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("cannot create a temporary folder");
    path_ = pattern;
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

SmallDisk::SmallDisk(const std::filesystem::path &Dir) : path_(Dir / "small")
{
    std::filesystem::create_directory(path_);
    mounted_ = mount("tmpfs", path_.c_str(), "tmpfs", 0, "size=64k") == 0;
    if (!mounted_)
        error_ = std::strerror(errno);
}

SmallDisk::~SmallDisk()
{
    if (mounted_)
        umount(path_.c_str());
}

bool haveProgram(const std::string &name)
{
    const char *path = std::getenv("PATH");
    if (!path)
        return false;
    std::string all(path);
    size_t start = 0;
    while (start <= all.size()) {
        size_t end = all.find(':', start);
        if (end == std::string::npos)
            end = all.size();
        std::filesystem::path candidate = std::filesystem::path(all.substr(start, end - start)) / name;
        if (access(candidate.c_str(), X_OK) == 0)
            return true;
        start = end + 1;
    }
    return false;
}

std::string missingPeers(std::initializer_list<std::string_view> Names)
{
    std::string missing;
    for (std::string_view name : Names)
        if (!haveProgram(std::string(name)))
            missing += (missing.empty() ? "" : ", ") + std::string(name);
    if (missing.empty())
        return missing;
    return "peer program not installed: " + missing + " (bash scripts/install-deps.sh --test installs every program the tests use)";
}

} // namespace testsupport
