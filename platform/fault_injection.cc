// The fault-injection table. A single atomic holds the number of armed
// entries (or -1 before the environment has been read), so the common case,
// nothing armed, is one relaxed load; everything else runs under a mutex.
#include "platform/fault_injection.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace {

struct Entry {
  std::string function;
  DWORD error;
  unsigned skip;
  unsigned count;  // 0: unlimited
};

constexpr int kNotLoaded = -1;

// The environment arms the hooks in test builds only: an installed program
// must not fail a real run because of a stray variable.
const char* environment_hook(const char* name) {
#ifdef TRV_TEST_HOOKS
  return std::getenv(name);
#else
  (void)name;
  return nullptr;
#endif
}

struct Table {
  std::mutex mutex;
  std::vector<Entry> entries;  // guarded by mutex
};

std::atomic<int> armed{kNotLoaded};
std::once_flag environment_once;

Table& table() {
  // Never destroyed: calls may come from threads that outlive static
  // destruction.
  static Table* instance = new Table;
  return *instance;
}

bool parse_number(std::string_view text, unsigned long* out) {
  if (text.empty()) return false;
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  std::string copy(text);
  char* end = nullptr;
  errno = 0;
  const unsigned long value = std::strtoul(copy.c_str(), &end, base);
  if (errno != 0 || end != copy.c_str() + copy.size() || copy[0] == '-' || copy[0] == '+' ||
      value > 0xFFFFFFFFul) {
    return false;
  }
  *out = value;
  return true;
}

// Parses one "Name:error[:skip[:count]]" entry.
bool parse_entry(std::string_view text, Entry* entry) {
  std::vector<std::string_view> fields;
  while (true) {
    const auto colon = text.find(':');
    fields.push_back(text.substr(0, colon));
    if (colon == std::string_view::npos) break;
    text.remove_prefix(colon + 1);
  }
  if (fields.size() < 2 || fields.size() > 4 || fields[0].empty()) return false;
  unsigned long error = 0, skip = 0, count = 1;
  if (!parse_number(fields[1], &error)) return false;
  if (fields.size() > 2 && !parse_number(fields[2], &skip)) return false;
  if (fields.size() > 3 && !parse_number(fields[3], &count)) return false;
  *entry = Entry{std::string(fields[0]), static_cast<DWORD>(error), static_cast<unsigned>(skip),
                 static_cast<unsigned>(count)};
  return true;
}

// Appends the well-formed entries of `list` to the table; returns the count
// of malformed ones.
unsigned parse_list_locked(Table& t, std::string_view list) {
  unsigned malformed = 0;
  while (!list.empty()) {
    const auto comma = list.find(',');
    const std::string_view item = list.substr(0, comma);
    list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
    if (item.empty()) continue;
    Entry entry;
    if (parse_entry(item, &entry)) {
      t.entries.push_back(std::move(entry));
    } else {
      ++malformed;
      std::fprintf(stderr, "TRV_FAIL_CALL: ignoring malformed entry \"%.*s\"\n",
                   static_cast<int>(item.size()), item.data());
    }
  }
  armed.store(static_cast<int>(t.entries.size()), std::memory_order_release);
  return malformed;
}

void load_environment() {
  std::call_once(environment_once, [] {
    Table& t = table();
    std::lock_guard lock(t.mutex);
    const char* value = environment_hook("TRV_FAIL_CALL");
    parse_list_locked(t, value ? value : "");
  });
}

}  // namespace

void inject_failure(const char* function, DWORD error, unsigned skip, unsigned count) {
  load_environment();
  Table& t = table();
  std::lock_guard lock(t.mutex);
  t.entries.push_back(Entry{function, error, skip, count});
  armed.store(static_cast<int>(t.entries.size()), std::memory_order_release);
}

unsigned arm_failures_from(std::string_view list) {
  load_environment();
  Table& t = table();
  std::lock_guard lock(t.mutex);
  return parse_list_locked(t, list);
}

void clear_injected_failures() {
  load_environment();
  Table& t = table();
  std::lock_guard lock(t.mutex);
  t.entries.clear();
  armed.store(0, std::memory_order_release);
}

namespace {

struct Bound {
  std::string name;
  DWORD milliseconds;
};

struct BoundTable {
  std::mutex mutex;
  std::vector<Bound> bounds;  // guarded by mutex
};

std::atomic<int> bounds_set{kNotLoaded};
std::once_flag bounds_once;

BoundTable& bound_table() {
  static BoundTable* instance = new BoundTable;  // never destroyed, as above
  return *instance;
}

void set_bound_locked(BoundTable& t, std::string_view name, DWORD milliseconds) {
  for (Bound& bound : t.bounds) {
    if (bound.name == name) {
      bound.milliseconds = milliseconds;
      return;
    }
  }
  t.bounds.push_back(Bound{std::string(name), milliseconds});
}

void load_bounds() {
  std::call_once(bounds_once, [] {
    BoundTable& t = bound_table();
    std::lock_guard lock(t.mutex);
    const char* value = environment_hook("TRV_TEST_BOUNDS");
    std::string_view list = value ? value : "";
    while (!list.empty()) {
      const auto comma = list.find(',');
      const std::string_view item = list.substr(0, comma);
      list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
      if (item.empty()) continue;
      const auto equals = item.find('=');
      unsigned long milliseconds = 0;
      if (equals == std::string_view::npos || equals == 0 ||
          !parse_number(item.substr(equals + 1), &milliseconds)) {
        std::fprintf(stderr, "TRV_TEST_BOUNDS: ignoring malformed entry \"%.*s\"\n",
                     static_cast<int>(item.size()), item.data());
        continue;
      }
      set_bound_locked(t, item.substr(0, equals), static_cast<DWORD>(milliseconds));
    }
    bounds_set.store(static_cast<int>(t.bounds.size()), std::memory_order_release);
  });
}

}  // namespace

DWORD test_bound_ms(const char* name, DWORD shipped) {
  const int state = bounds_set.load(std::memory_order_relaxed);
  if (state == 0) return shipped;
  if (state == kNotLoaded) {
    load_bounds();
    if (bounds_set.load(std::memory_order_acquire) == 0) return shipped;
  }
  BoundTable& t = bound_table();
  std::lock_guard lock(t.mutex);
  for (const Bound& bound : t.bounds) {
    if (bound.name == name) return bound.milliseconds < shipped ? bound.milliseconds : shipped;
  }
  return shipped;
}

void set_test_bound(const char* name, DWORD milliseconds) {
  load_bounds();
  BoundTable& t = bound_table();
  std::lock_guard lock(t.mutex);
  set_bound_locked(t, name, milliseconds);
  bounds_set.store(static_cast<int>(t.bounds.size()), std::memory_order_release);
}

bool injected_failure(const char* function, DWORD* error) {
  const int state = armed.load(std::memory_order_relaxed);
  if (state == 0) return false;
  if (state == kNotLoaded) {
    load_environment();
    if (armed.load(std::memory_order_acquire) == 0) return false;
  }
  Table& t = table();
  std::lock_guard lock(t.mutex);
  bool fired = false;
  for (auto it = t.entries.begin(); it != t.entries.end();) {
    if (it->function != function) {
      ++it;
      continue;
    }
    if (it->skip > 0) {
      --it->skip;
      ++it;
      continue;
    }
    if (!fired) {
      fired = true;
      *error = it->error;
    }
    if (it->count == 1) {
      it = t.entries.erase(it);
      continue;
    }
    if (it->count > 1) --it->count;
    ++it;
  }
  armed.store(static_cast<int>(t.entries.size()), std::memory_order_release);
  return fired;
}
