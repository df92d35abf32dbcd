// Owners of PocketSphinx's C handles, and the one translation of its failures into readable
// descriptions.
//
// The library reports why something failed only through its log; LibraryLog captures those
// messages for the duration of one call so that the failure description can quote them, and
// otherwise keeps the library silent: it never writes to stderr.
//
// Thread safety: the library's log destination is process-wide. LibraryLog objects must not
// exist two at once; in this program only the analyzer's preparation makes one. While it lives,
// any thread may log into it (the language model loads on a thread of its own).
#pragma once

#include <pocketsphinx.h>
#include <sphinxbase/fe.h>
#include <sphinxbase/logmath.h>
#include <sphinxbase/ngram_model.h>

#include <cstdarg>
#include <memory>
#include <string>

#include "platform/base/thread_annotations.h"

namespace quillmor_speech {

struct DecoderDeleter {
  void operator()(ps_decoder_t* decoder) const { ps_free(decoder); }
};
struct ConfigDeleter {
  void operator()(cmd_ln_t* config) const { cmd_ln_free_r(config); }
};
struct SegmentIteratorDeleter {
  void operator()(ps_seg_t* segment) const { ps_seg_free(segment); }
};

struct FrontEndDeleter {
  void operator()(fe_t* frontEnd) const { fe_free(frontEnd); }
};
struct NgramModelDeleter {
  void operator()(ngram_model_t* model) const { ngram_model_free(model); }
};
struct LogmathDeleter {
  void operator()(logmath_t* logmath) const { logmath_free(logmath); }
};

using DecoderHandle = std::unique_ptr<ps_decoder_t, DecoderDeleter>;
using ConfigHandle = std::unique_ptr<cmd_ln_t, ConfigDeleter>;
using FrontEndHandle = std::unique_ptr<fe_t, FrontEndDeleter>;
using NgramModelHandle = std::unique_ptr<ngram_model_t, NgramModelDeleter>;
using LogmathHandle = std::unique_ptr<logmath_t, LogmathDeleter>;
// ps_seg_next frees the iterator when it reaches the end: advance with
// `segment.reset(ps_seg_next(segment.release()))`.
using SegmentIteratorHandle = std::unique_ptr<ps_seg_t, SegmentIteratorDeleter>;

// Sends the library's log to nowhere, and the messages it prints on the C stream stderr (those of
// its allocator among them) too: that stream is pointed at /dev/null for the rest of the
// process; the descriptor 2 stays as it was. Called before any other library call of a decoder's
// life; idempotent.
void silenceLibraryLog();

// While alive, the library's error messages are kept (the last one is lastError()) instead of
// being dropped. Move-only in spirit: neither copied nor moved.
class LibraryLog {
 public:
  LibraryLog();
  ~LibraryLog();
  LibraryLog(const LibraryLog&) = delete;
  LibraryLog& operator=(const LibraryLog&) = delete;

  // The last error the library logged, without its source-file prefix; empty when none.
  std::string lastError() const EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    return lastError_;
  }
  void keep(std::string message) EXCLUDES(mutex_) {
    MutexLock lock(mutex_);
    lastError_ = std::move(message);
  }

 private:
  mutable Mutex mutex_;
  std::string lastError_ GUARDED_BY(mutex_);
};

// The text of one message of the library's log, from the format and arguments its log callback
// receives: without the "LEVEL: \"file.c\", line N: " prefix and the line's end. Never throws
// (a text that cannot be had is empty).
std::string libraryMessageText(const char* format, va_list arguments) noexcept;

// The readable description of a failed library call: what we were doing, and what the library
// said (its logged error, or its return code when it logged nothing).
std::string describePocketSphinxFailure(const std::string& whatFailed, int returnCode,
                                        const std::string& libraryMessage);

}  // namespace quillmor_speech
