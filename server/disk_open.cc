// The served disks at start: the paths checked, each disk opened once (a
// block device exclusively, an image locked), its size and limits taken,
// its digest map's folder opened, and the second, O_DIRECT descriptor its
// writes go through. Runs on the main thread before the server listens,
// except open_direct, which an open_device may call again with the disk's
// mutex held.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "server/aligned_memory.h"
#include "server/digest_map.h"
#include "server/disk_session.h"
#include "server/disk_store.h"
#include "server/disk_store_internal.h"
#include "server/privileges.h"

Status DiskStore::open_disks() {
  // Writable disks first, so that a verify disk of the same file finds the
  // one whose claim or lock it shares.
  for (const bool read_only : {false, true}) {
    for (auto& disk : disks_) {
      if (disk->fd >= 0 || disk->config.read_only != read_only) continue;
      if (Status status = open_disk(*disk); !status.is_ok()) {
        disk->open_error = status.message();
        return Status::failure(OpenFailed, "disk " + std::to_string(disk->config.number) + " (" +
                                               disk->config.path + "): " + status.message());
      }
    }
  }
  return Status::ok();
}

Status DiskStore::check_paths() {
  for (auto& disk : disks_) {
    if (disk->fd < 0) continue;
    struct stat named;
    std::string problem;
    if (io_.stat(disk->config.path.c_str(), &named) != 0) {
      problem = describe_errno("cannot be looked up: stat", errno);
    } else if (named.st_dev != disk->dev || named.st_ino != disk->ino) {
      problem = "no longer names the file opened";
    }
    if (!problem.empty()) {
      return Status::failure(OpenFailed, "disk " + std::to_string(disk->config.number) + " (" +
                                             disk->config.path + "): " + problem);
    }
  }
  return Status::ok();
}

Status DiskStore::open_disk(Disk& disk) {
  const std::string& path = disk.config.path;
  const bool read_only = disk.config.read_only;
  struct stat named;
  if (io_.stat(path.c_str(), &named) != 0) return Status::failure(OpenFailed, std::strerror(errno));
  if (S_ISDIR(named.st_mode)) {
    return Status::failure(OpenFailed, "is a directory, not a block device or a regular file");
  }
  if (!S_ISBLK(named.st_mode) && !S_ISREG(named.st_mode)) {
    return Status::failure(OpenFailed, "is neither a block device nor a regular file");
  }
  // A verify disk may serve the file of a writable disk, the two taking
  // turns (Disk::shared): the writable one's claim or lock keeps others away
  // from both, and a claim or lock of its own would be refused.
  Disk* partner = nullptr;
  for (const auto& other : disks_) {
    if (read_only && other->fd >= 0 && !other->config.read_only && !other->shared &&
        other->dev == named.st_dev && other->ino == named.st_ino && other->rdev == named.st_rdev) {
      partner = other.get();
    }
  }
  // A block device is opened exclusively: the kernel then refuses it while
  // it is mounted or claimed by anyone else, and keeps it ours while we run.
  int flags = (read_only ? O_RDONLY : O_RDWR) | O_CLOEXEC;
  if (S_ISBLK(named.st_mode) && partner == nullptr) flags |= O_EXCL;
  const int fd = io_.open(path.c_str(), flags);
  if (fd < 0) {
    const int error = errno;
    if (error == EBUSY && S_ISBLK(named.st_mode)) {
      return Status::failure(
          OpenFailed, "mounted or in use (" + describe_errno("open with O_EXCL", error) + ")");
    }
    std::string why =
        describe_errno(read_only ? "open for reading" : "open for reading and writing", error);
    if (error == EACCES || error == EPERM) {
      why += std::string("; it must be ") + (read_only ? "readable" : "readable and writable") +
             " by user " + effective_user_name() + " (see trvs(8))";
    }
    return Status::failure(OpenFailed, why);
  }
  struct stat st;
  std::int64_t size = 0;
  Status status = Status::ok();
  const auto same_as = [&st, partner, this]() -> const Disk* {
    for (const auto& other : disks_) {
      if (other.get() != partner && other->fd >= 0 && other->dev == st.st_dev &&
          other->ino == st.st_ino && other->rdev == st.st_rdev) {
        return other.get();
      }
    }
    return nullptr;
  };
  if (io_.fstat(fd, &st) != 0) {
    status = Status::failure(OpenFailed, describe_errno("fstat", errno));
  } else if (const Disk* other = same_as()) {
    status = Status::failure(OpenFailed,
                             "is the same file as disk " + std::to_string(other->config.number));
  } else if (partner && (st.st_dev != partner->dev || st.st_ino != partner->ino)) {
    status = Status::failure(OpenFailed, "was replaced while trvs started");
  } else if (S_ISBLK(st.st_mode)) {
    std::uint64_t bytes = 0;
    int sector = 0;
    if (io_.device_size(fd, &bytes) != 0) {
      status = Status::failure(OpenFailed, describe_errno("ioctl BLKGETSIZE64", errno));
    } else if (io_.logical_block_size(fd, &sector) != 0) {
      status = Status::failure(OpenFailed, describe_errno("ioctl BLKSSZGET", errno));
    } else if (bytes == 0) {
      status = Status::failure(OpenFailed, "block device of 0 bytes (no medium?)");
    } else {
      disk.block_device = true;
      disk.block = static_cast<std::size_t>(sector);
      size = static_cast<std::int64_t>(bytes);
    }
  } else if (S_ISREG(st.st_mode)) {
    size = st.st_size;
    // Two servers writing one image would interleave their chunks; the lock
    // keeps a second trvs (or anything else that locks) away for as long as
    // this one runs. A verifying server shares its lock with other readers.
    struct statvfs fs;
    if (!partner && io_.flock(fd, (read_only ? LOCK_SH : LOCK_EX) | LOCK_NB) != 0) {
      status = Status::failure(OpenFailed, errno == EWOULDBLOCK
                                               ? "image file is locked by another process"
                                               : describe_errno("flock", errno));
    } else if (disk.config.fixed_size && size == 0 && !read_only) {
      status = Status::failure(OpenFailed, "fixed-size image of 0 bytes, which can hold nothing");
    } else if (disk.config.max_size > 0) {
      disk.max_size = std::max(disk.config.max_size, size);
    } else if (io_.fstatvfs(fd, &fs) != 0) {
      status = Status::failure(OpenFailed, describe_errno("fstatvfs", errno));
    } else {
      // An image larger than its file system could never be written whole;
      // a chunk far out would only make a huge sparse file.
      const auto fs_bytes = static_cast<std::int64_t>(
          std::min<std::uint64_t>(static_cast<std::uint64_t>(fs.f_blocks) * fs.f_frsize,
                                  static_cast<std::uint64_t>(kDefaultMaxImageSize)));
      disk.max_size = std::max(fs_bytes, size);
    }
  } else {
    status = Status::failure(OpenFailed, "is neither a block device nor a regular file");
  }
  // It must be readable, not only openable (a failing device, a file on a
  // vanished network share).
  std::uint8_t byte = 0;
  if (status.is_ok() && size > 0 && io_.pread(fd, &byte, 1, 0) < 0) {
    status = Status::failure(OpenFailed, describe_errno("cannot be read: pread", errno));
  }
  // A map vouches for an image only while nothing but trvs writes it: a
  // block device can be written through other names without a trace, and a
  // verify disk is served to be read.
  if (status.is_ok() && !disk.config.digest_map_dir.empty()) {
    if (disk.block_device || read_only) {
      log(digest_map_event(
          disk.config.number,
          std::string("no digest map for ") +
              (disk.block_device ? "a block device" : "a disk served with --verify-disk") +
              "; every compare reads the disk",
          kPriorityNotice));
    } else {
      disk.map =
          std::make_unique<DigestMap>(disk.config.number, disk.config.digest_map_dir, st.st_dev,
                                      st.st_ino, [this](const Event& event) { log(event); });
      status = disk.map->open_folder();
      if (!status.is_ok()) disk.map.reset();
    }
  }
  if (!status.is_ok()) {
    io_.close(fd);
    return status;
  }
  if (partner) {
    disk.shared = std::make_shared<Disk::SharedFile>();
    partner->shared = disk.shared;
  }
  disk.fd = fd;
  disk.dev = st.st_dev;
  disk.ino = st.st_ino;
  disk.rdev = st.st_rdev;
  // Tried now, while trvs may still open what only root can; a refusal is
  // logged by the open_device that finds it, which tries again.
  std::string why;
  if (!read_only) (void)open_direct(disk, &why);
  return Status::ok();
}

bool DiskStore::open_direct(Disk& disk, std::string* why) {
  // The aligned buffer serves blocks up to its own alignment.
  if (disk.block == 0 || disk.block > kDirectMemoryAlignment || kDirectPiece % disk.block != 0) {
    *why = "logical block size " + std::to_string(disk.block) + " unsuitable for direct I/O";
    return false;
  }
  // Without O_EXCL: the first descriptor holds the block device's claim,
  // and a second exclusive open by the same process would be refused.
  const int fd = io_.open(disk.config.path.c_str(), O_RDWR | O_DIRECT | O_CLOEXEC);
  struct stat direct;
  if (fd < 0) {
    *why = describe_errno("open with O_DIRECT", errno);
    return false;
  }
  if (io_.fstat(fd, &direct) != 0 || direct.st_dev != disk.dev || direct.st_ino != disk.ino ||
      direct.st_rdev != disk.rdev) {
    *why = "the path no longer names the file opened";
    io_.close(fd);
    return false;
  }
  disk.direct_fd = fd;
  return true;
}
