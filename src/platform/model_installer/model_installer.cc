#include "platform/model_installer/model_installer.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <system_error>
#include <vector>

#include "platform/base/posix_error.h"
#include "platform/model_installer/model_download.h"
#include "platform/model_installer/model_unpack.h"
#include "platform/models/model_check_stamp.h"
#include "platform/models/model_completeness.h"
#include "platform/models/model_lock.h"
#include "platform/models/model_paths.h"
#include "platform/models/store_io.h"

namespace quillmor_speech {

namespace {

namespace fs = std::filesystem;

// A download that is not fetched over HTTPS can be altered by anyone on its way, so it is taken
// only when the catalogue gives its size and SHA-256 to check it against. Checked for every
// download before the first request.
Status checkDownloadsAreVerifiable(const CatalogueEntry& entry, const std::string& what) {
  for (const ModelDownload& source : entry.downloads) {
    if (source.url.rfind("https://", 0) == 0 || (source.size && source.sha256)) continue;
    return Status::error("cannot install " + what + ": " + source.url +
                         " is not an https URL, and the catalogue gives no \"size\" and "
                         "\"sha256\" to check its download against");
  }
  return Status::ok();
}

// Fetches and unpacks every download of the entry into root, a download at a time.
Status fetchAll(const CatalogueEntry& entry, const std::string& work, const std::string& root,
                const std::string& what, const std::function<bool()>& cancelled) {
  std::uint64_t unpacked = 0;
  std::uint64_t entries = 0;
  for (std::size_t i = 0; i < entry.downloads.size(); ++i) {
    const ModelDownload& source = entry.downloads[i];
    std::string file = joinPath(work, "download-" + std::to_string(i + 1));
    Status fetched = downloadToFile(entry, source, file, what, cancelled);
    if (!fetched) return fetched;
    Status placed = unpackDownload(source, file, root, entry.maxUnpackedBytes, unpacked, entries,
                                   what, cancelled);
    if (!placed) return placed;
    std::error_code ignored;
    fs::remove(file, ignored);
  }
  return Status::ok();
}

// The part's path relative to root: as the catalogue gives it, or else under the one top-level
// directory that holds it (archives usually wrap their content in a directory of their own).
std::string locatePart(const std::string& root, const std::string& part) {
  std::error_code error;
  if (fs::exists(joinPath(root, part), error)) return part;
  std::vector<std::string> found;
  for (const fs::directory_entry& top : fs::directory_iterator(root, error)) {
    std::string candidate = joinPath(top.path().filename().string(), part);
    if (top.is_directory(error) && fs::exists(joinPath(root, candidate), error)) {
      found.push_back(candidate);
    }
  }
  return found.size() == 1 ? found.front() : part;
}

// Where the unpacked model's parts are relative to root, or what the downloads lack.
StatusOr<ModelFiles> locateParts(const CatalogueEntry& entry, const std::string& root,
                                 const std::string& what) {
  ModelFiles parts{locatePart(root, entry.parts.acousticModel),
                   locatePart(root, entry.parts.dictionary),
                   locatePart(root, entry.parts.languageModel)};
  std::optional<ModelShortcoming> shortcoming =
      findModelShortcoming(resolveModelFiles(root, parts));
  if (!shortcoming) return parts;
  std::string urls;
  for (const ModelDownload& source : entry.downloads) {
    urls += (urls.empty() ? "" : ", ") + source.url;
  }
  std::string part = modelPartName(shortcoming->part);
  std::string relative = shortcoming->part == ModelPart::dictionary      ? parts.dictionary
                         : shortcoming->part == ModelPart::languageModel ? parts.languageModel
                                                                         : parts.acousticModel;
  std::string lack =
      shortcoming->problem == ModelPartProblem::notRecognised
          ? "no usable " + part + " " + relative + " (mdef is not a model definition)"
          : "no " + part + " " + relative;
  return Status::error("cannot install " + what + ": the download from " + urls + " has " + lack);
}

Status writeManifest(const std::string& root, const std::string& name, const ModelFiles& parts) {
  nlohmann::json manifest = {{"name", name},
                             {"acousticModel", parts.acousticModel},
                             {"dictionary", parts.dictionary},
                             {"languageModel", parts.languageModel}};
  std::string text = manifest.dump(2) + "\n";
  std::string path = joinPath(root, kModelManifest);
  StatusOr<FileDescriptor> fd = createFile(path);
  if (!fd) return fd.status();
  if (Status written = writeAll(fd->get(), text.data(), text.size(), path); !written) {
    return written;
  }
  if (Status synced = syncFile(*fd, path); !synced) return synced;
  syncDirectory(root);
  return Status::ok();
}

void removeStaleWork(const std::string& store, const std::string& locale) {
  std::string prefix = "." + locale + ".";
  std::error_code error;
  for (const fs::directory_entry& item : fs::directory_iterator(store, error)) {
    if (item.path().filename().string().rfind(prefix, 0) == 0) {
      std::error_code ignored;
      fs::remove_all(item.path(), ignored);
    }
  }
}

// Renames the finished root to <store>/<locale>. The previous directory of this locale
// (incomplete, or the store's copy of a model found elsewhere) moves into the work directory
// and goes with it.
Status moveIntoPlace(const std::string& store, const std::string& locale, const std::string& root,
                     const std::string& work, const std::string& what) {
  std::string target = joinPath(store, locale);
  std::error_code error;
  if (fs::exists(fs::symlink_status(target, error))) {
    std::string previous = joinPath(work, "previous");
    if (rename(target.c_str(), previous.c_str()) != 0) {
      return posixError("cannot install " + what + ": cannot move " + target + " aside", errno);
    }
  }
  if (rename(root.c_str(), target.c_str()) != 0) {
    return posixError("cannot install " + what + ": cannot rename " + root + " to " + target,
                      errno);
  }
  syncDirectory(store);
  return Status::ok();
}

// The installation proper, under the locale's lock, in a fresh work directory.
Status installLocked(const std::string& store, const std::string& locale,
                     const CatalogueEntry& entry, const std::string& what,
                     const ModelLoadCheck& check, const std::function<bool()>& cancelled) {
  removeStaleWork(store, locale);
  StatusOr<WorkDirectory> work =
      WorkDirectory::create(joinPath(store, "." + locale + ".partial-XXXXXX"));
  if (!work) return work.status();
  std::string root = joinPath(work->path(), "model");
  if (mkdir(root.c_str(), 0755) != 0) return posixError("cannot create " + root, errno);
  if (Status fetched = fetchAll(entry, work->path(), root, what, cancelled); !fetched) {
    return fetched;
  }
  StatusOr<ModelFiles> parts = locateParts(entry, root, what);
  if (!parts) return parts.status();
  const ModelFiles files = resolveModelFiles(root, *parts);
  const std::optional<std::string> key = modelCheckKey(root, files);
  if (Status loads = check(files, cancelled); !loads) {
    return loads.withContext("cannot install " + what);
  }
  if (key) {
    if (Status stamped = stampModelCheck(root, *key); !stamped) return stamped;
  }
  if (Status written = writeManifest(root, entry.name, *parts); !written) return written;
  if (cancelled && cancelled()) return Status::error("cannot install " + what + ": cancelled");
  return moveIntoPlace(store, locale, root, work->path(), what);
}

}  // namespace

Status installModel(const std::string& store, const std::string& locale,
                    const CatalogueEntry& entry, const ModelLoadCheck& check,
                    const std::function<bool()>& cancelled) {
  std::string what = "the " + locale + " speech model " + entry.name;
  if (Status verifiable = checkDownloadsAreVerifiable(entry, what); !verifiable) return verifiable;
  std::error_code error;
  fs::create_directories(store, error);
  if (error) {
    return Status::error("cannot install " + what + ": cannot create " + store + ": " +
                         error.message());
  }
  StatusOr<ModelLock> lock = ModelLock::acquire(joinPath(store, locale + ".lock"));
  if (!lock) return lock.status();
  // Another process may have installed it while this one waited for the lock.
  if (findStoreModel(store, locale)) return Status::ok();
  return installLocked(store, locale, entry, what, check, cancelled);
}

}  // namespace quillmor_speech
