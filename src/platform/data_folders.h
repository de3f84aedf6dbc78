// platform/data_folders.h
//
// Where the system keeps its files: the shared folder ("Corvane" under the
// program-files folder: rule file, version file, lock file, downloads) and the
// per-user folder ("Corvane" under the documents folder: whitelist, logs).
// Paths are computed once per process, cached, and never change afterwards.
// CVIE_ROOT (read on first use) relocates both folders (see platform/shell.h).
// All functions are safe to call from several threads.

#pragma once

#include <string>

namespace cvie::platform {

const std::wstring& SharedFolderPath();
const std::wstring& UserFolderPath();

const std::wstring& RuleFilePath();         // shared: "cvie.rle"
const std::wstring& VersionFilePath();      // shared: "cvie.ver"
const std::wstring& LockFilePath();         // shared: "background.lck"
const std::wstring& WhitelistFilePath();    // per-user: "whitelist.txt"
const std::wstring& WhitelistTempPath();    // per-user: "whitelist.txt.tmp"
const std::wstring& LogFilePath();          // per-user: "log1.txt"
const std::wstring& PreviousLogFilePath();  // per-user: "log2.txt"

// A file being downloaded to `destination`: destination + ".new".
std::wstring DownloadPath(const std::wstring& destination);

// Creates both folders (one level each); an existing folder is not an error,
// and failures are ignored (the files' owners report them).
void CreateDataFolders();

// Deletes `folder` with every file and subfolder in it, deepest first.
// Returns true when the folder no longer exists afterwards.
bool DeleteFolderTree(const std::wstring& folder);

// How a data folder path is made from what the shell gives: `shell_folder`
// (null when the shell could not give its folder), then `separator` unless it
// already ends with one, then "Corvane". Without a shell folder:
// `drive_root` (see CurrentDriveRoot in platform/shell.h; "C:" on Windows),
// the separator, "Corvane" and `fallback_suffix` (".ALL" for the shared
// folder, "." and the user name for the per-user folder). Pure function.
std::wstring ComposeDataFolder(const std::wstring* shell_folder,
                               const std::wstring& drive_root,
                               const std::wstring& fallback_suffix, wchar_t separator);

// Forgets every cached path so that the next call recomputes it from the
// current environment (CVIE_ROOT). For tests only: references returned
// earlier stay valid but keep the old value. Not to be called while other
// threads use the paths.
void ResetDataFolderCacheForTesting();

}  // namespace cvie::platform
