// Installing a model from the catalogue into the user's model store.
#pragma once

#include <functional>
#include <string>

#include "platform/base/status.h"
#include "platform/models/model_catalogue.h"
#include "platform/models/model_store.h"

namespace quillmor_speech {

// Downloads, checks and unpacks the catalogue entry's model as <store>/<locale>, where `locale`
// is canonical. Returns once the model is installed (at once when it already is).
//
// Runs under the locale's lock (model_lock.h): a second process installing the same locale
// waits for the first and then finds the model installed instead of downloading it again. Work
// happens in a directory .<locale>.partial-* inside the store; directories left there by a
// killed installation are removed first. The finished model is renamed into place in one step,
// so the store never holds a partial model under the locale's name.
//
// A download whose URL is not https must have its size and SHA-256 in the catalogue; without
// them the installation fails before anything is requested or written. Transfers use libcurl
// with redirects followed (HTTPS stays HTTPS), verified TLS, and the entry's connect and
// low-speed timeouts. Each download is checked against the entry's size and SHA-256 when given;
// archives are unpacked with libarchive, refusing absolute paths, ".." components, links, device
// and other special files, and more than the entry's maxUnpackedBytes in total (model_download.h,
// model_unpack.h); then the model must pass findModelShortcoming (model_completeness.h).
//
// Fails with a readable description (libcurl's, libarchive's or the system's text with what was
// being done), after removing everything it wrote except the lock file; whatever model was
// installed before stays as it was. Fails the same way ("cancelled") soon after `cancelled`,
// asked between steps, during transfers and while unpacking, returns true; waiting for another
// process's lock is not interrupted.
Status installModel(const std::string& store, const std::string& locale,
                    const CatalogueEntry& entry, const ModelLoadCheck& check,
                    const std::function<bool()>& cancelled = {});

}  // namespace quillmor_speech
