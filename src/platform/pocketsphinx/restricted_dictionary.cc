#include "platform/pocketsphinx/restricted_dictionary.h"

#include <fstream>
#include <optional>
#include <sstream>

#include "platform/models/dictionary_cache.h"
#include "platform/pocketsphinx/pocketsphinx_handles.h"

namespace quillmor_speech {

namespace {

// The words of the language model, or nothing when the library cannot read it.
std::optional<std::unordered_set<std::string>> languageModelWords(const std::string& path) {
  LogmathHandle logmath(logmath_init(1.0001, 0, 0));
  if (!logmath) return std::nullopt;
  NgramModelHandle model(ngram_model_read(nullptr, path.c_str(), NGRAM_AUTO, logmath.get()));
  if (!model) return std::nullopt;
  const std::uint32_t unigrams = ngram_model_get_counts(model.get())[0];
  std::unordered_set<std::string> words;
  words.reserve(unigrams);
  for (std::uint32_t id = 0; id < unigrams; ++id) {
    const char* word = ngram_word(model.get(), static_cast<std::int32_t>(id));
    if (word != nullptr) words.insert(word);
  }
  return words;
}

std::optional<std::string> fileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return text.str();
}

// The dictionary's word of one entry line: its first field without a "(N)" mark.
std::string entryWord(const std::string& line) {
  std::string word = line.substr(0, line.find_first_of(" \t"));
  if (word.size() > 3 && word.back() == ')') {
    const std::size_t open = word.rfind('(');
    if (open != std::string::npos && open > 0) word.erase(open);
  }
  return word;
}

}  // namespace

std::string restrictedEntries(const std::string& dictionaryText,
                              const std::unordered_set<std::string>& vocabulary) {
  std::string entries;
  std::istringstream lines(dictionaryText);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line.rfind(";;", 0) == 0 || line.rfind("##", 0) == 0) continue;
    if (vocabulary.count(entryWord(line)) != 0) entries += line + "\n";
  }
  return entries;
}

std::string decoderDictionary(const ModelFiles& files) {
  const std::optional<std::string> cached = derivedDictionaryPath(files);
  if (!cached) return files.dictionary;
  if (isDerivedDictionaryIntact(*cached)) return *cached;
  const std::optional<std::unordered_set<std::string>> vocabulary =
      languageModelWords(files.languageModel);
  const std::optional<std::string> text = fileText(files.dictionary);
  if (!vocabulary || !text) return files.dictionary;
  const std::string entries = restrictedEntries(*text, *vocabulary);
  if (entries.empty() || !writeDerivedDictionary(*cached, entries)) return files.dictionary;
  return *cached;
}

}  // namespace quillmor_speech
