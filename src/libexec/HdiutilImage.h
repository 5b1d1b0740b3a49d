// The outside tools hdiutil runs (unsquashfs, squashfuse, fusermount3) and what it learns from
// them about an image before anything of it reaches the disk.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace vantry::Hdiutil {

/// How a tool ended and what it wrote.
struct Finished {
    int status = -1;
    std::string out;
    std::string err;
};

/// The system tool `name` from the usual system folders; empty when it is not installed.
[[nodiscard]] std::string tool(const char *name);

/// Runs `arguments` (the first an absolute path) with standard input from /dev/null and the
/// descriptors that are not close-on-exec passed on; the tool is killed should hdiutil die
/// first. Nothing when it could not be run, ended by a signal, or wrote more than `outputLimit`
/// bytes.
[[nodiscard]] std::optional<Finished> run(const std::vector<std::string> &arguments,
                                          size_t outputLimit = 64 * 1024);

/// What extracting an image would bring, from the listing of `unsquashfs -lln`.
struct Contents {
    unsigned long long entries = 0;
    /// What the extracted tree may take at most on disk: every file at its full length (holes
    /// are not counted on), each item with a block of its own for its metadata.
    unsigned long long bytes = 0;
    /// A device, FIFO or socket is among the items.
    bool special = false;
};

/// The listing read; nothing when a line cannot be read or the sums overflow.
[[nodiscard]] std::optional<Contents> readListing(const std::string &listing);

} // namespace vantry::Hdiutil
