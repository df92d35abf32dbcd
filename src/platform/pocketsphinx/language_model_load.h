// Reading a model's language model on a thread of its own, while the decoder loads the acoustic
// model and the dictionary on the caller's: the two take about as long, and a session's start
// waits for the slower one instead of both.
//
// The model read here is what the decoder reads for its configuration's "-lm": the same file,
// read with a configuration of the same arguments and log math of the same base and table. The
// decoder's search is then built over it (ps_set_lm) exactly as for its own.
//
// Thread safety: the thread touches only the configuration and the log math it owns and the
// model it makes; take() hands the model over after joining. The library's log is process-wide:
// a LibraryLog alive on the caller's thread for the whole load receives the thread's errors too.
#pragma once

#include <string>
#include <thread>

#include "platform/pocketsphinx/pocketsphinx_handles.h"

namespace quillmor_speech {

// A language model with the log math its scores are made in. The library's model only borrows
// its log math (it neither keeps a reference nor frees it), and so do the searches built over
// the model: the log math must outlive both. Keep this record, or its log math, as long as the
// decoder that searches the model; the model is released before its log math.
struct LanguageModel {
  LogmathHandle logmath;
  NgramModelHandle model;
};

// Reads the language model at `path` as a decoder of `config` (made with ps_args()) would; no
// model when the library cannot read it (its log says why).
LanguageModel readLanguageModel(const std::string& path, cmd_ln_t* config);

// One read of a language model, begun at construction on a thread of its own (on the caller's
// thread, at take(), when no thread can be started). `config` is the load's own: no other
// thread may use it. The destructor joins; never copied or moved.
class LanguageModelLoad {
 public:
  LanguageModelLoad(std::string path, ConfigHandle config);
  ~LanguageModelLoad();
  LanguageModelLoad(const LanguageModelLoad&) = delete;
  LanguageModelLoad& operator=(const LanguageModelLoad&) = delete;

  // Waits for the read and hands its model over; no model when it failed. Once only.
  LanguageModel take();

 private:
  std::string path_;
  ConfigHandle config_;
  LanguageModel model_;  // written by the thread, read after joining it
  bool read_ = false;    // written by the thread, read after joining it
  std::thread thread_;
};

}  // namespace quillmor_speech
