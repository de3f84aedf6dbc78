// platform/files.h
//
// The few file-system operations the data folders and the log need beyond
// plain streams: sizes, deleting, renaming, listing and making folders, and a
// file opened for appending whose every write lands whole at the end even when
// other processes append to the same file. Paths are wide strings (UTF-8 on
// disk). No function throws; all are thread-safe.

#pragma once

#include <stdint.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace cvie::platform {

// Size in bytes of the regular file at `path`; false when it does not exist
// or is no regular file.
bool GetFileSize(const std::wstring& path, uint64_t* size);

// When the regular file at `path` was last written, in seconds since
// 1970-01-01 UTC; false when it does not exist or is no regular file.
bool GetFileModifiedTime(const std::wstring& path, int64_t* seconds);

// Identifies one version of the file at `path` (device, inode, size, times):
// two calls give the same text only when the file was neither replaced nor
// written in between. Empty when nothing is at `path`.
std::string FileVersionStamp(const std::wstring& path);

// Reads the whole regular file at `path` into `*contents`; false when it
// cannot be opened or read.
bool ReadWholeFile(const std::wstring& path, std::string* contents);

// Replaces the file at `path` with `contents` so that a reader (or a crash)
// sees either the old file or the whole new one, never a part: writes
// "<path>.<random>.tmp" in the same folder, flushes it to disk, renames it
// over `path` and flushes the folder. The new file gets mode 0644. False, with
// `*error` saying why in a few words, when any step fails; the temporary file
// is then removed and `path` left as it was.
bool WriteFileAtomically(const std::wstring& path, std::string_view contents,
                         std::string* error);

// True when something (file, folder, link) exists at `path`.
bool PathExists(const std::wstring& path);

// Deletes a file (or a symbolic link, never what it points to). True on
// success.
bool DeleteFileAt(const std::wstring& path);

// Renames `from` to `to`. Fails when `to` already exists unless
// `replace_existing`. True on success.
bool RenameFile(const std::wstring& from, const std::wstring& to, bool replace_existing);

// Makes one folder level. True when it was made; false when it exists
// already or cannot be made (the parent is missing, no rights).
bool CreateFolder(const std::wstring& path);

// Removes an empty folder. True on success.
bool RemoveFolder(const std::wstring& path);

struct FolderEntry {
  std::wstring name;
  bool is_folder;  // a real folder; a symbolic link to a folder is not one
};

// The entries of `path` except "." and "..", in no particular order. False
// when the folder cannot be listed, or `path` is a symbolic link.
bool ListFolder(const std::wstring& path, std::vector<FolderEntry>* entries);

// True when `path` is a regular file owned by this process's user that no
// group or other user may read or write. Otherwise false with `why` saying
// what is wrong in a few words (e.g. "readable by other users (mode 0644)").
bool FileIsPrivate(const std::wstring& path, std::string* why);

// A file opened for appending, private to its owner: created with permissions
// 0600, and an existing file of this user that others may read or write is
// narrowed to 0600 (a log holds every address visited). Each Write is one
// system write at the end of the file, so lines written by several processes
// at once do not mix inside a line.
class AppendFile {
 public:
  // Null when the file cannot be opened (for instance a missing folder).
  static std::unique_ptr<AppendFile> Open(const std::wstring& path);
  ~AppendFile();

  // Writes all of `data`; false when the system refuses.
  bool Write(const char* data, size_t size);
  // True when `path` names the file this object writes to (it may have been
  // renamed since). *size_at_path gets the size of the file at `path` (0 when
  // there is none).
  bool IsAt(const std::wstring& path, uint64_t* size_at_path) const;
  // Opens `path` (creating it) in place of the file written so far, so that
  // every holder of this object goes on writing there; a Write running at the
  // same moment lands whole in one of the two files. False, and unchanged,
  // when `path` cannot be opened.
  bool Reopen(const std::wstring& path);

  AppendFile(const AppendFile&) = delete;
  AppendFile& operator=(const AppendFile&) = delete;

 private:
  explicit AppendFile(int fd) : fd_(fd) {}
  int fd_;
};

}  // namespace cvie::platform
