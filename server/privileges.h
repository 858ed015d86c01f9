// Giving up root: trvs opens its port and its disks as root, then becomes an
// ordinary user for good. Called from the main thread; drop() changes every
// thread of the process (the C library applies the ids to all of them).
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

struct Identity {
  std::string user;
  uid_t uid = 0;
  gid_t gid = 0;
  // The supplementary groups to take: the user's own groups when no group
  // was named, else none.
  std::vector<gid_t> groups;
};

// Looks up `user` and, when not empty, `group` (names, or numbers that name
// no entry). False with *error when either is unknown, or the user is root.
bool resolve_identity(const std::string& user, const std::string& group, Identity* out,
                      std::string* error);

// setgroups, setgid, setuid, then checks that root cannot be had back
// (setuid(0) and setegid(0) must fail and every id be the new one). False
// with *error saying which step failed; the process must then stop, as it
// may hold some ids of each.
bool drop_privileges(const Identity& identity, std::string* error);

// The names of the user and group this process runs as (their numbers when
// they have no entry), for messages that tell who must be able to do what.
std::string effective_user_name();
std::string effective_group_name();
