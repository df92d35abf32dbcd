// The real speech engine: PocketSphinx with the models of the model store.
//
// Availability is always true (the library is linked in); model status and installation are
// the model store's (model_store.h). The preferred input format is the models' own: 16 kHz,
// 16-bit integer, mono, so that 16 kHz host audio needs no conversion.
//
// The analyzer loads the locale's model once, in prepareToAnalyze, with the dictionary cut down
// to the language model's words (restricted_dictionary.h; derived on the first use of a model
// and cached in the user's store), and recognises continuously on a worker thread of its own
// that start() launches (recognition.h): the audio is cut into fixed pieces whatever the host's
// buffer sizes, so the same audio gives the same results; quiet speech is raised to a normal
// level; the decoder's voice-activity detection cuts it into utterances, and an utterance that
// runs on without a pause is ended near 20 s (never after 24 s); each utterance ends in one
// final result. While an utterance is in progress and volatile results were asked for, a
// volatile result is delivered whenever the hypothesis text changes, at most about every 200 ms
// of audio. Ranges are on the timeline of the audio fed (the first sample is 0 s) and cover the
// utterance's words. A result's text is its words joined by single spaces (silence and filler
// tokens dropped, alternate-pronunciation marks such as "(2)" removed); each word is one run and
// each space another. With transcriptionConfidence, the word runs of a final result carry the
// word's posterior probability in [0, 1]; volatile results carry none (the decoder has no
// posterior before the utterance ends).
//
// Failures: prepareToAnalyze throws SpeechError for an input format other than 16 kHz 16-bit
// mono, a locale without an installed model, or a model that does not load. A decoder failure
// while analysing, and any other failure on the worker (out of memory included), fails the
// results sequence with a readable description; the analyzer then drops the rest of its input.
// No exception leaves the worker thread. finalizeAndFinishThroughEndOfInput never throws once
// start() has returned.
//
// Lifetime: the analyzer's destructor stops and joins its worker (the unfinished results then
// fail), so an analyzer may be dropped on any path.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/models/model_store.h"
#include "platform/pocketsphinx/model_assets.h"
#include "platform/speech/speech_engine.h"

namespace quillmor_speech {

std::unique_ptr<SpeechEngine> makePocketSphinxEngine();

// The library ends the process by itself in two cases: its allocator when memory runs out
// (ckd_fail in sphinxbase/ckd_alloc.h prints, then calls exit(), since no jump target is set
// with ckd_set_jump), and its fatal errors (E_FATAL calls exit()). This program never calls
// exit() itself (it ends with _exit), so a handler run at exit() stands for the library's:
// `handler` is called on the thread that failed, with whether the library had logged a fatal
// error (otherwise memory ran out), and must end the process. Call before the library is used
// (the first model load registers the handler's caller with atexit); the last handler given is the
// one called.
void onPocketSphinxExit(void (*handler)(bool fatalErrorLogged) noexcept);

// The analyzer of makePocketSphinxEngine(), with the model lookup given (the engine passes
// findLoadableModel, model_assets.h); lets tests load models that the store would not offer. The
// lookup may throw SpeechError, which prepareToAnalyze then throws.
using ModelFinder = std::function<std::optional<ModelFiles>(const std::string& locale)>;
std::unique_ptr<SpeechAnalyzer> makePocketSphinxAnalyzer(
    std::shared_ptr<SpeechTranscriber> transcriber, ModelFinder findModel);

}  // namespace quillmor_speech
