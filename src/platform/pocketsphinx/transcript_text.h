// How recognised words become the text of a transcription: each language written as it is
// written. Pure functions; no locale data is read.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/speech/speech_engine.h"

namespace quillmor_speech {

// True for a character of the scripts written without spaces between words: CJK ideographs
// (with radicals, strokes and compatibility ideographs), kana, hangul, bopomofo, CJK
// punctuation and symbols, and the full-width and half-width forms.
bool isUnspacedScript(char32_t c);

// The text between two adjacent words: nothing when the last character of `before` or the
// first of `after` is of an unspaced script (isUnspacedScript), otherwise one space. So
// "去" "向前" gives "去向前", "go" "forward" "go forward", and at a boundary of the two kinds
// ("用" "GPS") nothing, as Chinese is usually typed. Invalid UTF-8 counts as a spaced script.
std::string wordSeparator(const std::string& before, const std::string& after);

// The word as it is written in the locale: in English (a locale "en" or "en-*"/"en_*" in any
// case) the pronoun "i" and its contractions "i'm", "i've", "i'll" and "i'd" get a capital I;
// every other word, and every word of other locales, is returned as it is.
std::string writtenWord(const std::string& word, const std::string& locale);

// The runs of a transcription of `words` (each a recognised word and its confidence), in
// order: each word as writtenWord gives it, with a run of wordSeparator's text and no
// confidence between two words when the separator is not empty. Joining spaces thus count for
// nothing in a character-weighted confidence.
std::vector<TextRun> transcriptRuns(const std::vector<TextRun>& words, const std::string& locale);

}  // namespace quillmor_speech
