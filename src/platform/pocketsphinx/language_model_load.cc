#include "platform/pocketsphinx/language_model_load.h"

#include <system_error>

namespace quillmor_speech {

LanguageModel readLanguageModel(const std::string& path, cmd_ln_t* config) {
  LanguageModel read;
  read.logmath.reset(
      logmath_init(cmd_ln_float32_r(config, "-logbase"), 0, cmd_ln_boolean_r(config, "-bestpath")));
  if (!read.logmath) return read;
  read.model.reset(ngram_model_read(config, path.c_str(), NGRAM_AUTO, read.logmath.get()));
  return read;
}

LanguageModelLoad::LanguageModelLoad(std::string path, ConfigHandle config)
    : path_(std::move(path)), config_(std::move(config)) {
  try {
    thread_ = std::thread([this] {
      model_ = readLanguageModel(path_, config_.get());
      read_ = true;
    });
  } catch (const std::system_error&) {
    // No thread to be had: take() reads the model on the caller's thread.
  }
}

LanguageModelLoad::~LanguageModelLoad() {
  if (thread_.joinable()) thread_.join();
}

LanguageModel LanguageModelLoad::take() {
  if (thread_.joinable()) thread_.join();
  if (!read_) {
    model_ = readLanguageModel(path_, config_.get());
    read_ = true;
  }
  return std::move(model_);
}

}  // namespace quillmor_speech
