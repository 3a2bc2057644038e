// users.h - test support: running the programs as unprivileged users.
//
// The users are bare numbers (no passwd entry needed). Switching users needs root; tests that
// need it skip themselves elsewhere.
#ifndef KESTARA_TESTS_SUPPORT_USERS_H
#define KESTARA_TESTS_SUPPORT_USERS_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace kt {

class TempDir;

struct User {
  uid_t uid;
  gid_t gid;                  // primary group
  std::vector<gid_t> groups;  // supplementary groups, exactly these
};

// The group a test shares its database with, a member of it and a user outside it.
inline constexpr gid_t kSharedGroup = 64610;
inline const User kMember{64611, 64611, {kSharedGroup}};
inline const User kStranger{64612, 64612, {}};

// Whether this process can run programs as other users (root, with setpriv at hand).
bool canSwitchUsers();

// `argv` run as `user` through setpriv: real and effective user and group ids, and exactly
// the supplementary groups of `user`.
std::vector<std::string> asUser(const User &user, std::vector<std::string> argv);

// Gives `path` and everything below it to group `group`, as the package prepares
// /var/lib/kestara: folders 2770, files 0660 (their owner stays).
void shareWithGroup(const std::string &path, gid_t group);

// Lets every user through `path` (folders 0755) and read what is in it.
void openToAll(const std::string &path);

// Copies the build's programs `names` into `dir`, and the registration files into
// `dir`/registration (for OVW_REGISTRATION_DIR), and opens `dir` to all: the other users may
// not reach the build tree, as in a checkout inside a private folder. Returns dir.path().
std::string copyForOthers(const TempDir &dir, const std::vector<std::string> &names);

}  // namespace kt

#endif  // KESTARA_TESTS_SUPPORT_USERS_H
