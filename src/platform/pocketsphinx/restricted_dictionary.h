// The dictionary the decoder loads: the model's own, cut down to the words its language model
// knows, derived once per model and cached in the user's model store (dictionary_cache.h).
//
// A word outside the language model can never be recognised, yet the decoder builds its search
// over every dictionary word; for the en-US model the cut (72,547 language-model words, 79,420
// entries with alternate pronunciations, of 134,723) shortens a session's start and its memory.
//
// Thread safety: plain functions; decoderDictionary may run in several processes at once.
#pragma once

#include <string>
#include <unordered_set>

#include "platform/models/model_store.h"

namespace quillmor_speech {

// The lines of the dictionary text whose word (without an alternate-pronunciation mark such as
// "(2)") is in the vocabulary, in their order; comment and empty lines are dropped.
std::string restrictedEntries(const std::string& dictionaryText,
                              const std::unordered_set<std::string>& vocabulary);

// The path of the dictionary for the decoder to load: the cached restricted one, derived and
// stored first when it is missing, damaged or stale; the model's own dictionary when it cannot
// be derived (a language model the library cannot read) or stored (no writable store). Never
// fails; the library's log must be silenced already (silenceLibraryLog).
std::string decoderDictionary(const ModelFiles& files);

}  // namespace quillmor_speech
