// shared_files.cc - creating and checking the group-shared files of an OVw database.
#include "shared_files.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "descriptor.h"

namespace kestara::ovw {

namespace {

std::string folderOf(const std::string &path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// The folders from the top down to `dir` itself: "/var", "/var/lib", "/var/lib/kestara".
std::vector<std::string> foldersDownTo(const std::string &dir) {
  std::vector<std::string> out;
  for (size_t pos = dir.find('/', 1); pos != std::string::npos; pos = dir.find('/', pos + 1)) {
    out.push_back(dir.substr(0, pos));
  }
  out.push_back(dir);
  return out;
}

std::string userName(uid_t uid) {
  std::vector<char> buf(4096);
  passwd p{};
  passwd *found = nullptr;
  if (getpwuid_r(uid, &p, buf.data(), buf.size(), &found) == 0 && found != nullptr) {
    return found->pw_name;
  }
  return std::to_string(uid);
}

std::string octal(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

Error failure(const std::string &what, const std::string &path, int error) {
  return makeError(OVW_ERR_NO_DATABASE, what + " " + path + ": " + std::strerror(error));
}

// Whether the caller may use `path` as `how` (R_OK, W_OK, X_OK) asks. A path that does not
// exist is fine when `missing` is given (it is set), an error otherwise.
Status mayUse(const std::string &database, const std::string &path, int how, bool *missing) {
  if (faccessat(AT_FDCWD, path.c_str(), how, AT_EACCESS) == 0) return Status::Ok();
  int error = errno;
  if (error == ENOENT && missing != nullptr) {
    *missing = true;
    return Status::Ok();
  }
  if (error == EACCES || error == EPERM) return accessDenied(database, path);
  return failure("cannot use the database " + database + ":", path, error);
}

}  // namespace

std::string groupName(gid_t gid) {
  std::vector<char> buf(4096);
  group g{};
  group *found = nullptr;
  if (getgrgid_r(gid, &g, buf.data(), buf.size(), &found) == 0 && found != nullptr) {
    return found->gr_name;
  }
  return std::to_string(gid);
}

Error accessDenied(const std::string &database, const std::string &path) {
  std::string detail = "cannot use the database " + database + ": permission denied on " + path;
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    return makeError(OVW_ERR_NO_DATABASE, detail + " (" + std::strerror(errno) + ")");
  }
  std::string group = groupName(st.st_gid);
  detail +=
      " (owner " + userName(st.st_uid) + ", group " + group + ", mode " + octal(st.st_mode) + ")";
  const mode_t group_rights = S_ISDIR(st.st_mode) ? S_IRWXG : (S_IRGRP | S_IWGRP);
  if ((st.st_mode & group_rights) == group_rights) {
    detail += "; it is shared by group " + group + ": run this as a member of group " + group;
  } else {
    detail += "; group " + group + " has no read and write access to it either";
  }
  return makeError(OVW_ERR_NO_DATABASE, detail);
}

Status checkDatabaseAccess(const std::string &path) {
  const std::string dir = folderOf(path);
  // Down from the top: every folder that exists must let us through; the last one that
  // exists must also let us create what is missing below it.
  std::string last = dir.starts_with('/') ? "/" : ".";
  for (const std::string &folder : foldersDownTo(dir)) {
    bool missing = false;
    OVW_TRY(mayUse(path, folder, X_OK, &missing));
    if (missing) return mayUse(path, last, W_OK | X_OK, nullptr);
    last = folder;
  }
  bool missing = false;
  for (const char *suffix : {"", "-wal", "-shm"}) {
    OVW_TRY(mayUse(path, path + suffix, R_OK | W_OK, &missing));
  }
  bool no_wake_folder = false;
  OVW_TRY(mayUse(path, path + "-wake", R_OK | W_OK | X_OK, &no_wake_folder));
  if (missing) OVW_TRY(mayUse(path, dir, W_OK | X_OK, nullptr));
  return Status::Ok();
}

Status makeSharedFolders(const std::string &dir) {
  for (const std::string &folder : foldersDownTo(dir)) {
    struct stat st {};
    if (stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;  // touch no parent
    OVW_TRY(makeSharedFolder(folder, std::nullopt));
  }
  return Status::Ok();
}

Status makeSharedFolder(const std::string &folder, std::optional<gid_t> group) {
  if (mkdir(folder.c_str(), 0770) != 0) {
    int error = errno;
    struct stat st {};
    if (error == EEXIST && stat(folder.c_str(), &st) == 0) {
      if (S_ISDIR(st.st_mode)) return Status::Ok();
      return makeError(OVW_ERR_NO_DATABASE, folder + " is not a folder");
    }
    return failure("cannot create folder", folder, error);
  }
  const platform::Descriptor fd(
      open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.ok()) return failure("cannot open folder", folder, errno);
  struct stat st {};
  if (fstat(fd.get(), &st) != 0) return failure("cannot read folder", folder, errno);
  // The group first: a change of group may clear the setgid bit.
  if (group && st.st_gid != *group) (void)fchown(fd.get(), static_cast<uid_t>(-1), *group);
  if (fchmod(fd.get(), kSharedFolderMode) != 0)
    return failure("cannot set the mode of", folder, errno);
  return Status::Ok();
}

Status createDatabaseFile(const std::string &path) {
  const platform::Descriptor fd(
      open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kSharedFileMode));
  if (!fd.ok()) {
    int error = errno;
    if (error == EEXIST) return Status::Ok();
    if (error == EACCES || error == EPERM) return accessDenied(path, folderOf(path));
    return failure("cannot create", path, error);
  }
  // The umask may have taken group bits away.
  if (fchmod(fd.get(), kSharedFileMode) != 0) return failure("cannot set the mode of", path, errno);
  return Status::Ok();
}

Result<gid_t> groupOf(const std::string &path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return failure("cannot read", path, errno);
  return st.st_gid;
}

void adoptCompanionFiles(const std::string &database_path) {
  struct stat db {};
  if (stat(database_path.c_str(), &db) != 0) return;
  for (const char *suffix : {"-wal", "-shm"}) {
    // By name, never through a descriptor of our own: closing one would drop the locks that
    // SQLite holds on the file in this process.
    std::string path = database_path + suffix;
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (st.st_uid == geteuid() && st.st_gid != db.st_gid) {
      (void)lchown(path.c_str(), static_cast<uid_t>(-1), db.st_gid);
    }
  }
}

}  // namespace kestara::ovw
