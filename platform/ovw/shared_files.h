// shared_files.h - the files of an OVw database, shared by the members of one group.
//
// The database file, its -wal and -shm files, the wake folder beside it and the FIFOs in that
// folder are readable and writable by their owner and their group only: files 0660, folders
// 02770 (the setgid bit makes what is created inside take the folder's group). These modes are
// set explicitly, whatever the caller's umask. The group is that of the database file, which
// takes it from a setgid folder (such as /var/lib/kestara, group kestara) when it is created.
//
// Before anything is created or changed, checkDatabaseAccess() tells a caller who may not use
// the database which file stands in the way and which group shares it.
#ifndef KESTARA_PLATFORM_OVW_SHARED_FILES_H
#define KESTARA_PLATFORM_OVW_SHARED_FILES_H

#include <sys/types.h>

#include <optional>
#include <string>

#include "result.h"

namespace kestara::ovw {

inline constexpr mode_t kSharedFileMode = 0660;
inline constexpr mode_t kSharedFolderMode = 02770;

// Checks, changing nothing, that the calling process (its effective user and groups) may use
// the database at `path`: reach its folder, read and write the database and the -wal, -shm
// files and wake folder that exist, and create those that are missing. The missing folders of
// the path are not checked (makeSharedFolders creates them). On refusal the error
// (OVW_ERR_NO_DATABASE) names the file or folder, its owner, group and mode, and the group to
// join.
Status checkDatabaseAccess(const std::string &path);

// Creates every missing folder of `dir`, each with kSharedFolderMode.
Status makeSharedFolders(const std::string &dir);

// Creates the database file, empty, with kSharedFileMode when it does not exist yet.
Status createDatabaseFile(const std::string &path);

// The group of the file at `path`.
Result<gid_t> groupOf(const std::string &path);

// Gives the database's -wal and -shm files the database's group where they belong to the
// caller and have another one (SQLite creates them with the caller's group in a folder without
// the setgid bit). Best effort: a file that can't be changed is left as it is. Works by name
// only: safe while SQLite holds locks on these files in this process.
void adoptCompanionFiles(const std::string &database_path);

// Creates `folder` when missing, with kSharedFolderMode and, when given, the group `group`.
// An existing folder is left as it is; something else at that path is an error.
Status makeSharedFolder(const std::string &folder, std::optional<gid_t> group);

// The name of a group (its number when it has none).
std::string groupName(gid_t group);

// Describes a refusal: "permission denied on PATH (owner U, group G, mode M); ...", naming the
// group to join. `database` is the database the caller was after.
Error accessDenied(const std::string &database, const std::string &path);

}  // namespace kestara::ovw

#endif  // KESTARA_PLATFORM_OVW_SHARED_FILES_H
