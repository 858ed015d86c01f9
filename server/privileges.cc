// The user and group lookups and the switch of ids behind --user.
#include "server/privileges.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>

#include "server/status.h"

namespace {

bool parse_id(const std::string& text, unsigned* out) {
  const char* last = text.data() + text.size();
  auto [end, error] = std::from_chars(text.data(), last, *out);
  return !text.empty() && error == std::errc() && end == last;
}

}  // namespace

bool resolve_identity(const std::string& user, const std::string& group, Identity* out,
                      std::string* error) {
  errno = 0;
  const passwd* entry = ::getpwnam(user.c_str());
  unsigned number = 0;
  if (!entry && parse_id(user, &number)) entry = ::getpwuid(number);
  if (!entry) {
    *error = "--user: no user \"" + user + "\"";
    return false;
  }
  out->user = entry->pw_name;
  out->uid = entry->pw_uid;
  out->gid = entry->pw_gid;
  out->groups.clear();
  if (out->uid == 0) {
    *error = "--user: \"" + user + "\" is root; name an unprivileged user";
    return false;
  }
  if (!group.empty()) {
    const struct group* named = ::getgrnam(group.c_str());
    if (!named && parse_id(group, &number)) named = ::getgrgid(number);
    if (!named) {
      *error = "--user: no group \"" + group + "\"";
      return false;
    }
    out->gid = named->gr_gid;
    return true;
  }
  int count = 16;
  std::vector<gid_t> groups(count);
  while (::getgrouplist(out->user.c_str(), out->gid, groups.data(), &count) < 0) {
    groups.resize(static_cast<std::size_t>(count) + 16);
    count = static_cast<int>(groups.size());
  }
  groups.resize(static_cast<std::size_t>(count));
  out->groups = std::move(groups);
  return true;
}

bool drop_privileges(const Identity& identity, std::string* error) {
  if (::setgroups(identity.groups.size(), identity.groups.data()) != 0) {
    *error = describe_errno("setgroups", errno);
    return false;
  }
  if (::setgid(identity.gid) != 0) {
    *error = describe_errno("setgid", errno);
    return false;
  }
  if (::setuid(identity.uid) != 0) {
    *error = describe_errno("setuid", errno);
    return false;
  }
  // As root, setuid set the real, effective and saved ids alike; prove it.
  if (::setuid(0) == 0 || ::seteuid(0) == 0 || (identity.gid != 0 && ::setegid(0) == 0)) {
    *error = "root could be regained after setuid";
    return false;
  }
  uid_t ruid, euid, suid;
  gid_t rgid, egid, sgid;
  if (::getresuid(&ruid, &euid, &suid) != 0 || ::getresgid(&rgid, &egid, &sgid) != 0 ||
      ruid != identity.uid || euid != identity.uid || suid != identity.uid ||
      rgid != identity.gid || egid != identity.gid || sgid != identity.gid) {
    *error = "the ids after setuid are not the user's";
    return false;
  }
  return true;
}

std::string effective_user_name() {
  const uid_t uid = ::geteuid();
  const passwd* entry = ::getpwuid(uid);
  return entry ? entry->pw_name : std::to_string(uid);
}

std::string effective_group_name() {
  const gid_t gid = ::getegid();
  const group* entry = ::getgrgid(gid);
  return entry ? entry->gr_name : std::to_string(gid);
}
