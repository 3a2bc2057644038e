// users.cc - test support: running the programs as unprivileged users.
#include "users.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "process.h"

namespace kt {

namespace {

constexpr const char *kSetpriv = "/usr/bin/setpriv";

void chownGroup(const std::filesystem::path &p, gid_t group) {
  (void)lchown(p.c_str(), static_cast<uid_t>(-1), group);
}

}  // namespace

bool canSwitchUsers() { return geteuid() == 0 && access(kSetpriv, X_OK) == 0; }

std::vector<std::string> asUser(const User &user, std::vector<std::string> argv) {
  std::string groups;
  for (gid_t g : user.groups) {
    if (!groups.empty()) groups += ',';
    groups += std::to_string(g);
  }
  std::vector<std::string> out = {kSetpriv, "--reuid=" + std::to_string(user.uid),
                                  "--regid=" + std::to_string(user.gid)};
  out.push_back(groups.empty() ? "--clear-groups" : "--groups=" + groups);
  out.push_back("--");
  out.insert(out.end(), argv.begin(), argv.end());
  return out;
}

void shareWithGroup(const std::string &path, gid_t group) {
  namespace fs = std::filesystem;
  auto share = [&](const fs::path &p) {
    chownGroup(p, group);
    if (fs::is_directory(fs::symlink_status(p))) {
      chmod(p.c_str(), 02770);
    } else if (fs::is_regular_file(fs::symlink_status(p)) || fs::is_fifo(fs::symlink_status(p))) {
      chmod(p.c_str(), 0660);
    }
  };
  share(path);
  std::error_code ec;
  for (const auto &entry : fs::recursive_directory_iterator(path, ec)) share(entry.path());
}

void openToAll(const std::string &path) {
  namespace fs = std::filesystem;
  chmod(path.c_str(), 0755);
  std::error_code ec;
  for (const auto &entry : fs::recursive_directory_iterator(path, ec)) {
    chmod(entry.path().c_str(), fs::is_directory(entry.symlink_status()) ? 0755 : 0644);
  }
}

std::string copyForOthers(const TempDir &dir, const std::vector<std::string> &names) {
  namespace fs = std::filesystem;
  fs::copy(srcPath("platform/ovw/registration"), dir.file("registration"),
           fs::copy_options::recursive);
  openToAll(dir.path());
  for (const std::string &name : names) {
    fs::copy_file(binPath(name), dir.file(name));
    chmod(dir.file(name).c_str(), 0755);
  }
  return dir.path();
}

}  // namespace kt
