// platform/shell.h
//
// The machine's well-known folders and the user's name, as the layers above
// need them to place their files. On this platform:
//   program files  $XDG_DATA_HOME, default ~/.local/share
//   documents      the XDG documents folder ($XDG_DOCUMENTS_DIR, then
//                  user-dirs.dirs), default ~/Documents
//   config         $XDG_CONFIG_HOME/corvane, default ~/.config/corvane
//   runtime        $XDG_RUNTIME_DIR/corvane, default /tmp/corvane-<uid>
// When the environment variable CVIE_ROOT is set, every folder is placed
// under it instead: $CVIE_ROOT/share, $CVIE_ROOT/Documents, $CVIE_ROOT/config,
// $CVIE_ROOT/run. The environment is read on every call; callers that must
// not change their answer cache it.
//
// Paths have no length limit here: they are std::wstring, built without fixed
// buffers, so a folder deeper than 260 characters is used as it is; a path
// that the file system refuses makes the later file operation fail, which the
// file's owner reports.
//
// All functions are thread-safe (they only read the environment and the file
// system).

#pragma once

#include <string>

namespace cvie::platform {

// The separator the shell's paths use.
#ifdef _WIN32
constexpr wchar_t kPathSeparator = L'\\';
#else
constexpr wchar_t kPathSeparator = L'/';
#endif

// The program-files folder. With `create`, the folder (and its parents) is
// made when missing. False when no folder can be determined, or it is missing
// and cannot be made.
bool GetProgramFilesFolder(bool create, std::wstring* path);

// The user's documents folder; same contract as GetProgramFilesFolder.
bool GetDocumentsFolder(bool create, std::wstring* path);

// The login name of the user running the process. False when unknown.
bool GetUserName(std::wstring* name);

// Stands for "the current drive" in fallback paths of the form
// <drive>:<sep>Corvane...: there are no drive letters here, so it is the file
// system root (the empty string, giving "/Corvane...") or CVIE_ROOT when set.
std::wstring CurrentDriveRoot();

// Where the registry file lives. Not created.
std::wstring ConfigFolder();

// Where the lock files of named mutexes live. Not created.
std::wstring RuntimeFolder();

// Makes `path` and any missing parent. True when it exists as a folder
// afterwards.
bool CreateFolderWithParents(const std::wstring& path);

}  // namespace cvie::platform
