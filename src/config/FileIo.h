#pragma once
// The few file operations the configuration store needs, over plain POSIX calls. None of them
// raises; each reports failure by its result and leaves errno set.
#include <sys/stat.h>

#include <cstddef>
#include <functional>
#include <string>

namespace kov {

// Takes the next bytes read; false when it wants no more.
using ChunkConsumer = std::function<bool(const char* data, size_t size)>;

// Reads a regular file from its start in chunks of a few kilobytes, handing each to consume
// until consume wants no more or the file ends, so that memory stays flat whatever the file's
// size. False when the file cannot be opened, is no regular file (a directory, a pipe or a
// device, which could block or never end) or a read fails.
bool ReadFileChunks(const std::string& path, const ChunkConsumer& consume);

// The file that writing to path should replace: the target of a symbolic link, so that the link
// stays in place, or path itself.
std::string ReplaceTarget(const std::string& path);

enum class ProbeResult { kMissing, kWritable, kRefused };
// Whether path exists and, if so, opens for reading and writing as a regular file. The probe
// only opens and closes; on kWritable, info receives the file's status.
ProbeResult ProbeReadWrite(const std::string& path, struct stat& info);

// Replaces path with bytes so that readers see either the old file or the whole new one: the
// bytes go to path + ".tmp" in the same directory, are flushed to disk and renamed over path.
// A new file gets mode 0600: only its owner may read it. existing, when given, is the status of
// the file replaced; its mode carries over without any access for others, and its owner (where
// allowed). A write that cannot complete (a full disc, a file size limit, an input/output error)
// is a failure: the temporary file is removed, path is untouched and false returned.
bool ReplaceFile(const std::string& path, const std::string& bytes, const struct stat* existing);

}  // namespace kov
