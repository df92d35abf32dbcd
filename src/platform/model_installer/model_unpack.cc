#include "platform/model_installer/model_unpack.h"

#include <filesystem>
#include <system_error>
#include <vector>

#include "platform/model_installer/archive_handles.h"
#include "platform/models/model_paths.h"
#include "platform/models/store_io.h"

namespace quillmor_speech {

namespace {

namespace fs = std::filesystem;

// The entry's path inside the model root, or a failure when it would leave the root. "" for
// the root itself ("." or "./").
StatusOr<std::string> safeEntryPath(const std::string& name) {
  if (name.empty()) return Status::error("an entry has no name");
  if (name.front() == '/') return Status::error("entry \"" + name + "\" is absolute");
  std::string path;
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t end = name.find('/', start);
    if (end == std::string::npos) end = name.size();
    std::string part = name.substr(start, end - start);
    if (part == "..") {
      return Status::error("entry \"" + name + "\" leads outside the model directory");
    }
    if (!part.empty() && part != ".") path += (path.empty() ? "" : "/") + part;
    start = end + 1;
  }
  return path;
}

// Only regular files and directories are unpacked.
Status checkEntryType(archive_entry* entry, const std::string& name) {
  if (archive_entry_hardlink(entry) != nullptr) {
    return Status::error("entry \"" + name + "\" is a hard link");
  }
  mode_t type = archive_entry_filetype(entry);
  if (type == AE_IFLNK) return Status::error("entry \"" + name + "\" is a symbolic link");
  if (type != AE_IFREG && type != AE_IFDIR) {
    return Status::error("entry \"" + name + "\" is a device or other special file");
  }
  return Status::ok();
}

// Enables the decompressors that libarchive carries in its own code: gzip, bzip2, xz and zstd.
// Without its library, a filter falls back to running an outside program found on PATH
// (lrzip, lzop, grzip and the like always do, which is why none of those is enabled); such a
// build is refused rather than allowed to start one.
Status supportBuiltInFilters(archive* handle) {
  struct Filter {
    const char* name;
    int (*enable)(archive*);
  };
  static constexpr Filter kFilters[] = {{"gzip", archive_read_support_filter_gzip},
                                        {"bzip2", archive_read_support_filter_bzip2},
                                        {"xz", archive_read_support_filter_xz},
                                        {"zstd", archive_read_support_filter_zstd}};
  for (const Filter& filter : kFilters) {
    if (filter.enable(handle) != ARCHIVE_OK) {
      return Status::error(std::string("libarchive has no built-in ") + filter.name +
                           " decompression");
    }
  }
  return Status::ok();
}

StatusOr<ArchiveReader> openDownload(const ModelDownload& source, const std::string& file) {
  ArchiveReader reader(archive_read_new());
  if (!reader) return Status::error("libarchive could not start");
  archive* handle = reader.get();
  if (Status filters = supportBuiltInFilters(handle); !filters) return filters;
  if (source.isArchive) {
    // Only tar and zip, whose content is all in the archive. "all" would also take mtree, whose
    // entries name files of the local disk to read.
    archive_read_support_format_tar(handle);
    archive_read_support_format_gnutar(handle);
    archive_read_support_format_zip(handle);
  } else {
    archive_read_support_format_raw(handle);
  }
  if (archive_read_open_filename(handle, file.c_str(), 1 << 16) != ARCHIVE_OK) {
    return Status::error(archiveErrorText(handle));
  }
  return reader;
}

// Copies the current entry's data into a new file at `target`.
Status writeEntryData(archive* handle, const std::string& target, std::uint64_t limit,
                      std::uint64_t& written, const std::function<bool()>& cancelled) {
  StatusOr<FileDescriptor> out = createFile(target);
  if (!out) return out.status();
  std::vector<char> buffer(1 << 16);
  for (;;) {
    if (cancelled && cancelled()) return Status::error("cancelled");
    la_ssize_t count = archive_read_data(handle, buffer.data(), buffer.size());
    if (count == 0) break;
    if (count < 0) return Status::error(archiveErrorText(handle));
    if (static_cast<std::uint64_t>(count) > limit - written) {
      return Status::error("it unpacks to more than " + std::to_string(limit) + " bytes");
    }
    written += static_cast<std::uint64_t>(count);
    Status copied = writeAll(out->get(), buffer.data(), static_cast<std::size_t>(count), target);
    if (!copied) return copied;
  }
  return syncFile(*out, target);
}

Status unpackEntry(archive* handle, archive_entry* entry, const ModelDownload& source,
                   const std::string& root, std::uint64_t limit, std::uint64_t& written,
                   const std::function<bool()>& cancelled) {
  const char* rawName = archive_entry_pathname(entry);
  std::string name = source.isArchive ? (rawName ? rawName : "") : source.path;
  StatusOr<std::string> relative = safeEntryPath(name);
  if (!relative) return relative.status();
  if (Status allowed = checkEntryType(entry, name); !allowed) return allowed;
  const bool isDirectory = archive_entry_filetype(entry) == AE_IFDIR;
  fs::path target = relative->empty() ? fs::path(root) : fs::path(joinPath(root, *relative));
  std::error_code error;
  fs::create_directories(isDirectory ? target : target.parent_path(), error);
  if (error) return Status::error("cannot create " + target.string() + ": " + error.message());
  if (isDirectory) return Status::ok();
  if (relative->empty()) return Status::error("a file entry has no name");
  return writeEntryData(handle, target.string(), limit, written, cancelled);
}

Status unpackAll(const ModelDownload& source, const std::string& file, const std::string& root,
                 std::uint64_t limit, std::uint64_t& written, std::uint64_t& entries,
                 const std::function<bool()>& cancelled) {
  StatusOr<ArchiveReader> reader = openDownload(source, file);
  if (!reader) return reader.status();
  archive* handle = reader->get();
  for (;;) {
    if (cancelled && cancelled()) return Status::error("cancelled");
    archive_entry* entry = nullptr;
    int result = archive_read_next_header(handle, &entry);
    if (result == ARCHIVE_EOF) return Status::ok();
    if (result != ARCHIVE_OK && result != ARCHIVE_WARN) {
      return Status::error(archiveErrorText(handle));
    }
    if (++entries > kMaxModelEntries) {
      return Status::error("it holds more than " + std::to_string(kMaxModelEntries) + " entries");
    }
    Status unpacked = unpackEntry(handle, entry, source, root, limit, written, cancelled);
    if (!unpacked) return unpacked;
  }
}

}  // namespace

Status unpackDownload(const ModelDownload& source, const std::string& file, const std::string& root,
                      std::uint64_t limit, std::uint64_t& written, std::uint64_t& entries,
                      const std::string& what, const std::function<bool()>& cancelled) {
  return unpackAll(source, file, root, limit, written, entries, cancelled)
      .withContext("cannot unpack " + what + " from " + source.url);
}

}  // namespace quillmor_speech
