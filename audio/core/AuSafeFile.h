// Writing a file beside its target and putting it in place in one step, so that a failed or
// abandoned write never destroys the file that was there. Plain functions; any thread.
#pragma once

#include <cstdint>
#include <string>

// The hidden file that a file for Target is written to first: ".<name>.<Tag>.part" in Target's
// folder (Tag in base 36), so that the final rename stays within one file system.
std::string HiddenPartName(const std::string &Target, std::uint64_t Tag);

// Whether a file may be put in place of Target: true when nothing or a regular file (or a link,
// which is replaced, never followed) is there; false for a device, a pipe, a folder or a socket,
// with Error saying so (renaming over one would replace it).
bool ReplaceableTarget(const std::string &Target, std::string &Error);

// Puts the finished file Part in place of Target: makes Part's contents durable (fsync), gives
// it Target's permission bits when Target exists, renames it over Target (one step: Target is
// never missing or half written) and syncs the folder. On failure Part is left where it is,
// Target as it was, Error holds the system's reason and the result is false.
bool ReplaceByPart(const std::string &Part, const std::string &Target, std::string &Error);
